#include <gtest/gtest.h>

#include <chrono>

#include "rtp/rtp.hh"
#include "support/stderr_capture.hh"
#include "util/byte_reader.hh"
#include "util/clock.hh"

using namespace tessal;
using tessal::test::stderr_capture;

namespace {

// A controllable steady clock for clock-derived timestamps.
clock::hrc::hrc_t g_fake_now{std::chrono::seconds(1000)};
clock::hrc::hrc_t fake_now() {
    return g_fake_now;
}

struct header_fields {
    uint8_t b0, b1;
    uint16_t seq;
    uint32_t ts, ssrc;
};

header_fields fill(rtp &r, bool reuse = false) {
    uint8_t h[12] = {};
    r.fill_header(h, reuse);
    return {h[0], h[1], read_be16(h + 2), read_be32(h + 4), read_be32(h + 8)};
}

TEST(RtpHeader, FixedFieldsOnTheWire) {
    auto ssrc = make_shared_ssrc(0xCAFEBABE);
    rtp r(FMT_H265, ssrc, false);
    const header_fields h = fill(r);
    EXPECT_EQ(h.b0, 0x80);  // V=2, no P/X/CC
    EXPECT_EQ(h.b1, 107);   // marker clear
    EXPECT_EQ(h.seq, r.get_sequence());
    EXPECT_EQ(h.ssrc, 0xCAFEBABEu);
    EXPECT_EQ(h.ts, r.get_rtp_ts());

    // The SSRC cell is read at every header.
    ssrc->store(0x11223344);
    EXPECT_EQ(fill(r).ssrc, 0x11223344u);

    r.set_dynamic_payload(0xE0);
    EXPECT_EQ(fill(r).b1, 0x60);  // high bit never leaks into the marker
}

TEST(RtpHeader, SequenceWrapsAndIsStamped) {
    rtp r(FMT_PCMU, make_shared_ssrc(1), false);
    while (r.get_sequence() != 65535) {
        r.inc_sequence();
    }
    uint8_t h[12] = {};
    r.update_sequence(h);
    EXPECT_EQ(read_be16(h + 2), 65535);
    r.inc_sequence();
    EXPECT_EQ(r.get_sequence(), 0);
    r.update_sequence(nullptr);  // no effect, no crash
    r.fill_header(nullptr, false);
}

TEST(RtpHeader, ClockDerivedTimestampsFollowTheClockRate) {
    rtp r(FMT_H264, make_shared_ssrc(1), false);
    r.set_time_source(fake_now);
    g_fake_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
    const uint32_t first = fill(r).ts;
    g_fake_now += std::chrono::seconds(1);
    const uint32_t second = fill(r).ts;
    EXPECT_EQ(static_cast<uint32_t>(second - first), 90000u);
    g_fake_now += std::chrono::milliseconds(20);
    EXPECT_EQ(static_cast<uint32_t>(fill(r).ts - second), 1800u);
}

TEST(RtpHeader, FramesWithinOneTickGetDistinctTimestamps) {
    // Regression: two pushes within 11 us at 90 kHz shared a timestamp.
    rtp r(FMT_H264, make_shared_ssrc(1), false);
    r.set_time_source(fake_now);
    g_fake_now = clock::hrc::hrc_t(std::chrono::seconds(2000));
    const uint32_t a = fill(r).ts;
    const uint32_t b = fill(r).ts;
    const uint32_t c = fill(r).ts;
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, a + 2);
    // The clock catching up continues from the clock, not from the bumps.
    g_fake_now += std::chrono::seconds(1);
    EXPECT_EQ(fill(r).ts, a + 90000);
}

TEST(TimestampClock, AdvancesAtItsRateAndRebasesWithoutAJump) {
    const clock::hrc::hrc_t t0(std::chrono::seconds(50));
    timestamp_clock c{0xFFFFFF00u, t0, 90000};
    EXPECT_EQ(c.at(t0 - std::chrono::seconds(1)), 0xFFFFFF00u);                // before the origin
    EXPECT_EQ(c.at(t0 + std::chrono::milliseconds(20)), 0xFFFFFF00u + 1800u);  // wraps
    EXPECT_EQ(c.at(t0 + std::chrono::microseconds(11)), 0xFFFFFF00u);          // under one tick
    c.rebase(8000, 1000, t0 + std::chrono::seconds(1));
    EXPECT_EQ(c.at(t0 + std::chrono::seconds(1)), 1000u);
    EXPECT_EQ(c.at(t0 + std::chrono::milliseconds(1500)), 5000u);
}

// Regression: after RCC_RTP_CLOCK_RATE changed on a running stream the
// timestamps were computed from the old origin at the new rate, so that they
// jumped ahead (a higher rate) or fell behind and only moved by one per frame
// (a lower rate). They go on from the last one, at the new rate.
TEST(RtpHeader, ClockRateChangeContinuesAtTheNewRate) {
    struct Case {
        const char *name;
        uint32_t from;
        uint32_t to;
        int step_ms;
    } cases[] = {
        {"down 48000 -> 1000, 200 ms apart", 48000, 1000, 200},
        {"up 1000 -> 48000, 200 ms apart", 1000, 48000, 200},
        {"up 8000 -> 90000, 20 ms apart", 8000, 90000, 20},
        {"down 90000 -> 8000, 20 ms apart", 90000, 8000, 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtp r(FMT_OPUS, make_shared_ssrc(1), false);
        r.set_time_source(fake_now);
        r.set_clock_rate(c.from);
        g_fake_now = clock::hrc::hrc_t(std::chrono::seconds(3000));
        const std::chrono::milliseconds step(c.step_ms);
        uint32_t last = fill(r).ts;
        g_fake_now += step;
        uint32_t ts = fill(r).ts;
        EXPECT_EQ(ts - last, c.from / 1000 * static_cast<uint32_t>(c.step_ms));
        r.set_clock_rate(c.to);
        for (int frame = 0; frame < 3; ++frame) {
            last = ts;
            g_fake_now += step;
            ts = fill(r).ts;
            EXPECT_EQ(ts - last, c.to / 1000 * static_cast<uint32_t>(c.step_ms)) << frame;
        }
    }
}

TEST(RtpHeader, ReuseKeepsTimestampAndSamplingInstant) {
    rtp r(FMT_H264, make_shared_ssrc(1), false);
    r.set_time_source(fake_now);
    const uint32_t ts = fill(r).ts;
    const uint64_t ntp = r.get_sampling_ntp();
    EXPECT_NE(ntp, 0u);
    g_fake_now += std::chrono::seconds(3);
    EXPECT_EQ(fill(r, true).ts, ts);
    EXPECT_EQ(r.get_sampling_ntp(), ntp);
    EXPECT_EQ(r.get_rtp_ts(), ts);
}

TEST(RtpHeader, ExplicitTimestampWinsUntilCleared) {
    rtp r(FMT_H264, make_shared_ssrc(1), false);
    r.set_time_source(fake_now);
    r.set_timestamp(1234);
    EXPECT_EQ(fill(r).ts, 1234u);
    EXPECT_EQ(fill(r).ts, 1234u);  // explicit stamps are left as given
    EXPECT_EQ(r.get_rtp_ts(), 1234u);
    r.set_timestamp(static_cast<uint64_t>(-1));
    EXPECT_NE(fill(r).ts, 1234u);

    // With an application sampling instant, explicit stamps keep it.
    r.set_sampling_ntp(42);
    r.set_timestamp(99);
    fill(r);
    EXPECT_EQ(r.get_sampling_ntp(), 42u);
}

TEST(RtpState, DefaultsByFormat) {
    struct Case {
        RTP_FORMAT format;
        uint32_t rate;
        const char *warning;
    } cases[] = {
        {FMT_PCMU, 8000, nullptr},
        {FMT_DVI4_16K, 16000, nullptr},
        {FMT_L16_STEREO, 44100, nullptr},
        {FMT_DVI4_11K, 11025, nullptr},
        {FMT_DVI4_22K, 22050, nullptr},
        {FMT_OPUS, 48000, nullptr},
        {FMT_H264, 90000, nullptr},
        {FMT_V3C, 90000, nullptr},
        {FMT_L8, 8000, "Using variable clock rate format, please set rate manually. Using 8000"},
        {FMT_VDVI, 8000, "Using variable clock rate format, please set rate manually. Using 8000"},
        {static_cast<RTP_FORMAT>(77), 8000, "Unknown RTP format, setting clock rate to 8000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        stderr_capture cap;
        rtp r(c.format, make_shared_ssrc(5), false);
        const std::string out = cap.stop();
        EXPECT_EQ(r.get_clock_rate(), c.rate);
        EXPECT_EQ(r.get_dynamic_payload(), static_cast<uint8_t>(c.format));
        if (c.warning != nullptr) {
            EXPECT_NE(out.find(std::string("[::set_default_clock_rate] ") + c.warning),
                      std::string::npos)
                << out;
        } else {
            EXPECT_EQ(out, "");
        }
    }
    EXPECT_EQ(rtp(FMT_H264, make_shared_ssrc(1), false).get_payload_size(), 1452u);
    EXPECT_EQ(rtp(FMT_H264, make_shared_ssrc(1), true).get_payload_size(), 1432u);
    EXPECT_EQ(rtp(FMT_H264, make_shared_ssrc(1), true).get_pkt_max_delay(), 500u);
}

TEST(RtpHeader, HeaderParsesBackThroughTheHandler) {
    rtp r(FMT_OPUS, make_shared_ssrc(0x0BADF00D), false);
    uint8_t pkt[12 + 3] = {};
    r.fill_header(pkt, false);
    pkt[12] = 1;
    frame::rtp_frame *out = nullptr;
    ASSERT_EQ(rtp::packet_handler(nullptr, 0, pkt, sizeof(pkt), &out), RTP_PKT_CHANGED);
    EXPECT_EQ(out->header.payload_type, FMT_OPUS);
    EXPECT_EQ(out->header.ssrc, 0x0BADF00Du);
    EXPECT_EQ(out->header.sequence, r.get_sequence());
    EXPECT_EQ(out->header.timestamp, r.get_rtp_ts());
    EXPECT_EQ(out->payload_length, 3u);
    frame::dealloc_frame(out);
}

}  // namespace
