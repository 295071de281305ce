// RTCP participants and the statistics stage of the media path.

#include <gtest/gtest.h>

#include <vector>

#include "support/rtcp_fixture.hh"
#include "support/stderr_capture.hh"

using namespace tessal;
using namespace tessal::test;

// Regression: while RTCP was not active the statistics stage answered
// RTP_SUCCESS, which ends the chain, so a receive-only stream with RTCP
// delivered no frame.
TEST(RtcpMembers, InactiveStatisticsStagePassesPacketsOn) {
    rtcp_fixture f(RCE_WITH_RTCP, false);
    EXPECT_EQ(f.feed_rtp(0x77, 1), RTP_PKT_SKIPPED);
    EXPECT_EQ(f.rtcp->participant_count(), 0u);
    frame::rtp_frame *none = nullptr;
    EXPECT_EQ(rtcp_internal::recv_packet_handler_common(f.rtcp.get(), 0, nullptr, 0, &none),
              RTP_PKT_SKIPPED);
}

// Regression: probation dropped a media packet of every new source.
TEST(RtcpMembers, ProbationPassesPacketsOnUncounted) {
    rtcp_fixture f;
    struct Step {
        uint16_t seq;
        uint32_t received;
    };
    const Step steps[] = {{10, 0}, {11, 1}, {12, 2}, {13, 3}};
    for (const Step &s : steps) {
        SCOPED_TRACE(s.seq);
        EXPECT_EQ(f.feed_rtp(0x77, s.seq), RTP_PKT_SKIPPED);  // always delivered
        receiver_statistics st;
        ASSERT_TRUE(f.rtcp->get_statistics(0x77, st));
        EXPECT_EQ(st.received, s.received);
    }
    receiver_statistics st;
    f.rtcp->get_statistics(0x77, st);
    EXPECT_EQ(expected_packets(st), 3u);
    EXPECT_EQ(st.lost, 0);
    EXPECT_EQ(st.octets_received, 300u);
}

// Regression: the limit counted every addition ever made, so once 31
// sources had come (and gone) all media from new sources was dropped; and
// each refused addition left a pooled participant behind.
TEST(RtcpMembers, ParticipantLimitCountsCurrentMembersAndRefusalsLeaveNothing) {
    rtcp_fixture f;
    stderr_capture quiet;
    for (uint32_t ssrc = 1; ssrc <= 31; ++ssrc) {
        ASSERT_EQ(f.feed_rtp(ssrc, 1), RTP_PKT_SKIPPED);
    }
    ASSERT_EQ(f.rtcp->participant_count(), 31u);
    for (uint32_t ssrc = 100; ssrc < 140; ++ssrc) {
        EXPECT_EQ(f.feed_rtp(ssrc, 1), RTP_PKT_SKIPPED);  // refused, still passed on
        f.feed(concat({rr_packet(ssrc), sdes_packet(ssrc, "x")}));
    }
    EXPECT_EQ(f.rtcp->participant_count(), 31u);
    EXPECT_FALSE(f.rtcp->is_participant(100));
    EXPECT_EQ(f.rtcp->pooled_participants(), 0u);

    std::vector<uint8_t> bye = {0x81, 203, 0, 1};
    put32(bye, 7);
    ASSERT_EQ(f.feed(concat({rr_packet(7), bye})), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->participant_count(), 30u);
    EXPECT_EQ(f.feed_rtp(200, 1), RTP_PKT_SKIPPED);
    EXPECT_TRUE(f.rtcp->is_participant(200));
    receiver_statistics st;
    f.rtcp->get_statistics(200, st);
    EXPECT_EQ(st.clock_rate, 90000u);
}

// Regression: participants created by SR, SDES or APP got clock rate 0, so
// their jitter ignored arrival times.
// Regression: every packet of a source past the participant limit wrote
// its own error line, so a flood of sources flooded standard error.
TEST(RtcpMembers, ParticipantLimitErrorIsRateLimited) {
    rtcp_fixture f;
    stderr_capture cap;
    for (uint32_t ssrc = 1; ssrc <= 1000; ++ssrc) {
        f.feed_rtp(ssrc, 1);
    }
    const std::string log = cap.stop();
    size_t lines = 0;
    for (size_t at = log.find("Maximum number of RTCP participants reached.");
         at != std::string::npos;
         at = log.find("Maximum number of RTCP participants reached.", at + 1)) {
        ++lines;
    }
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 2u);  // the first, and one a second later at most
    EXPECT_EQ(f.rtcp->participant_count(), k_rtcp_max_participants);
}

TEST(RtcpMembers, ParticipantsFirstHeardOverRtcpGetTheClockRate) {
    std::vector<uint8_t> sr = {0x80, 200, 0x00, 0x06};
    put32(sr, 0x21);
    for (int i = 0; i < 5; ++i) {
        put32(sr, 0);
    }
    std::vector<uint8_t> app = {0x80, 204, 0x00, 0x02};
    put32(app, 0x23);
    put32(app, 0x41424344);
    struct Case {
        const char *name;
        std::vector<uint8_t> packet;
        uint32_t ssrc;
    };
    const Case cases[] = {
        {"SR", sr, 0x21},
        {"SDES", sdes_packet(0x22, "c"), 0x22},
        {"APP", app, 0x23},
        {"RR", rr_packet(0x24), 0x24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_fixture f;
        stderr_capture quiet;
        f.feed(c.packet);
        receiver_statistics st;
        ASSERT_TRUE(f.rtcp->get_statistics(c.ssrc, st));
        EXPECT_EQ(st.clock_rate, 90000u);
    }
}

// Regression: RTP from a known source did not reset its silence timer, so a
// source sending media but no RTCP was dropped after two minutes
// (RFC 3550 6.3.5 counts any packet).
TEST(RtcpMembers, MediaKeepsASourceAliveAndSilenceTimesItOut) {
    rtcp_fixture f;
    stderr_capture quiet;
    uint16_t seq = 1;
    f.feed_rtp(0x77, seq++);
    f.feed_rtp(0x88, 1);
    for (int minute = 0; minute < 5; ++minute) {
        SCOPED_TRACE(minute);
        f.rtcp->age_sources(60000);
        EXPECT_TRUE(f.rtcp->is_participant(0x77));
        f.feed_rtp(0x77, seq++);
    }
    EXPECT_FALSE(f.rtcp->is_participant(0x88));  // silent for 5 minutes
}

TEST(RtcpMembers, SendStatisticsCountPayloadBytes) {
    rtcp_fixture f(RCE_WITH_RTCP, false);
    f.sent_media(2, 100);
    f.sent_media(1, 0);
    EXPECT_EQ(f.rtcp->sent_packets(), 3u);
    EXPECT_EQ(f.rtcp->sent_octets(), 200u);
    uint8_t short_header[11] = {};
    buffer_vector too_short = {{11, short_header}};
    buffer_vector empty;
    EXPECT_EQ(rtcp_internal::send_packet_handler_vec(f.rtcp.get(), too_short), RTP_BAD_ARGUMENT);
    EXPECT_EQ(rtcp_internal::send_packet_handler_vec(f.rtcp.get(), empty), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.rtcp->sent_packets(), 3u);
}
