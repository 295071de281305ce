#pragma once

// A UDP relay on loopback between two endpoints, A and B, that impairs each
// direction on its own (see impairment.hh). A sends to port_a() and B to
// port_b(); what arrives on one side leaves from the other side's socket of
// the same channel, so each endpoint sees the relay as its peer.
//
//     A  --->  port_a  [impairment A->B]  port_b  --->  B
//     A  <---  port_a  [impairment B->A]  port_b  <---  B
//
// Channel 0 is the RTP port (RTCP multiplexed on it as RFC 5761 allows);
// with rtcp_pair, channel 1 relays port + 1 to port + 1 as RTCP on the next
// port expects. Each direction and channel has its own impairment model,
// seeded from the relay's seed.
//
// Thread contract: start, stop and the accessors from any one thread; the
// observer runs on the relay's thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "impair/impairment.hh"

struct sockaddr_storage;

namespace tessal_tools {

enum relay_direction { RELAY_A_TO_B = 0, RELAY_B_TO_A = 1 };

struct relay_config {
    bool ipv6 = false;
    // Where A and B send to; 0 picks a free port (an even one with port + 1
    // free as well under rtcp_pair).
    uint16_t port_a = 0;
    uint16_t port_b = 0;
    // A's and B's own ports; 0 answers the source of the side's latest
    // datagram, as a NAT would.
    uint16_t to_a = 0;
    uint16_t to_b = 0;
    bool rtcp_pair = false;
    impairment_config a_to_b;
    impairment_config b_to_a;
    uint64_t seed = 1;
    // Datagrams held for later release at most; more are dropped and
    // counted as queue drops, so memory stays bounded.
    size_t max_pending = 65536;
};

// Called for every datagram offered to a direction, with its verdict.
using relay_observer = std::function<void(relay_direction, int channel, const uint8_t *data,
                                          size_t size, uint32_t verdict)>;
// Called for every datagram the relay sends on, with the steady-clock time
// in microseconds.
using release_observer = std::function<void(relay_direction, int channel, const uint8_t *data,
                                            size_t size, int64_t now_us)>;

class impair_relay {
public:
    impair_relay() = default;
    ~impair_relay();
    impair_relay(const impair_relay &) = delete;
    impair_relay &operator=(const impair_relay &) = delete;

    // Binds the sockets and starts the relay thread; false with a reason in
    // *error when a port cannot be bound. The observer, if any, is set before.
    bool start(const relay_config &config, std::string *error);
    void set_observer(relay_observer observer) { observer_ = std::move(observer); }
    void set_release_observer(release_observer observer) { released_ = std::move(observer); }
    // Stops and joins the thread; datagrams still held are discarded.
    void stop();

    uint16_t port_a() const { return ports_[0]; }
    uint16_t port_b() const { return ports_[1]; }
    // What one direction did on one channel, or on both channels together.
    impairment_counts counts(relay_direction dir, int channel) const;
    impairment_counts counts(relay_direction dir) const;
    // Datagrams the kernel dropped before the relay read them (SO_RXQ_OVFL),
    // over all sockets: losses no impairment decided.
    uint64_t kernel_dropped() const { return kernel_dropped_.load(); }
    // Datagrams held for later release.
    size_t pending() const { return pending_count_.load(); }
    // Waits until nothing is held, at most `timeout_ms`; false on time-out.
    bool wait_drained(int timeout_ms) const;

private:
    struct held;
    struct side_socket {
        int fd = -1;
        uint32_t overflow = 0;  // last SO_RXQ_OVFL value seen
    };
    static constexpr int k_channels = 2;

    bool bind_side(int side, uint16_t wanted, std::string *error);
    void run();
    void receive_from(int side, int channel, std::vector<held> &queue, uint64_t &order);
    void release_due(std::vector<held> &queue, int64_t now_us);
    bool destination(int side, int channel, ::sockaddr_storage &addr, unsigned &len);
    void close_all();

    relay_config config_;
    relay_observer observer_;
    release_observer released_;
    uint16_t ports_[2] = {0, 0};
    side_socket sockets_[2][k_channels];
    // Learned peer addresses [side][channel]; used only on the relay thread.
    std::vector<uint8_t> learned_[2][k_channels];
    mutable std::mutex lock_;  // guards models_
    std::unique_ptr<impairment> models_[2][k_channels];
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> kernel_dropped_{0};
    std::atomic<size_t> pending_count_{0};
    std::thread thread_;
};

}  // namespace tessal_tools
