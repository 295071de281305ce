#pragma once

// Keeps a NAT binding open for a stream that sends rarely: after two seconds
// without a push it sends the one-byte keep-alive 0xC0 to the remote address.
// The keep-alive thread is owned here; stop() and the destructor join it.

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "tessal/util.hh"

namespace tessal {

class socket;

class holepuncher {
public:
    explicit holepuncher(std::shared_ptr<socket> sock);
    ~holepuncher();
    holepuncher(const holepuncher &) = delete;
    holepuncher &operator=(const holepuncher &) = delete;

    RTP_ERROR set_remote_address(const sockaddr_in &remote4, const sockaddr_in6 &remote6);
    // Starts the keep-alive thread (ignored while it runs).
    RTP_ERROR start();
    // Stops and joins the thread; returns promptly.
    RTP_ERROR stop();
    // The stream sent something now; called at every push (any thread).
    void notify();

private:
    void keepalive();

    std::shared_ptr<socket> socket_;
    std::atomic<uint64_t> last_send_{0};
    sockaddr_in remote_v4_{};
    sockaddr_in6 remote_v6_{};
    std::atomic<bool> active_{false};
    std::mutex keepalive_lock_;
    std::condition_variable keepalive_wake_;
    std::thread keepalive_thread_;
};

}  // namespace tessal
