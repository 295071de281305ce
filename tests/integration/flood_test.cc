// Floods at a receiving port while a legitimate sender keeps sending to it:
// random datagrams, valid RTP headers with random payloads, H.265
// fragmentation units that start and never end, packets from 10,000
// sources, and datagrams as fast as the sender can write them.
//
// What must hold, for each: no crash; resident memory grows by less than
// the figure of the case; legitimate frames that arrive are byte-exact,
// some arrive during the flood and all arrive once it is over; warnings are
// rate-limited (a few lines per second per kind).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
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

flood_result run_flood(const flood_case &c) {
    flood_result r;
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t rx_port = free_udp_port();
    const uint16_t tx_port = free_udp_port();
    media_stream *tx = s->create_stream(tx_port, rx_port, c.fmt, c.flags | RCE_SEND_ONLY);
    media_stream *rx = s->create_stream(rx_port, tx_port, c.fmt, c.flags | RCE_RECEIVE_ONLY);
    EXPECT_NE(tx, nullptr);
    EXPECT_NE(rx, nullptr);
    if (tx == nullptr || rx == nullptr) {
        ctx.destroy_session(s);
        return r;
    }
    const bool h265 = c.fmt == FMT_H265;
    const uint32_t ts_step = h265 ? 900 : 80;
    test::stderr_capture capture;
    const auto start = clock_type::now();
    const auto flood_start = start + std::chrono::milliseconds(500);
    const auto flood_end = flood_start + k_flood_time;
    const auto end = flood_end + k_settle_time + std::chrono::milliseconds(700);
    std::atomic<bool> sending{true};
    std::thread legit([&] {
        auto next = start;
        for (uint32_t i = 0; clock_type::now() < end; ++i) {
            std::vector<uint8_t> f = h265 ? legit_h265_nal(i) : legit_generic(i);
            if (h265) {
                f.insert(f.begin(), {0, 0, 0, 1});
            }
            const auto now = clock_type::now();
            r.pushed_during += (now >= flood_start && now < flood_end) ? 1 : 0;
            r.pushed_after += now >= flood_end + k_settle_time ? 1 : 0;
            tx->push_frame(f.data(), f.size(), 1000 + i * ts_step, RTP_PUSH_COPY_DATA);
            r.pushed = i + 1;
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
        for (uint32_t n = 0; clock_type::now() < flood_end; ++n) {
            c.make(gen, n, d);
            out.send_to(rx_port, d);
            ++r.flood_datagrams;
            if (!c.line_rate && n % 20 == 19) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    // Pull on this thread; sample memory before and during the flood.
    while (sending.load() || clock_type::now() < end + std::chrono::milliseconds(500)) {
        const auto now = clock_type::now();
        if (r.rss_before == 0 && now >= flood_start - std::chrono::milliseconds(100)) {
            r.rss_before = test::resident_bytes();
        }
        if (now >= flood_start) {
            r.rss_peak = std::max(r.rss_peak, test::resident_bytes());
        }
        frame::rtp_frame *f = rx->pull_frame(20);
        if (f == nullptr) {
            continue;
        }
        const uint32_t ts = f->header.timestamp;
        if (f->header.ssrc == tx->get_ssrc() && ts >= 1000 && (ts - 1000) % ts_step == 0) {
            const uint32_t i = (ts - 1000) / ts_step;
            std::vector<uint8_t> want = h265 ? legit_h265_nal(i) : legit_generic(i);
            if (h265) {
                want.insert(want.begin(), {0, 0, 0, 1});
            }
            const bool exact = f->payload_length == want.size() &&
                               std::memcmp(f->payload, want.data(), want.size()) == 0;
            r.corrupt += exact ? 0 : 1;
            // When it was pushed, from its index.
            const auto pushed_at = start + k_frame_interval * i;
            r.delivered_during += (pushed_at >= flood_start && pushed_at < flood_end) ? 1 : 0;
            r.delivered_after += pushed_at >= flood_end + k_settle_time ? 1 : 0;
        }
        frame::dealloc_frame(f);
    }
    legit.join();
    flood.join();
    ctx.destroy_session(s);
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
     false, 64},
    {"valid RTP headers, random payloads", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t, std::vector<uint8_t> &d) {
         d.resize(12 + gen() % 1400);
         put_rtp_header(d, random_pt(gen), gen() % 2 == 0, static_cast<uint16_t>(gen()),
                        static_cast<uint32_t>(gen()) | k_flood_ts_bit,
                        static_cast<uint32_t>(gen()));
         random_fill(gen, d, 12);
     },
     false, 64},
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
     false, 64},
    {"10,000 sources", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t n, std::vector<uint8_t> &d) {
         d.resize(12 + 100);
         put_rtp_header(d, 100, true, static_cast<uint16_t>(n / 10000), (n * 160) | k_flood_ts_bit,
                        1 + n % 10000);
         random_fill(gen, d, 12);
     },
     false, 64},
    {"line rate", FMT_G726_40, RCE_FRAGMENT_GENERIC | RCE_WITH_RTCP,
     [](std::mt19937 &gen, uint32_t, std::vector<uint8_t> &d) {
         d.resize(1200);
         random_fill(gen, d, 0);
     },
     true, 64},
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
            "MB (+%.1f MB)\n",
            c.name, r.flood_datagrams, r.pushed, r.delivered_during, r.pushed_during,
            r.delivered_after, r.pushed_after, static_cast<double>(r.rss_before) / 1048576.0,
            static_cast<double>(r.rss_peak) / 1048576.0, growth_mb);
        EXPECT_GT(r.flood_datagrams, 1000u);
        EXPECT_EQ(r.corrupt, 0u);
        EXPECT_GT(r.delivered_during, 0u);
        EXPECT_EQ(r.delivered_after, r.pushed_after);
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
