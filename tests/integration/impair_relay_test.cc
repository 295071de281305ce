// The impairment relay on loopback: both directions, the RTCP port pair,
// answering the sender, reproducible verdicts and each impairment as the
// receiving endpoint sees it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "impair/relay.hh"
#include "support/hostile.hh"
#include "support/udp_capture.hh"

using namespace tessal_tools;
using tessal::test::udp_capture;

namespace {

std::vector<uint8_t> numbered(uint32_t n, size_t size = 100) {
    std::vector<uint8_t> d(size, static_cast<uint8_t>(n));
    d[0] = static_cast<uint8_t>(n >> 24);
    d[1] = static_cast<uint8_t>(n >> 16);
    d[2] = static_cast<uint8_t>(n >> 8);
    d[3] = static_cast<uint8_t>(n);
    return d;
}

// Reads everything one socket receives on its own thread, empty datagrams
// included, so that the socket's buffer never overflows; result() waits
// until `quiet_ms` pass without a datagram.
class collector {
public:
    explicit collector(udp_capture &cap, int quiet_ms = 300) : cap_(cap) {
        cap_.set_timeout(quiet_ms);
        // Room for every datagram of a test, should this thread be held up.
        const int bytes = 8 * 1024 * 1024;
        if (::setsockopt(cap_.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0) {
            ::setsockopt(cap_.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        }
        thread_ = std::thread([this] {
            std::vector<uint8_t> buf(65536);
            for (;;) {
                const ssize_t n = ::recv(cap_.fd(), buf.data(), buf.size(), 0);
                if (n < 0) {
                    if (done_.load()) {
                        return;
                    }
                    continue;
                }
                std::lock_guard<std::mutex> g(lock_);
                got_.emplace_back(buf.begin(), buf.begin() + n);
            }
        });
    }
    ~collector() { result(); }
    std::vector<std::vector<uint8_t>> result() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        std::lock_guard<std::mutex> g(lock_);
        return got_;
    }
    // Datagrams the kernel dropped because this socket's buffer was full.
    uint64_t dropped() const { return tessal::test::udp_socket_drops(cap_.port()); }

private:
    udp_capture &cap_;
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> got_;
    std::thread thread_;
};

// Sends `count` numbered datagrams from `from` to the relay port, paced so
// that no socket buffer overflows on a loaded machine.
void send_numbered(udp_capture &from, uint16_t port, uint32_t count, size_t size = 100) {
    for (uint32_t n = 0; n < count; ++n) {
        from.send_to(port, numbered(n, size));
        if (n % 50 == 49) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

}  // namespace

TEST(ImpairRelay, CleanRelayCarriesBothDirectionsAndTheRtcpPair) {
    for (bool learn : {false, true}) {
        SCOPED_TRACE(learn ? "answering the sender" : "fixed endpoint ports");
        udp_capture a;
        udp_capture b;
        udp_capture b_rtcp;
        relay_config cfg;
        cfg.rtcp_pair = true;
        cfg.to_b = b.port();
        cfg.to_a = learn ? 0 : a.port();
        impair_relay relay;
        std::string error;
        ASSERT_TRUE(relay.start(cfg, &error)) << error;
        EXPECT_EQ(relay.port_a() % 2, 0);

        a.send_to(relay.port_a(), numbered(1));
        const std::vector<uint8_t> at_b = b.receive();
        EXPECT_EQ(at_b, numbered(1));
        b.send_to(relay.port_b(), numbered(2));
        EXPECT_EQ(a.receive(), numbered(2));
        // RTCP on the next port reaches the relay's next port and is counted
        // on its own channel.
        b_rtcp.send_to(static_cast<uint16_t>(relay.port_a() + 1), numbered(3));
        ASSERT_TRUE(relay.wait_drained(2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(relay.counts(RELAY_A_TO_B, 0).forwarded, 1u);
        EXPECT_EQ(relay.counts(RELAY_A_TO_B, 1).received, 1u);
        EXPECT_EQ(relay.counts(RELAY_B_TO_A, 0).forwarded, 1u);
        relay.stop();
    }
}

TEST(ImpairRelay, RtcpPairReachesThePortAfterTheEndpointsPort) {
    // A capture on an even port and one on the next: find such a pair.
    const uint16_t p = tessal::test::free_udp_port();
    ASSERT_NE(p, 0);
    int fds[2];
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_storage addr{};
        const socklen_t len = tessal::test::loopback_address(false, uint16_t(p + i), addr);
        ASSERT_EQ(::bind(fds[i], reinterpret_cast<sockaddr *>(&addr), len), 0);
        timeval tv{2, 0};
        ::setsockopt(fds[i], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    udp_capture a;
    udp_capture a_rtcp;
    relay_config cfg;
    cfg.rtcp_pair = true;
    cfg.to_b = p;
    impair_relay relay;
    std::string error;
    ASSERT_TRUE(relay.start(cfg, &error)) << error;
    const struct {
        udp_capture *from;
        uint16_t to;
        int fd;
    } legs[] = {{&a, relay.port_a(), fds[0]}, {&a_rtcp, uint16_t(relay.port_a() + 1), fds[1]}};
    for (const auto &leg : legs) {
        leg.from->send_to(leg.to, numbered(leg.to));
        uint8_t buf[200];
        const ssize_t n = ::recv(leg.fd, buf, sizeof(buf), 0);
        ASSERT_EQ(n, 100);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), numbered(leg.to));
    }
    relay.stop();
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ImpairRelay, SameSeedSameVerdictsOverTheNetwork) {
    relay_config cfg;
    cfg.a_to_b.loss = 0.05;
    cfg.a_to_b.duplicate = 0.05;
    cfg.a_to_b.ge_p = 0.01;
    cfg.a_to_b.ge_r = 0.3;
    cfg.seed = 1234;
    std::vector<std::vector<uint32_t>> runs;
    std::vector<std::multiset<std::vector<uint8_t>>> arrivals;
    uint64_t unseen = 0;  // dropped by the receiving socket, out of the relay's hands
    for (int run = 0; run < 3; ++run) {
        if (run == 2) {
            cfg.seed = 4321;
        }
        udp_capture a;
        udp_capture b;
        cfg.to_b = b.port();
        impair_relay relay;
        std::mutex lock;
        std::vector<uint32_t> verdicts;
        relay.set_observer([&](relay_direction, int, const uint8_t *, size_t, uint32_t v) {
            std::lock_guard<std::mutex> g(lock);
            verdicts.push_back(v);
        });
        std::string error;
        ASSERT_TRUE(relay.start(cfg, &error)) << error;
        collector at_b(b);
        send_numbered(a, relay.port_a(), 1000);
        ASSERT_TRUE(relay.wait_drained(10000));
        const std::vector<std::vector<uint8_t>> got = at_b.result();
        relay.stop();
        ASSERT_EQ(relay.kernel_dropped(), 0u);
        unseen += at_b.dropped();
        EXPECT_EQ(got.size() + at_b.dropped(), relay.counts(RELAY_A_TO_B).forwarded);
        runs.push_back(verdicts);
        arrivals.emplace_back(got.begin(), got.end());
    }
    ASSERT_EQ(runs[0].size(), 1000u);
    EXPECT_TRUE(runs[0] == runs[1]);
    if (unseen == 0) {
        EXPECT_TRUE(arrivals[0] == arrivals[1]);
    }
    EXPECT_FALSE(runs[0] == runs[2]);
}

TEST(ImpairRelay, TheReceiverSeesEachImpairment) {
    struct Case {
        const char *name;
        void (*set)(impairment_config &);
        // Checks what B received against what A sent (datagrams 0..999).
        void (*check)(const std::vector<std::vector<uint8_t>> &, const impairment_counts &,
                      size_t unseen);
    };
    const Case cases[] = {
        {"loss", [](impairment_config &c) { c.loss = 0.05; },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             EXPECT_GT(k.lost_random, 20u);
             EXPECT_EQ(got.size() + k.lost_random + unseen, 1000u);
         }},
        {"duplication", [](impairment_config &c) { c.duplicate = 0.05; },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             const std::set<std::vector<uint8_t>> distinct(got.begin(), got.end());
             EXPECT_GE(distinct.size() + unseen, 1000u);
             EXPECT_GT(k.duplicated, 20u);
             EXPECT_EQ(got.size() + unseen, 1000u + k.duplicated);
         }},
        {"reordering",
         [](impairment_config &c) {
             c.reorder = 0.05;
             c.reorder_delay_us = 30000;
         },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             ASSERT_EQ(got.size() + unseen, 1000u);
             // Datagrams that arrive after one sent later than them.
             size_t late = 0;
             std::vector<uint8_t> newest = got[0];
             for (size_t i = 1; i < got.size(); ++i) {
                 late += got[i] < newest ? 1 : 0;
                 newest = std::max(newest, got[i]);
             }
             EXPECT_GT(k.reordered, 20u);
             EXPECT_GE(late + unseen, k.reordered / 2);
         }},
        {"corruption", [](impairment_config &c) { c.corrupt = 0.05; },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             ASSERT_EQ(got.size() + unseen, 1000u);
             size_t damaged = 0;
             for (const auto &d : got) {
                 bool intact = d.size() == 100;
                 for (size_t i = 4; intact && i < d.size(); ++i) {
                     intact = d[i] == d[3];
                 }
                 damaged += intact ? 0 : 1;
             }
             // A flip in the number itself leaves an intact-looking datagram.
             EXPECT_GT(k.corrupted, 20u);
             EXPECT_LE(damaged, k.corrupted);
             EXPECT_GE(damaged + unseen, k.corrupted / 2);
         }},
        {"truncation", [](impairment_config &c) { c.truncate = 0.05; },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             ASSERT_EQ(got.size() + unseen, 1000u);
             const size_t shorter = static_cast<size_t>(
                 std::count_if(got.begin(), got.end(),
                               [](const std::vector<uint8_t> &d) { return d.size() < 100; }));
             EXPECT_GT(k.truncated, 20u);
             EXPECT_LE(shorter, k.truncated);
             EXPECT_GE(shorter + unseen, k.truncated);
         }},
        {"delay and jitter",
         [](impairment_config &c) {
             c.delay_us = 20000;
             c.jitter_us = 10000;
         },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             EXPECT_EQ(got.size() + unseen, 1000u);
             EXPECT_EQ(k.delayed, 1000u);
         }},
        {"rate limit",
         [](impairment_config &c) {
             c.rate_bps = 200000;  // 250 datagrams of 100 bytes per second
             c.queue_bytes = 2000;
         },
         [](const std::vector<std::vector<uint8_t>> &got, const impairment_counts &k,
            size_t unseen) {
             EXPECT_GT(k.queue_dropped, 100u);
             EXPECT_EQ(got.size() + k.queue_dropped + unseen, 1000u);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        udp_capture a;
        udp_capture b;
        relay_config cfg;
        cfg.to_b = b.port();
        c.set(cfg.a_to_b);
        impair_relay relay;
        std::string error;
        ASSERT_TRUE(relay.start(cfg, &error)) << error;
        collector at_b(b);
        send_numbered(a, relay.port_a(), 1000);
        ASSERT_TRUE(relay.wait_drained(10000));
        const std::vector<std::vector<uint8_t>> got = at_b.result();
        relay.stop();
        ASSERT_EQ(relay.kernel_dropped(), 0u);
        const impairment_counts k = relay.counts(RELAY_A_TO_B);
        EXPECT_EQ(k.received, 1000u);
        c.check(got, k, static_cast<size_t>(at_b.dropped()));
        // The other direction was left alone.
        EXPECT_EQ(relay.counts(RELAY_B_TO_A).received, 0u);
    }
}
