#pragma once

// Receives everything arriving on one RTCP socket (RTP port + 1) and hands
// each compound packet to the RTCP engine of the stream it belongs to: the
// only engine when one stream is mapped, else every engine whose remote SSRC
// is the packet's sender SSRC. One reader per RTCP socket, kept by the
// socket factory; streams of the port map themselves into it.
//
// Owns one thread (rtcp_report_reader), started and stopped under
// start_stop_lock_; it holds map_lock_ while it calls an engine, so an
// engine's entry cannot go while it runs. Lock order: start_stop_lock_ ->
// map_lock_, and the thread is never joined while map_lock_ is held.
// stop and clear_rtcp_from_reader must not be called from an engine.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "tessal/util.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

class socket;
class rtcp_receiver;

class rtcp_reader {
public:
    rtcp_reader();
    ~rtcp_reader();  // stops the thread
    rtcp_reader(const rtcp_reader &) = delete;
    rtcp_reader &operator=(const rtcp_reader &) = delete;

    // Starts the thread once, on the socket held now. RTP_FAILED when the
    // thread cannot be created or there is no socket.
    RTP_ERROR start();
    // Stops and joins the thread (it notices within 100 ms).
    RTP_ERROR stop();
    bool is_running() const { return running_.load(); }
    // Replaces the socket (null releases it); a running thread keeps its own.
    RTP_ERROR set_socket(std::shared_ptr<socket> sock);
    // Maps the stream's remote SSRC cell to its engine (not owned: the
    // engine clears itself before it goes).
    RTP_ERROR map_ssrc_to_rtcp(const shared_ssrc &remote_ssrc, rtcp_receiver *rtcp);
    // Removes the cell's engine; with none left the thread stops and true
    // is returned.
    bool clear_rtcp_from_reader(const shared_ssrc &remote_ssrc);

private:
    struct cell_less {
        bool operator()(const shared_ssrc &a, const shared_ssrc &b) const noexcept {
            return a.get() < b.get();
        }
    };

    void rtcp_report_reader(std::shared_ptr<socket> sock);
    void dispatch(uint8_t *datagram, size_t size);
    void stop_locked();  // start_stop_lock_ held

    std::atomic<bool> running_{false};
    std::shared_ptr<socket> socket_;  // start_stop_lock_
    std::map<shared_ssrc, rtcp_receiver *, cell_less> ssrc_to_rtcp_;
    std::thread reader_thread_;
    std::mutex map_lock_;
    std::mutex start_stop_lock_;
};

}  // namespace tessal
