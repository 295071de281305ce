// RTCP participants and the statistics stage of the media path.

#include <gtest/gtest.h>

#include <algorithm>
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
// source sending media but no RTCP was dropped (RFC 3550 6.3.5 counts any
// packet). The time-out is five deterministic intervals: 25 s here.
TEST(RtcpMembers, MediaKeepsASourceAliveAndSilenceTimesItOut) {
    rtcp_fixture f;
    stderr_capture quiet;
    uint16_t seq = 1;
    f.feed_rtp(0x77, seq++);
    f.feed_rtp(0x88, 1);
    for (uint64_t step = 1; step <= 5; ++step) {
        SCOPED_TRACE(step);
        fake_ntp().store(ntp_after_ms(step * 20000));
        f.rtcp->age_sources();
        EXPECT_TRUE(f.rtcp->is_participant(0x77));
        EXPECT_EQ(f.rtcp->is_participant(0x88), step * 20000 <= 25000);
        f.feed_rtp(0x77, seq++);
    }
    EXPECT_EQ(f.rtcp->member_count(), 1u);
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

// RFC 3550 6.3.3 and 6.3.5 on the member table alone, with a fake time.
TEST(RtcpMemberTable, CountsMembersAndSendersAndTimesThemOut) {
    rtcp_member_table t(3);
    EXPECT_TRUE(t.heard(1, 0, false));    // RTCP: a member
    EXPECT_TRUE(t.heard(2, 0, true));     // RTP: a member and a sender
    EXPECT_TRUE(t.heard(2, 1000, true));  // again: counted once
    EXPECT_TRUE(t.heard(3, 1000, false));
    EXPECT_FALSE(t.heard(4, 1000, true));  // full: not counted
    EXPECT_EQ(t.members(), 3u);
    EXPECT_EQ(t.senders(), 1u);

    struct Step {
        const char *name;
        uint64_t now_ms;
        uint32_t heard_rtcp;  // 0: none
        std::vector<uint32_t> want_expired;
        size_t want_senders;
    };
    // Sender time-out 2 s, member time-out 25 s.
    const Step steps[] = {
        {"all fresh", 2000, 0, {}, 1},
        {"2 sent RTP 2.5 s ago: a receiver now", 3500, 2, {}, 0},
        {"1 silent 26 s", 26000, 0, {1}, 0},
        {"3 silent over 25 s too, 2 still heard", 27000, 0, {1, 3}, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.heard_rtcp != 0) {
            t.heard(s.heard_rtcp, s.now_ms, false);
        }
        std::vector<uint32_t> expired = t.expire(s.now_ms, 2000, 25000);
        std::sort(expired.begin(), expired.end());
        EXPECT_EQ(expired, s.want_expired);
        EXPECT_EQ(t.senders(), s.want_senders);
    }
    EXPECT_TRUE(t.silent(1, 27000, 25000));
    EXPECT_FALSE(t.silent(2, 27000, 25000));
    EXPECT_TRUE(t.remove(2));
    EXPECT_FALSE(t.remove(2));
    EXPECT_TRUE(t.heard(4, 27000, true));  // room again
    EXPECT_EQ(t.senders(), 1u);
}

// Regression: only the 31 sources with statistics counted as members, so a
// session of 200 reported as often as one of 32 and took 6 times its share.
TEST(RtcpMembers, EverySourceHeardCountsForTheInterval) {
    rtcp_fixture f;
    stderr_capture quiet;
    f.rtcp->set_session_bandwidth(64);  // 3.2 kbit/s of RTCP: 300 B/s for receivers
    for (uint32_t ssrc = 1; ssrc <= 200; ++ssrc) {
        fake_ntp().store(ntp_after_ms(ssrc * 10));
        ASSERT_EQ(f.feed(concat({rr_packet(ssrc), sdes_packet(ssrc, "m")})), RTP_SUCCESS);
    }
    for (uint32_t ssrc = 1; ssrc <= 10; ++ssrc) {
        f.feed_rtp(ssrc, 1);  // ten of them send media as well
    }
    EXPECT_EQ(f.rtcp->participant_count(), k_rtcp_max_participants);
    EXPECT_EQ(f.rtcp->member_count(), 200u);
    EXPECT_EQ(f.rtcp->sender_count(), 10u);
    const rtcp_interval_inputs in = f.rtcp->interval_inputs();
    EXPECT_EQ(in.members, 201);
    EXPECT_EQ(in.senders, 10);
    EXPECT_FALSE(in.we_sent);
    // RFC 3550 6.3.1: 191 receivers share three quarters of 400 B/s.
    const double want = 191 * static_cast<double>(f.rtcp->avg_rtcp_size()) / 300.0;
    EXPECT_GT(want, 40.0);  // 32 members made it about 5 s
    EXPECT_NEAR(rtcp_deterministic_interval(in), want, 1e-9);

    // A BYE takes its source out of the count.
    std::vector<uint8_t> bye = {0x81, 203, 0, 1};
    put32(bye, 150);
    ASSERT_EQ(f.feed(concat({rr_packet(150), bye})), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->member_count(), 199u);
}

TEST(RtcpMembers, MemberTableIsBounded) {
    rtcp_fixture f;
    stderr_capture quiet;
    for (uint32_t ssrc = 1; ssrc <= k_rtcp_member_capacity + 100; ++ssrc) {
        f.feed_rtp(ssrc, 1);
    }
    EXPECT_EQ(f.rtcp->member_count(), k_rtcp_member_capacity);
    EXPECT_EQ(f.rtcp->participant_count(), k_rtcp_max_participants);
}

// Regression: the time-out check listed silent sources under one lock and
// removed them under another, so a source whose RTCP arrived in between was
// removed although it had just been heard.
TEST(RtcpMembers, SourceHeardDuringTheTimeoutCheckIsNotRemoved) {
    rtcp_fixture f;
    stderr_capture quiet;
    ASSERT_EQ(f.feed(concat({rr_packet(0x77), sdes_packet(0x77, "a")})), RTP_SUCCESS);
    ASSERT_EQ(f.feed(concat({rr_packet(0x88), sdes_packet(0x88, "b")})), RTP_SUCCESS);
    fake_ntp().store(ntp_after_ms(30000));  // past 5 x 5 s of silence
    std::vector<uint32_t> silent = f.rtcp->timed_out_sources();
    std::sort(silent.begin(), silent.end());
    ASSERT_EQ(silent, (std::vector<uint32_t>{0x77, 0x88}));
    // 0x77's report arrives between the check and the removal.
    ASSERT_EQ(f.feed(concat({rr_packet(0x77), sdes_packet(0x77, "a")})), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->remove_timeout_ssrc(0x77), RTP_FAILED);
    EXPECT_EQ(f.rtcp->remove_timeout_ssrc(0x88), RTP_SUCCESS);
    EXPECT_TRUE(f.rtcp->is_participant(0x77));
    EXPECT_FALSE(f.rtcp->is_participant(0x88));
    EXPECT_EQ(f.rtcp->member_count(), 1u);
}

// RFC 3550 5.1: a packet may be all padding. Regression: the header stage
// refused it, so its sequence number was reported lost.
TEST(RtcpMembers, PaddingOnlyPacketIsCountedAndNotDelivered) {
    rtcp_fixture f;
    auto feed = [&f](uint16_t seq, bool padding_only) {
        std::vector<uint8_t> p = rtp_packet(0x77, seq, std::vector<uint8_t>(100, 0x55), 96,
                                            static_cast<uint32_t>(seq) * 3000);
        if (padding_only) {
            p.resize(12 + 8, 0);
            p[0] |= 0x20;  // P
            p.back() = 8;  // eight bytes of padding, the count included
        }
        frame::rtp_frame *out = nullptr;
        RTP_ERROR r = rtp::packet_handler(nullptr, RCE_WITH_RTCP, p.data(), p.size(), &out);
        if (r == RTP_PKT_CHANGED) {
            r = rtcp_internal::recv_packet_handler_common(f.rtcp.get(), RCE_WITH_RTCP, p.data(),
                                                          p.size(), &out);
        }
        frame::dealloc_frame(out);
        return r;
    };
    struct Step {
        uint16_t seq;
        bool padding_only;
        RTP_ERROR want;  // RTP_PKT_SKIPPED: on to the payload format
    };
    const Step steps[] = {
        {1, false, RTP_PKT_SKIPPED}, {2, false, RTP_PKT_SKIPPED}, {3, false, RTP_PKT_SKIPPED},
        {4, true, RTP_SUCCESS},      {5, true, RTP_SUCCESS},      {6, false, RTP_PKT_SKIPPED},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.seq);
        EXPECT_EQ(feed(s.seq, s.padding_only), s.want);
    }
    receiver_statistics st;
    ASSERT_TRUE(f.rtcp->get_statistics(0x77, st));
    EXPECT_EQ(expected_packets(st), 5u);  // probation took the first
    EXPECT_EQ(st.received, 5u);
    EXPECT_EQ(st.lost, 0);
}
