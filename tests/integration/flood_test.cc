// Floods the receiving ports of two legitimate streams while their senders
// keep sending: random datagrams, valid RTP headers with random payloads,
// H.265 fragmentation units that start and never end, packets from 10,000
// sources (about 40,000 datagrams a second in all), and datagrams as fast as
// the flooder can write them.
//
// What must hold, for each: no crash; resident memory grows by less than
// the figure of the case; legitimate frames that arrive are byte-exact, at
// least 95% of those pushed during the flood arrive, and all arrive once it
// is over; what the flood brought is counted, not silently lost; warnings
// are rate-limited (a few lines per second per kind).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stream/media_stream_internal.hh"
#include "support/hostile.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.hh"

using namespace tessal;
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

constexpr auto k_flood_time = std::chrono::milliseconds(1500);
constexpr auto k_settle_time = std::chrono::milliseconds(500);
constexpr auto k_frame_interval = std::chrono::milliseconds(10);
// Legitimate timestamps stay below 2^31, the floods' above.
constexpr uint32_t k_flood_ts_bit = 0x80000000u;

using generator = std::function<void(std::mt19937 &, uint32_t n, std::vector<uint8_t> &)>;

void put_rtp_header(std::vector<uint8_t> &d, uint8_t pt, bool marker, uint16_t seq, uint32_t ts,
                    uint32_t ssrc) {
    d.resize(std::max<size_t>(d.size(), 12));
    d[0] = 0x80;
    d[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | pt);
    d[2] = static_cast<uint8_t>(seq >> 8);
    d[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
        d[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
        d[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
}

void random_fill(std::mt19937 &gen, std::vector<uint8_t> &d, size_t from) {
    for (size_t i = from; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(gen());
    }
}

// A payload type that is neither RTCP's range (RFC 5761) nor our own.
uint8_t random_pt(std::mt19937 &gen) {
    const uint8_t pt = static_cast<uint8_t>(gen() % 128);
    return (pt >= 72 && pt <= 76) ? 100 : pt;
}

std::vector<uint8_t> legit_generic(uint32_t i) {
    std::mt19937 gen(i);
    std::vector<uint8_t> f(3000 + gen() % 1000);
    random_fill(gen, f, 0);
    return f;
}

// An H.265 access unit: a slice of 2 to 3 kB that needs two or three
// fragments, without zero bytes (no start code inside).
std::vector<uint8_t> legit_h265_nal(uint32_t i) {
    std::mt19937 gen(i);
    std::vector<uint8_t> n = {2, 1};
    n.resize(2000 + gen() % 1000);
    for (size_t k = 2; k < n.size(); ++k) {
        n[k] = static_cast<uint8_t>(gen() | 0x04);
    }
    return n;
}

struct flood_case {
    const char *name;
    RTP_FORMAT fmt;
    int flags;
    generator make;
    bool line_rate;
    bool not_rtp;  // most of the flood is neither RTP, RTCP nor ZRTP
    // Growth of the resident set the flood may cause at most.
    uint64_t memory_limit_mb;
};

struct flood_result {
    size_t pushed = 0;
    size_t delivered_during = 0;
    size_t pushed_during = 0;
    size_t pushed_after = 0;  // once the flood and a settling time are over
    size_t delivered_after = 0;
    size_t corrupt = 0;
    size_t flood_datagrams = 0;
    uint64_t dropped_not_rtp = 0;  // what the receivers counted of the flood
    uint64_t dropped_unvalidated = 0;
    uint64_t rss_before = 0;
    uint64_t rss_peak = 0;
    std::string log;
};

// Lines per kind of log message (the message without its numbers).
std::map<std::string, size_t> lines_per_kind(const std::string &log) {
    std::map<std::string, size_t> kinds;
    std::istringstream in(log);
    const std::regex digits("[0-9]+");
    for (std::string line; std::getline(in, line);) {
        if (line.find("WARN") != std::string::npos || line.find("ERROR") != std::string::npos) {
            ++kinds[std::regex_replace(line, digits, "N")];
        }
    }
    return kinds;
}

// One legitimate stream: its frames, made from their index, and what its
// receive hook saw of them.
struct legit_stream {
    bool h265 = false;
    uint32_t salt = 0;  // tells the two streams' frames apart
    uint32_t ts_step = 0;
    clock_type::time_point start;
    clock_type::time_point flood_start;
    clock_type::time_point flood_end;
    media_stream *tx = nullptr;
    media_stream *rx = nullptr;
    uint32_t ssrc = 0;
    std::mutex lock;
    flood_result counts;  // delivered_* and corrupt, under lock

    std::vector<uint8_t> frame_of(uint32_t i) const {
        std::vector<uint8_t> f = h265 ? legit_h265_nal(i + salt) : legit_generic(i + salt);
        if (h265) {
            f.insert(f.begin(), {0, 0, 0, 1});
        }
        return f;
    }

    static void hook(void *arg, frame::rtp_frame *f) {
        auto *self = static_cast<legit_stream *>(arg);
        self->take(f);
        frame::dealloc_frame(f);
    }
    void take(const frame::rtp_frame *f) {
        const uint32_t ts = f->header.timestamp;
        if (f->header.ssrc != ssrc || ts < 1000 || (ts - 1000) % ts_step != 0) {
            return;
        }
        const uint32_t i = (ts - 1000) / ts_step;
        const std::vector<uint8_t> want = frame_of(i);
        const bool exact = f->payload_length == want.size() &&
                           std::memcmp(f->payload, want.data(), want.size()) == 0;
        const auto pushed_at = start + k_frame_interval * i;
        std::lock_guard<std::mutex> g(lock);
        counts.corrupt += exact ? 0 : 1;
        counts.delivered_during += (pushed_at >= flood_start && pushed_at < flood_end) ? 1 : 0;
        counts.delivered_after += pushed_at >= flood_end + k_settle_time ? 1 : 0;
    }
};

flood_result run_flood(const flood_case &c) {
    flood_result r;
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const bool h265 = c.fmt == FMT_H265;
    const auto start = clock_type::now();
    const auto flood_start = start + std::chrono::milliseconds(500);
    const auto flood_end = flood_start + k_flood_time;
    const auto end = flood_end + k_settle_time + std::chrono::milliseconds(700);
    legit_stream streams[2];
    std::vector<uint16_t> rx_ports;
    for (uint32_t k = 0; k < 2; ++k) {
        legit_stream &l = streams[k];
        l.h265 = h265;
        l.salt = k * 100000;
        l.ts_step = h265 ? 900 : 80;
        l.start = start;
        l.flood_start = flood_start;
        l.flood_end = flood_end;
        const uint16_t rx_port = free_udp_port();
        const uint16_t tx_port = free_udp_port();
        l.tx = s->create_stream(tx_port, rx_port, c.fmt, c.flags | RCE_SEND_ONLY);
        l.rx = s->create_stream(rx_port, tx_port, c.fmt, c.flags | RCE_RECEIVE_ONLY);
        EXPECT_NE(l.tx, nullptr);
        EXPECT_NE(l.rx, nullptr);
        if (l.tx == nullptr || l.rx == nullptr) {
            ctx.destroy_session(s);
            return r;
        }
        l.ssrc = l.tx->get_ssrc();
        EXPECT_EQ(l.rx->install_receive_hook(&l, legit_stream::hook), RTP_SUCCESS);
        rx_ports.push_back(rx_port);
    }
    test::stderr_capture capture;
    std::atomic<bool> sending{true};
    std::thread legit([&] {
        auto next = start;
        for (uint32_t i = 0; clock_type::now() < end; ++i) {
            const auto now = clock_type::now();
            r.pushed_during += (now >= flood_start && now < flood_end) ? 2 : 0;
            r.pushed_after += now >= flood_end + k_settle_time ? 2 : 0;
            for (legit_stream &l : streams) {
                std::vector<uint8_t> f = l.frame_of(i);
                l.tx->push_frame(f.data(), f.size(), 1000 + i * l.ts_step, RTP_PUSH_COPY_DATA);
            }
            r.pushed = 2 * (i + 1);
            next += k_frame_interval;
            std::this_thread::sleep_until(next);
        }
        sending = false;
    });
    std::thread flood([&] {
        test::udp_capture out;
        std::mt19937 gen(7);
        std::vector<uint8_t> d;
        std::this_thread::sleep_until(flood_start);
        // About 40,000 datagrams a second unless at line rate.
        auto next = flood_start;
        for (uint32_t n = 0; clock_type::now() < flood_end; ++n) {
            c.make(gen, n, d);
            out.send_to(rx_ports[n % 2], d);
            ++r.flood_datagrams;
            if (!c.line_rate && n % 40 == 39) {
                next += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(next);
            }
        }
    });
    // Sample memory before and during the flood.
    while (sending.load() || clock_type::now() < end + std::chrono::milliseconds(500)) {
        const auto now = clock_type::now();
        if (r.rss_before == 0 && now >= flood_start - std::chrono::milliseconds(100)) {
            r.rss_before = test::resident_bytes();
        }
        if (now >= flood_start) {
            r.rss_peak = std::max(r.rss_peak, test::resident_bytes());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    legit.join();
    flood.join();
    for (legit_stream &l : streams) {
        stream_statistics st;
        EXPECT_EQ(l.rx->get_statistics(&st), RTP_SUCCESS);
        r.dropped_not_rtp += st.dropped_not_rtp;
        r.dropped_unvalidated += st.dropped_unknown_source;
    }
    ctx.destroy_session(s);  // no hook runs after this
    for (legit_stream &l : streams) {
        std::lock_guard<std::mutex> g(l.lock);
        r.corrupt += l.counts.corrupt;
        r.delivered_during += l.counts.delivered_during;
        r.delivered_after += l.counts.delivered_after;
    }
    r.log = capture.stop();
    return r;
}

}  // namespace

namespace {

const flood_case k_floods[] = {
    {"random datagrams", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t, std::vector<uint8_t> &d) {
         d.resize(gen() % 1500);
         random_fill(gen, d, 0);
     },
     false, true, 64},
    {"valid RTP headers, random payloads", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t, std::vector<uint8_t> &d) {
         d.resize(12 + gen() % 1400);
         put_rtp_header(d, random_pt(gen), gen() % 2 == 0, static_cast<uint16_t>(gen()),
                        static_cast<uint32_t>(gen()) | k_flood_ts_bit,
                        static_cast<uint32_t>(gen()));
         random_fill(gen, d, 12);
     },
     false, false, 64},
    {"H.265 fragmentation units that never end", FMT_H265, RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t n, std::vector<uint8_t> &d) {
         d.resize(12 + 3 + 1000);
         put_rtp_header(d, 96, false, static_cast<uint16_t>(n), (n * 3000) | k_flood_ts_bit,
                        0x5EED);
         d[12] = 49 << 1;  // RFC 7798 section 4.4.3: FU
         d[13] = 1;
         d[14] = 0x80 | 1;  // S, type 1
         random_fill(gen, d, 15);
     },
     false, false, 64},
    {"10,000 sources", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t n, std::vector<uint8_t> &d) {
         d.resize(12 + 100);
         put_rtp_header(d, 100, true, static_cast<uint16_t>(n / 10000), (n * 160) | k_flood_ts_bit,
                        1 + n % 10000);
         random_fill(gen, d, 12);
     },
     false, false, 64},
    {"line rate", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t, std::vector<uint8_t> &d) {
         d.resize(1200);
         random_fill(gen, d, 0);
     },
     true, true, 64},
};

}  // namespace

class Flood : public testing::TestWithParam<size_t> {};

TEST_P(Flood, LegitimateMediaSurvivesInBoundedMemoryWithLimitedWarnings) {
    {
        const flood_case &c = k_floods[GetParam()];
        const flood_result r = run_flood(c);
        const double growth_mb =
            (static_cast<double>(r.rss_peak) - static_cast<double>(r.rss_before)) / 1048576.0;
        std::printf(
            "%s: %zu flood datagrams; legitimate frames pushed %zu, during the flood %zu "
            "of %zu delivered, after it %zu of %zu; resident memory %.1f MB -> peak %.1f "
            "MB (+%.1f MB); %llu counted as not RTP, %llu from sources not valid\n",
            c.name, r.flood_datagrams, r.pushed, r.delivered_during, r.pushed_during,
            r.delivered_after, r.pushed_after, static_cast<double>(r.rss_before) / 1048576.0,
            static_cast<double>(r.rss_peak) / 1048576.0, growth_mb,
            static_cast<unsigned long long>(r.dropped_not_rtp),
            static_cast<unsigned long long>(r.dropped_unvalidated));
        EXPECT_GT(r.flood_datagrams, 1000u);
        EXPECT_EQ(r.corrupt, 0u);
        // Junk must not push out legitimate datagrams the kernel handed over.
        EXPECT_GE(static_cast<double>(r.delivered_during),
                  0.95 * static_cast<double>(r.pushed_during));
        EXPECT_EQ(r.delivered_after, r.pushed_after);
        if (c.not_rtp) {
            // Most random datagrams are no RTP; each of those is counted.
            EXPECT_GT(r.dropped_not_rtp, r.flood_datagrams / 2);
        }
        // The flood is counted where it is dropped, not lost silently: as no
        // RTP, or as RTP from sources that never proved valid.
        EXPECT_GT(r.dropped_not_rtp + r.dropped_unvalidated, r.flood_datagrams / 2);
#if !defined(__SANITIZE_THREAD__)
        // (ThreadSanitizer's shadow of new heap addresses is not ours.)
        EXPECT_LT(growth_mb, static_cast<double>(c.memory_limit_mb));
#endif
        // At most a few lines per second of each kind over the run (about 3 s).
        for (const auto &kind : lines_per_kind(r.log)) {
            EXPECT_LE(kind.second, 20u) << kind.first;
        }
    }
}

std::string flood_name(const testing::TestParamInfo<size_t> &info) {
    static const char *names[] = {"RandomDatagrams", "RandomRtpPayloads", "EndlessH265Fragments",
                                  "TenThousandSources", "LineRate"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Kinds, Flood, testing::Range<size_t>(0, std::size(k_floods)), flood_name);
