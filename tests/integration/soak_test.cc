// Soak runs through the impairment relay: generic fragmented frames and
// H.265 video at a few Mbit/s under 1% loss, 1% reordering, 0.5%
// duplication and jitter, with RTCP reporting back through the relay.
//
// What must hold: every frame (or NAL unit) handed to the application is
// byte-exact; one whose packets all reached the receiver arrives; frames
// sent = delivered + lost on the wire; resident memory after the warm-up
// and the thread count stay flat; RTCP's loss and jitter follow what the
// relay did. TESSAL_SOAK_SECONDS lengthens the run (benchmarks/soak.sh).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "impair/relay.hh"
#include "stream/media_stream_internal.hh"
#include "support/hostile.hh"
#include "support/ports.hh"
#include "tessal/tessal.hh"
#include "transport/reception_flow.hh"

using namespace tessal;
using namespace tessal_tools;
using tessal::test::free_udp_port;

namespace {

using clock_type = std::chrono::steady_clock;

}  // namespace

// AddressSanitizer's quarantine of freed memory (256 MB by default) would
// read as growth of the resident set: keep it at 1 MB in this program.
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=1";
}

namespace {

int soak_seconds() {
    const char *v = std::getenv("TESSAL_SOAK_SECONDS");
    const int s = v != nullptr ? std::atoi(v) : 0;
    return s > 0 ? s : 6;
}

// The hostile path of both directions: 1% loss, 1% held back 20 ms, 0.5%
// sent twice, 1 ms delay with up to 12 ms of jitter.
impairment_config hostile_path() {
    impairment_config c;
    c.loss = 0.01;
    c.reorder = 0.01;
    c.reorder_delay_us = 20000;
    c.duplicate = 0.005;
    c.delay_us = 1000;
    c.jitter_us = 12000;
    return c;
}

// What the relay did to the media packets A sent, by extended sequence
// number (RTCP on the RTP port is left out). Its memory is taken and
// touched up front, so that it does not count as growth.
class wire_log {
public:
    explicit wire_log(size_t max_packets) : packets_(max_packets) {}
    void observe(relay_direction dir, const uint8_t *d, size_t size, uint32_t verdict) {
        const test::rtp_fields f = test::parse_rtp(d, size);
        if (dir != RELAY_A_TO_B || !f.valid) {
            return;
        }
        std::lock_guard<std::mutex> g(lock_);
        ext_ = seen_ == 0
                   ? 0
                   : ext_ + static_cast<int16_t>(f.seq - static_cast<uint16_t>(ext_ + first_));
        first_ = seen_++ == 0 ? f.seq : first_;
        if (ext_ >= 0 && static_cast<size_t>(ext_) < packets_.size()) {
            packets_[static_cast<size_t>(ext_)] =
                packet{f.timestamp, true, (verdict & k_verdict_lost) != 0,
                       (verdict & VERDICT_DUPLICATED) != 0};
        }
    }
    // RFC 3550 A.8 over the media packets in the order the relay sent them
    // on, at `clock_rate`: the jitter the receiver should see, less its own.
    void released(relay_direction dir, const uint8_t *d, size_t size, int64_t now_us,
                  uint32_t clock_rate) {
        const test::rtp_fields f = test::parse_rtp(d, size);
        if (dir != RELAY_A_TO_B || !f.valid) {
            return;
        }
        std::lock_guard<std::mutex> g(lock_);
        const auto arrival = static_cast<uint32_t>(now_us * clock_rate / 1000000);
        const auto transit = static_cast<int32_t>(arrival - f.timestamp);
        if (released_any_) {
            const double dt = std::abs(static_cast<double>(transit) - transit_);
            jitter_ += (dt - jitter_) / 16.0;
        }
        released_any_ = true;
        transit_ = transit;
    }
    // Media packets the relay dropped, and sent twice, among the last
    // `window` up to the last one it let through: the packets a receiver
    // expects once its probation (RFC 3550 A.1) is over.
    std::pair<uint64_t, uint64_t> lost_and_duplicated(size_t window) const {
        std::lock_guard<std::mutex> g(lock_);
        size_t end = packets_.size();
        while (end > 0 && !(packets_[end - 1].seen && !packets_[end - 1].lost)) {
            --end;
        }
        uint64_t lost = 0;
        uint64_t duplicated = 0;
        for (size_t i = end > window ? end - window : 0; i < end; ++i) {
            lost += packets_[i].lost ? 1 : 0;
            duplicated += packets_[i].duplicated ? 1 : 0;
        }
        return {lost, duplicated};
    }
    double jitter_ms(uint32_t clock_rate) const {
        std::lock_guard<std::mutex> g(lock_);
        return jitter_ * 1000.0 / clock_rate;
    }
    struct frame_fate {
        size_t packets = 0;
        size_t lost = 0;
        bool start_ambiguous = false;  // the packet before its first was lost or unseen
    };
    // Per RTP timestamp.
    std::map<uint32_t, frame_fate> fates() const {
        std::lock_guard<std::mutex> g(lock_);
        std::map<uint32_t, frame_fate> out;
        for (size_t i = 0; i < packets_.size(); ++i) {
            const packet &p = packets_[i];
            if (!p.seen) {
                continue;
            }
            const bool first = out.count(p.timestamp) == 0;
            frame_fate &f = out[p.timestamp];
            ++f.packets;
            f.lost += p.lost ? 1 : 0;
            if (first) {
                // Nothing before the first packet seen: the receiver cannot
                // tell that it starts a frame either.
                f.start_ambiguous = i == 0 || (packets_[i - 1].seen && packets_[i - 1].lost);
            }
        }
        return out;
    }

private:
    struct packet {
        uint32_t timestamp = 0;
        bool seen = false;
        bool lost = false;
        bool duplicated = false;
    };
    mutable std::mutex lock_;
    bool released_any_ = false;
    double transit_ = 0;
    double jitter_ = 0;
    uint64_t seen_ = 0;
    uint16_t first_ = 0;
    int64_t ext_ = 0;  // relative to the first sequence number
    std::vector<packet> packets_;
};

// Memory and threads sampled after the warm-up and at the end.
struct resource_watch {
    uint64_t rss_start = 0;
    uint64_t rss_end = 0;
    int threads_start = 0;
    int threads_end = 0;
};

struct soak_result {
    size_t sent = 0;
    size_t delivered = 0;
    size_t lost_on_wire = 0;
    size_t ambiguous = 0;
    size_t complete_missing = 0;
    size_t corrupt = 0;
    size_t repeated = 0;
};

// Two endpoints through one relay: A sends, B receives and reports.
struct hostile_link {
    impair_relay relay;
    // Up to 1000 media packets a second.
    wire_log wire{static_cast<size_t>(soak_seconds() + 10) * 1000};
    context ctx;
    session *sess = nullptr;
    media_stream *tx = nullptr;
    media_stream *rx = nullptr;
    uint16_t rx_port = 0;

    bool open(RTP_FORMAT fmt, uint32_t clock_rate, int flags, bool rtcp_pair) {
        const uint16_t tx_port = free_udp_port();
        rx_port = free_udp_port();
        relay_config cfg;
        cfg.rtcp_pair = rtcp_pair;
        cfg.to_a = tx_port;
        cfg.to_b = rx_port;
        cfg.a_to_b = hostile_path();
        cfg.b_to_a = hostile_path();
        cfg.seed = 2026;
        relay.set_observer([this](relay_direction dir, int, const uint8_t *d, size_t size,
                                  uint32_t v) { wire.observe(dir, d, size, v); });
        relay.set_release_observer(
            [this, clock_rate](relay_direction dir, int, const uint8_t *d, size_t size,
                               int64_t now) { wire.released(dir, d, size, now, clock_rate); });
        std::string error;
        if (!relay.start(cfg, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        sess = ctx.create_session("127.0.0.1");
        // The sender first: the session's one address is the receiving
        // stream's remote address for RTCP only once a sending stream set it.
        tx = sess->create_stream(tx_port, relay.port_a(), fmt, flags | RCE_SEND_ONLY);
        rx = sess->create_stream(rx_port, relay.port_b(), fmt, flags | RCE_RECEIVE_ONLY);
        if (rx == nullptr || tx == nullptr) {
            return false;
        }
        rx->configure_ctx(RCC_SOCKET_RECV_BUFFER, 8 * 1024 * 1024);
        // A ring the run passes through many times: its pages are all
        // resident after the warm-up.
        rx->internal()->flow()->set_buffer_size(1024 * 1024);
        return true;
    }
    ~hostile_link() {
        if (sess != nullptr) {
            ctx.destroy_session(sess);
        }
        relay.stop();
    }
    // Datagrams lost where neither the relay nor the wire log could see it.
    uint64_t unseen_drops() const {
        return relay.kernel_dropped() + test::udp_socket_drops(rx_port) +
               rx->internal()->flow()->dropped_ring_full();
    }
};

// Runs `push(i, ts)` every `interval` for the soak time on its own thread
// while `pull()` runs on this one; samples memory and threads.
// Pushes a copy of `frame` with the timestamp `ts`, handing its buffer over.
void push_copy(media_stream *tx, const std::vector<uint8_t> &frame, uint32_t ts) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[frame.size()]);
    std::memcpy(data.get(), frame.data(), frame.size());
    EXPECT_EQ(tx->push_frame(std::move(data), frame.size(), ts, RTP_PUSH_DEFAULT), RTP_SUCCESS);
}

template <typename Push, typename Pull>
resource_watch run_soak(std::chrono::milliseconds interval, Push push, Pull pull) {
    resource_watch w;
    const auto start = clock_type::now();
    const auto end = start + std::chrono::seconds(soak_seconds());
    const auto warm = start + std::chrono::seconds(soak_seconds()) * 3 / 8;
    std::atomic<bool> sending{true};
    // The thread samples are taken on the sender thread, so that it counts in
    // both.
    std::thread sender([&] {
        auto next = start;
        bool warmed = false;
        for (uint32_t i = 0; clock_type::now() < end; ++i) {
            push(i);
            next += interval;
            std::this_thread::sleep_until(next);
            if (!warmed && clock_type::now() >= warm) {
                warmed = true;
                w.rss_start = test::resident_bytes();
                w.threads_start = test::thread_count();
            }
        }
        w.threads_end = test::thread_count();
        sending = false;
    });
    // Pull until the sender stopped and nothing came for a second.
    auto last_frame = clock_type::now();
    while (sending.load() || clock_type::now() - last_frame < std::chrono::seconds(1)) {
        if (pull()) {
            last_frame = clock_type::now();
        }
    }
    sender.join();
    // Sampled once everything that arrived has been pulled: what stays
    // resident then is what the run kept, not frames still on their way (on
    // a loaded machine the receive side can lag the sender by megabytes).
    w.rss_end = test::resident_bytes();
    return w;
}

void expect_flat(const resource_watch &w) {
    std::printf("resident memory after warm-up %llu kB, at the end %llu kB; threads %d -> %d\n",
                static_cast<unsigned long long>(w.rss_start / 1024),
                static_cast<unsigned long long>(w.rss_end / 1024), w.threads_start, w.threads_end);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer maps shadow and history for every new heap address, so
    // its resident set says nothing about ours: printed only.
#else
    EXPECT_LT(static_cast<double>(w.rss_end), static_cast<double>(w.rss_start) * 1.05);
#endif
    EXPECT_EQ(w.threads_end, w.threads_start);
}

// RFC 3550 A.3: the receiver counts duplicates as received, so its loss is
// what the relay dropped less what it duplicated, over the packets it
// expected (from the end of its probation on). Its jitter is that of the
// relay's releases plus its own scheduling: between half and twice that,
// give or take a few milliseconds of load.
void expect_rtcp_follows_relay(hostile_link &l, uint64_t unseen) {
    rtcp::reception_statistics st{};
    ASSERT_TRUE(l.rx->get_rtcp()->get_reception_statistics(l.tx->get_ssrc(), &st));
    const auto [lost, duplicated] = l.wire.lost_and_duplicated(st.expected);
    const double relay_lost = static_cast<double>(lost) - static_cast<double>(duplicated);
    const double jitter_ms = l.wire.jitter_ms(st.clock_rate);
    std::printf(
        "RTCP: lost %d (relay lost %llu, duplicated %llu), jitter %.2f ms (relay %.2f ms)\n",
        st.lost, static_cast<unsigned long long>(lost), static_cast<unsigned long long>(duplicated),
        st.jitter_ms, jitter_ms);
    // Exact but for packets still on their way when the run ended.
    EXPECT_GE(static_cast<double>(st.lost), relay_lost - 2);
    EXPECT_LE(static_cast<double>(st.lost), relay_lost + static_cast<double>(unseen) + 2);
    EXPECT_GT(jitter_ms, 0.5);
    EXPECT_GT(st.jitter_ms, jitter_ms * 0.5 - 1);
    EXPECT_LT(st.jitter_ms, jitter_ms * 2 + 10);
}

std::vector<uint8_t> generic_frame(uint32_t i) {
    std::mt19937 gen(i);
    std::vector<uint8_t> f(1500 + gen() % 14500);
    for (auto &b : f) {
        b = static_cast<uint8_t>(gen());
    }
    return f;
}

void report(const char *what, const soak_result &r, const hostile_link &l, uint64_t unseen) {
    std::printf(
        "%s: sent %zu delivered %zu lost on the wire %zu (ambiguous start %zu), "
        "complete but missing %zu, unseen drops %llu\n",
        what, r.sent, r.delivered, r.lost_on_wire, r.ambiguous, r.complete_missing,
        static_cast<unsigned long long>(unseen));
    std::printf("relay A->B %s\n", format_counts(l.relay.counts(RELAY_A_TO_B)).c_str());
    std::printf("relay B->A %s\n", format_counts(l.relay.counts(RELAY_B_TO_A)).c_str());
}

}  // namespace

TEST(Soak, GenericFragmentedFramesArriveByteExactOrNotAtAll) {
    hostile_link l;
    ASSERT_TRUE(l.open(FMT_G726_40, 8000, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP, true));
    constexpr uint32_t k_ts_step = 8000 / 40;  // 40 frames per second
    const uint32_t ts_base = 1000;
    std::mutex lock;
    std::vector<uint16_t> delivered((soak_seconds() + 10) * 40);  // frame -> times
    soak_result r;
    const resource_watch w = run_soak(
        std::chrono::milliseconds(25),
        [&](uint32_t i) {
            push_copy(l.tx, generic_frame(i), ts_base + i * k_ts_step);
            std::lock_guard<std::mutex> g(lock);
            r.sent = i + 1;
        },
        [&] {
            frame::rtp_frame *f = l.rx->pull_frame(50);
            if (f == nullptr) {
                return false;
            }
            const uint32_t i = (f->header.timestamp - ts_base) / k_ts_step;
            const std::vector<uint8_t> want = generic_frame(i);
            if (f->payload_length != want.size() ||
                std::memcmp(f->payload, want.data(), want.size()) != 0) {
                ++r.corrupt;
            }
            if (i < delivered.size()) {
                ++delivered[i];
            }
            frame::dealloc_frame(f);
            return true;
        });
    const uint64_t unseen = l.unseen_drops();
    const std::map<uint32_t, wire_log::frame_fate> fates = l.wire.fates();
    for (uint32_t i = 0; i < r.sent; ++i) {
        const auto fate = fates.find(ts_base + i * k_ts_step);
        const bool arrived = delivered[i] > 0;
        r.delivered += arrived ? 1 : 0;
        r.repeated += delivered[i] > 1 ? 1 : 0;
        const bool lost = fate == fates.end() || fate->second.lost > 0;
        r.lost_on_wire += (!arrived && lost) ? 1 : 0;
        if (!arrived && !lost) {
            // Its packets all arrived, but the one before was lost: the
            // receiver cannot tell where the frame starts.
            r.ambiguous += fate->second.start_ambiguous ? 1 : 0;
            r.complete_missing += fate->second.start_ambiguous ? 0 : 1;
        }
    }
    report("generic", r, l, unseen);
    EXPECT_GT(r.sent, 100u);
    EXPECT_EQ(r.corrupt, 0u);
    EXPECT_EQ(r.repeated, 0u);
    EXPECT_LE(r.complete_missing, unseen);
    EXPECT_EQ(r.sent, r.delivered + r.lost_on_wire + r.ambiguous + r.complete_missing);
    EXPECT_GT(r.lost_on_wire, 0u);
    expect_flat(w);
    expect_rtcp_follows_relay(l, unseen);
}

namespace {

// An access unit of three NAL units: a parameter set, a small slice and a
// slice of 3 to 16 kB that needs fragmentation (an IDR one in 30). The
// bodies contain no zero byte, so no start code.
std::vector<std::vector<uint8_t>> h265_nal_units(uint32_t i) {
    std::mt19937 gen(i);
    const auto nal = [&gen](uint8_t type, size_t len) {
        std::vector<uint8_t> n = {static_cast<uint8_t>(type << 1), 1};
        for (size_t k = 0; k < len; ++k) {
            n.push_back(static_cast<uint8_t>(gen() | 0x04));
        }
        return n;
    };
    return {nal(32, 20), nal(1, 300), nal(i % 30 == 0 ? 19 : 1, 3000 + gen() % 13000)};
}

std::vector<uint8_t> annex_b(const std::vector<std::vector<uint8_t>> &nals) {
    std::vector<uint8_t> au;
    for (const auto &n : nals) {
        au.insert(au.end(), {0, 0, 0, 1});
        au.insert(au.end(), n.begin(), n.end());
    }
    return au;
}

// The NAL unit of a delivered frame, without the start code in front.
std::vector<uint8_t> without_start_code(const frame::rtp_frame *f) {
    size_t skip = 0;
    while (skip < f->payload_length && skip < 3 && f->payload[skip] == 0) {
        ++skip;
    }
    skip += (skip >= 2 && skip < f->payload_length && f->payload[skip] == 1) ? 1 : -skip;
    return std::vector<uint8_t>(f->payload + skip, f->payload + f->payload_length);
}

}  // namespace

TEST(Soak, H265NalUnitsArriveByteExactOrNotAtAll) {
    hostile_link l;
    ASSERT_TRUE(l.open(FMT_H265, 90000, RCE_WITH_RTCP | RCE_RTCP_ON_RTP_PORT, false));
    constexpr uint32_t k_ts_step = 90000 / 30;  // 30 access units per second
    const uint32_t ts_base = 90000;
    std::mutex lock;
    // (access unit * 3 + NAL unit) -> times
    std::vector<uint16_t> delivered((soak_seconds() + 10) * 30 * 3);
    soak_result r;
    size_t nal_corrupt = 0;
    const resource_watch w = run_soak(
        std::chrono::milliseconds(33),
        [&](uint32_t i) {
            push_copy(l.tx, annex_b(h265_nal_units(i)), ts_base + i * k_ts_step);
            std::lock_guard<std::mutex> g(lock);
            r.sent = i + 1;
        },
        [&] {
            frame::rtp_frame *f = l.rx->pull_frame(50);
            if (f == nullptr) {
                return false;
            }
            const uint32_t i = (f->header.timestamp - ts_base) / k_ts_step;
            const std::vector<std::vector<uint8_t>> nals = h265_nal_units(i);
            const std::vector<uint8_t> got = without_start_code(f);
            size_t which = nals.size();
            for (size_t n = 0; n < nals.size(); ++n) {
                which = got == nals[n] ? n : which;
            }
            if (which == nals.size()) {
                ++nal_corrupt;
            } else {
                if (i * 3 + which < delivered.size()) {
                    ++delivered[i * 3 + which];
                }
            }
            frame::dealloc_frame(f);
            return true;
        });
    const uint64_t unseen = l.unseen_drops();
    const std::map<uint32_t, wire_log::frame_fate> fates = l.wire.fates();
    size_t partial = 0;
    for (uint32_t i = 0; i < r.sent; ++i) {
        const auto fate = fates.find(ts_base + i * k_ts_step);
        size_t nals = 0;
        for (size_t n = 0; n < 3; ++n) {
            const uint16_t times = delivered[i * 3 + n];
            nals += times > 0 ? 1 : 0;
            r.repeated += times > 1 ? 1 : 0;
        }
        const bool lost = fate == fates.end() || fate->second.lost > 0;
        r.delivered += nals == 3 ? 1 : 0;
        partial += (nals > 0 && nals < 3) ? 1 : 0;
        r.lost_on_wire += (nals < 3 && lost) ? 1 : 0;
        r.complete_missing += (nals < 3 && !lost) ? 1 : 0;
    }
    r.corrupt = nal_corrupt;
    report("H.265", r, l, unseen);
    std::printf("H.265: access units partly delivered %zu\n", partial);
    EXPECT_GT(r.sent, 100u);
    EXPECT_EQ(r.corrupt, 0u);
    EXPECT_EQ(r.repeated, 0u);
    EXPECT_LE(r.complete_missing, unseen);
    EXPECT_EQ(r.sent, r.delivered + r.lost_on_wire + r.complete_missing);
    EXPECT_GT(r.lost_on_wire, 0u);
    expect_flat(w);
    expect_rtcp_follows_relay(l, unseen);
}
