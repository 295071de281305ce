// Reception of compound RTCP packets: golden packets, bounds, unknown types,
// padding, round-trip times. No sockets, an injected clock.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/rtcp_fixture.hh"
#include "support/stderr_capture.hh"

using namespace tessal;
using namespace tessal::test;

namespace {

// RR + SDES from 0x11223344, as a peer sends it every interval.
const std::vector<uint8_t> k_rr_sdes = {
    0x81, 0xC9, 0x00, 0x07,  // V=2, RC=1, RR, length 7 (32 bytes)
    0x11, 0x22, 0x33, 0x44,  // reporter SSRC
    0xAA, 0xBB, 0xCC, 0xDD,  // block: source = our SSRC
    0x40, 0x00, 0x01, 0x02,  //   fraction 64, cumulative loss 258
    0x00, 0x01, 0x00, 0x10,  //   1 cycle, highest seq 16
    0x00, 0x00, 0x00, 0x20,  //   jitter 32
    0x00, 0x01, 0x00, 0x00,  //   LSR
    0x00, 0x00, 0x00, 0x00,  //   DLSR
    0x81, 0xCA, 0x00, 0x04,  // V=2, SC=1, SDES, length 4 (20 bytes)
    0x11, 0x22, 0x33, 0x44,  // chunk SSRC
    0x01, 0x09, 'p',  'e',  'e', 'r', '@', 'h', 'o', 's', 't',  // CNAME, 9 bytes
    0x00,  // end of items (aligned: no padding)
};

// SR (one block) + SDES + APP + BYE: every type the library reads.
const std::vector<uint8_t> k_sender_compound = {
    0x81, 0xC8, 0x00, 0x0C,                          // V=2, RC=1, SR, length 12 (52 bytes)
    0x11, 0x22, 0x33, 0x44,                          // sender SSRC
    0x83, 0xAA, 0x7E, 0x80,                          // NTP seconds
    0x80, 0x00, 0x00, 0x00,                          // NTP fraction
    0x00, 0x00, 0x10, 0x00,                          // RTP timestamp
    0x00, 0x00, 0x00, 0x0A,                          // packet count
    0x00, 0x00, 0x03, 0xE8,                          // octet count
    0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x00, 0x00, 0x00,  // block about us, no loss
    0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,  //   highest seq 5, jitter 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   no LSR/DLSR
    0x81, 0xCA, 0x00, 0x04,                          // SDES, 20 bytes
    0x11, 0x22, 0x33, 0x44, 0x01, 0x09, 'p', 'e', 'e', 'r', '@', 'h', 'o', 's', 't', 0x00, 0x85,
    0xCC, 0x00, 0x03,        // V=2, subtype 5, APP, length 3 (16
                             // bytes)
    0x11, 0x22, 0x33, 0x44,  // sender SSRC
    'T', 'E', 'S', 'T',      // name
    0xDE, 0xAD, 0xBE, 0xEF,  // payload
    0x81, 0xCB, 0x00, 0x01,  // V=2, SC=1, BYE, length 1
    0x55, 0x66, 0x77, 0x88,  // an SSRC that is not a member
};

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(RtcpReception, ReceiverReportAndSdesFromANewSourceAddOneParticipant) {
    rtcp_fixture f;
    ASSERT_EQ(f.feed(k_rr_sdes), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->participant_count(), 1u);
    receiver_statistics s;
    ASSERT_TRUE(f.rtcp->get_statistics(k_peer_ssrc, s));
    EXPECT_EQ(s.clock_rate, 90000u);

    std::unique_ptr<frame::rtcp_receiver_report> rr = f.rtcp->get_receiver_packet(k_peer_ssrc);
    ASSERT_NE(rr, nullptr);
    EXPECT_EQ(rr->sender_ssrc, k_peer_ssrc);
    ASSERT_EQ(rr->reports.size(), 1u);
    EXPECT_EQ(rr->reports[0].source_ssrc, k_local_ssrc);
    EXPECT_EQ(rr->reports[0].fraction_lost, 64);
    EXPECT_EQ(rr->reports[0].cumulative_lost, 258);
    EXPECT_EQ(rr->reports[0].highest_seq, 0x00010010u);
    EXPECT_EQ(rr->reports[0].last_sr, 0x00010000u);
    EXPECT_EQ(f.rtcp->get_receiver_packet(k_peer_ssrc), nullptr);  // taken

    sdes_ptr sdes = f.rtcp->get_sdes_packet(k_peer_ssrc);
    ASSERT_NE(sdes, nullptr);
    ASSERT_EQ(sdes->chunks.size(), 1u);
    ASSERT_EQ(sdes->chunks[0].items.size(), 1u);
    const frame::rtcp_sdes_item &cname = sdes->chunks[0].items[0];
    EXPECT_EQ(std::string(reinterpret_cast<char *>(cname.item_data), cname.item_length),
              "peer@host");
}

// RFC 3550 section 8.2: a compound whose sender is our own SSRC (our report
// looped back by multicast) is never a participant and moves nothing: not
// the average size, not the members. Before, we became a participant of our
// own session and reported on ourselves.
TEST(RtcpReception, OwnSsrcAsSenderIsNeverAParticipant) {
    rtcp_fixture f;
    const uint64_t average_before = f.rtcp->avg_rtcp_size();
    ASSERT_EQ(f.feed(rr_packet(k_local_ssrc, k_peer_ssrc)), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->participant_count(), 0u);
    EXPECT_EQ(f.rtcp->member_count(), 0u);
    EXPECT_EQ(f.rtcp->dropped_own_packets(), 1u);
    EXPECT_EQ(f.rtcp->avg_rtcp_size(), average_before);
    ASSERT_EQ(f.feed(k_rr_sdes), RTP_SUCCESS);  // a peer's still counts
    EXPECT_EQ(f.rtcp->participant_count(), 1u);
}

TEST(RtcpReception, SenderCompoundFillsEveryRecord) {
    rtcp_fixture f;
    stderr_capture cap;
    ASSERT_EQ(f.feed(k_sender_compound), RTP_SUCCESS);
    EXPECT_EQ(count_of(cap.stop(), "Participant 1432778632 is not part of this group!"), 1u);

    std::unique_ptr<frame::rtcp_sender_report> sr = f.rtcp->get_sender_packet(k_peer_ssrc);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->info.ntp_seconds, 0x83AA7E80u);
    EXPECT_EQ(sr->info.ntp_fraction, 0x80000000u);
    EXPECT_EQ(sr->info.rtp_timestamp, 0x1000u);
    EXPECT_EQ(sr->info.packet_count, 10u);
    EXPECT_EQ(sr->info.octet_count, 1000u);
    ASSERT_EQ(sr->reports.size(), 1u);
    EXPECT_EQ(sr->reports[0].highest_seq, 5u);
    receiver_statistics s;
    ASSERT_TRUE(f.rtcp->get_statistics(k_peer_ssrc, s));
    EXPECT_EQ(s.lsr, 0x7E808000u);  // middle 32 bits of the SR's NTP time
    EXPECT_EQ(s.lsr_arrival, k_ntp_base);

    app_ptr app = f.rtcp->get_app_packet(k_peer_ssrc);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->header.count, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(app->app_name), 4), "TEST");
    ASSERT_EQ(app->payload_length, 4u);
    EXPECT_EQ(app->payload[0], 0xDE);
}

// Every cut of a golden compound is either a whole prefix of packets
// (processed) or refused cleanly; ASan checks nothing is read past the cut.
TEST(RtcpReception, TruncationSweepOfCompoundPackets) {
    struct Case {
        const char *name;
        const std::vector<uint8_t> *packet;
        std::vector<size_t> boundaries;
    };
    const Case cases[] = {
        {"RR + SDES", &k_rr_sdes, {32, 52}},
        {"SR + SDES + APP + BYE", &k_sender_compound, {52, 72, 88, 96}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t n = 0; n <= c.packet->size(); ++n) {
            SCOPED_TRACE(n);
            rtcp_fixture f;
            stderr_capture quiet;
            const RTP_ERROR r =
                f.feed(std::vector<uint8_t>(c.packet->begin(), c.packet->begin() + long(n)));
            const bool whole = std::count(c.boundaries.begin(), c.boundaries.end(), n) != 0;
            EXPECT_EQ(r == RTP_SUCCESS, whole) << r;
        }
    }
}

// Regression: fixed fields were read without checking the packet held them
// (a 4-byte APP allocated about 2^64 bytes). RFC 3550 A.2: the compound is
// invalid as a whole, so its earlier packets are not processed either.
TEST(RtcpReception, PacketTooShortForItsFixedPartDropsTheCompound) {
    struct Case {
        const char *name;
        std::vector<uint8_t> bad;
    };
    const Case cases[] = {
        {"SR of 8 bytes", {0x80, 0xC8, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}},
        {"RR of 4 bytes", {0x80, 0xC9, 0x00, 0x00}},
        {"APP of 4 bytes", {0x80, 0xCC, 0x00, 0x00}},
        {"APP of 8 bytes", {0x80, 0xCC, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}},
        {"SDES without room for its chunk", {0x81, 0xCA, 0x00, 0x00}},
        {"BYE counting 3 SSRCs holding 1", {0x83, 0xCB, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_fixture f;
        stderr_capture cap;
        EXPECT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), c.bad})), RTP_BAD_ARGUMENT);
        const std::string log = cap.stop();
        EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
        EXPECT_EQ(f.rtcp->get_receiver_packet(k_peer_ssrc), nullptr);
        EXPECT_EQ(f.rtcp->dropped_invalid_packets(), 1u);
        EXPECT_EQ(f.rtcp->member_count(), 0u);
    }
}

// Regression: removing the SRTCP trailer from a 9-13-byte datagram wrapped
// the size that was then parsed.
TEST(RtcpReception, SrtcpDatagramTooShortForItsTrailerIsRefused) {
    rtcp_fixture f(RCE_WITH_RTCP | RCE_SRTP);
    for (size_t n : {1, 4, 9, 13, 14, 21}) {
        SCOPED_TRACE(n);
        stderr_capture cap;
        std::vector<uint8_t> d(n, 0);
        d[0] = 0x80;
        EXPECT_EQ(f.feed(d), RTP_BAD_ARGUMENT);
        EXPECT_NE(cap.stop().find("ERROR"), std::string::npos);
    }
}

// Regression: feedback and XR packets ended the compound; RFC 3550 6.1 has
// unknown types skipped by their length. One warning per type.
TEST(RtcpReception, UnknownPacketTypesAreSkippedWithOneWarningPerType) {
    const std::vector<uint8_t> fb = {0x81, 205,  0x00, 0x02, 0x11, 0x22,
                                     0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD};
    std::vector<uint8_t> psfb = fb;
    psfb[1] = 206;
    std::vector<uint8_t> xr = {0x80, 207, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    rtcp_fixture f;
    stderr_capture cap;
    ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), fb, psfb, xr, fb,
                             sdes_packet(k_peer_ssrc, "peer@host")})),
              RTP_SUCCESS);
    ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), fb})), RTP_SUCCESS);
    const std::string log = cap.stop();
    EXPECT_EQ(count_of(log, "unsupported type 207"), 1u) << log;
    // Feedback (205, 206) is read now: a NACK without FCI is skipped as
    // malformed, the PSFB FMT 1 is a PLI; neither is an unknown type.
    EXPECT_EQ(count_of(log, "unsupported type 205"), 0u);
    EXPECT_EQ(count_of(log, "unsupported type 206"), 0u);
    EXPECT_EQ(f.rtcp->feedback_counters().malformed_received, 3u);
    EXPECT_EQ(f.rtcp->feedback_counters().pli_received, 1u);
    EXPECT_NE(f.rtcp->get_sdes_packet(k_peer_ssrc), nullptr);
}

// Regression: padded compounds were refused; RFC 3550 6.4.1 allows padding
// on the last packet.
TEST(RtcpReception, PaddingIsAcceptedOnTheLastPacketOnly) {
    std::vector<uint8_t> padded_sdes = sdes_packet(k_peer_ssrc, "peer@host");
    padded_sdes[0] |= 0x20;
    padded_sdes.insert(padded_sdes.end(), {0, 0, 0, 4});
    padded_sdes[3] = static_cast<uint8_t>(padded_sdes.size() / 4 - 1);
    std::vector<uint8_t> padded_rr = rr_packet(k_peer_ssrc);
    padded_rr[0] |= 0x20;
    padded_rr.insert(padded_rr.end(), {0, 0, 0, 4});
    padded_rr[3] = static_cast<uint8_t>(padded_rr.size() / 4 - 1);
    std::vector<uint8_t> zero_count = padded_sdes;
    zero_count.back() = 0;
    std::vector<uint8_t> too_much = padded_sdes;
    too_much.back() = 200;

    struct Case {
        const char *name;
        std::vector<uint8_t> packet;
        RTP_ERROR result;
        bool sdes;
    };
    const Case cases[] = {
        {"last packet padded", concat({rr_packet(k_peer_ssrc), padded_sdes}), RTP_SUCCESS, true},
        {"padding on a packet that is not the last",
         concat({padded_rr, sdes_packet(k_peer_ssrc, "peer@host")}), RTP_BAD_ARGUMENT, false},
        {"padding count 0", concat({rr_packet(k_peer_ssrc), zero_count}), RTP_BAD_ARGUMENT, false},
        {"padding beyond the packet", concat({rr_packet(k_peer_ssrc), too_much}), RTP_BAD_ARGUMENT,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_fixture f;
        stderr_capture quiet;
        EXPECT_EQ(f.feed(c.packet), c.result);
        EXPECT_EQ(f.rtcp->get_sdes_packet(k_peer_ssrc) != nullptr, c.sdes);
    }
}

TEST(RtcpReception, EdgeCasesOfTheRecordLayouts) {
    {
        SCOPED_TRACE("a lone SR is processed and noted");
        rtcp_fixture f;
        stderr_capture cap;
        EXPECT_EQ(
            f.feed(std::vector<uint8_t>(k_sender_compound.begin(), k_sender_compound.begin() + 52)),
            RTP_SUCCESS);
        EXPECT_NE(cap.stop().find("Received RTCP packet was not a compound packet!"),
                  std::string::npos);
        EXPECT_NE(f.rtcp->get_sender_packet(k_peer_ssrc), nullptr);
    }
    {
        SCOPED_TRACE("RR counting 2 blocks holding 1");
        rtcp_fixture f;
        std::vector<uint8_t> rr = rr_packet(k_peer_ssrc);
        rr[0] = 0x82;
        stderr_capture cap;
        EXPECT_EQ(f.feed(concat({rr, sdes_packet(k_peer_ssrc, "x")})), RTP_SUCCESS);
        EXPECT_EQ(count_of(cap.stop(), "smaller than the indicated number of reports"), 1u);
        EXPECT_EQ(f.rtcp->get_receiver_packet(k_peer_ssrc)->reports.size(), 1u);
    }
    {
        SCOPED_TRACE("second SDES chunk starts at the next word");
        rtcp_fixture f;
        std::vector<uint8_t> sdes = {0x82, 202, 0, 0};
        put32(sdes, k_peer_ssrc);
        sdes.insert(sdes.end(), {1, 10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 0, 0, 0,
                                 0});  // end byte at offset 20 of the packet, then padding
        put32(sdes, 0x99);
        sdes.insert(sdes.end(), {1, 1, 'z', 0});
        sdes[3] = static_cast<uint8_t>(sdes.size() / 4 - 1);
        EXPECT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), sdes})), RTP_SUCCESS);
        sdes_ptr got = f.rtcp->get_sdes_packet(k_peer_ssrc);
        ASSERT_NE(got, nullptr);
        ASSERT_EQ(got->chunks.size(), 2u);
        EXPECT_EQ(got->chunks[1].chunk_ssrc, 0x99u);
        EXPECT_EQ(got->chunks[1].items[0].item_data[0], 'z');
    }
    {
        SCOPED_TRACE("APP of 12 and of 20 bytes");
        rtcp_fixture f;
        std::vector<uint8_t> app12 = {0x80, 204, 0, 2};
        put32(app12, k_peer_ssrc);
        app12.insert(app12.end(), {'N', 'A', 'M', 'E'});
        EXPECT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), app12})), RTP_SUCCESS);
        app_ptr a = f.rtcp->get_app_packet(k_peer_ssrc);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->payload, nullptr);
        EXPECT_EQ(a->payload_length, 0u);
        std::vector<uint8_t> app20 = app12;
        app20[3] = 4;
        app20.insert(app20.end(), {1, 2, 3, 4, 5, 6, 7, 8});
        EXPECT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), app20})), RTP_SUCCESS);
        EXPECT_EQ(f.rtcp->get_app_packet(k_peer_ssrc)->payload_length, 8u);
    }
    {
        SCOPED_TRACE("BYE of an unknown and a known source");
        rtcp_fixture f;
        f.feed(k_rr_sdes);
        std::vector<uint8_t> bye = {0x82, 203, 0, 2};
        put32(bye, 0x7777);
        put32(bye, k_peer_ssrc);
        stderr_capture cap;
        EXPECT_EQ(f.feed(concat({rr_packet(0x5555), bye})), RTP_SUCCESS);
        EXPECT_EQ(count_of(cap.stop(), "is not part of this group"), 1u);
        EXPECT_FALSE(f.rtcp->is_participant(k_peer_ssrc));
        EXPECT_TRUE(f.rtcp->is_participant(0x5555));
    }
}

TEST(RtcpReception, RoundTripTimeFromTheReportOnOurSenderReport) {
    rtcp_fixture f;
    std::vector<double> rtts;
    ASSERT_EQ(f.rtcp->install_roundtrip_time_hook([&](uint32_t local, uint32_t remote, double ms) {
        EXPECT_EQ(local, k_local_ssrc);
        EXPECT_EQ(remote, k_peer_ssrc);
        rtts.push_back(ms);
    }),
              RTP_SUCCESS);
    f.feed(k_rr_sdes);
    f.sent_media(1);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);  // an SR to the peer
    fake_ntp().store(ntp_after_ms(3000));
    const uint32_t a = ntp_middle_32(fake_ntp_now());
    struct Case {
        const char *name;
        uint32_t lsr;
        uint32_t dlsr;
        double rtt_ms;
    };
    const Case cases[] = {
        {"one second", a - 65536, 0, 1000.0},
        {"one second after a half-second hold", a - 65536 - 32768, 32768, 1000.0},
        {"wrapping", 0xFFFF0000, a + 0x10000 - 65536 / 4, 250.0},
        // The peer's rounding of its hold time may exceed what passed here
        // by a unit or two on a fast path: no time passed, not 18 hours.
        {"hold rounded past the arrival", a - 100, 101, 0.0},
        {"a hold a second longer than what passed", a - 100, 102 + 65536, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtts.clear();
        ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc, k_local_ssrc, c.lsr, c.dlsr),
                                 sdes_packet(k_peer_ssrc, "p")})),
                  RTP_SUCCESS);
        ASSERT_EQ(rtts.size(), 1u);
        EXPECT_NEAR(rtts[0], c.rtt_ms, 0.01);
    }
    rtts.clear();
    stderr_capture cap;
    f.feed(concat({rr_packet(k_peer_ssrc, k_local_ssrc, 0, 0), sdes_packet(k_peer_ssrc, "p")}));
    EXPECT_NE(cap.stop().find("without LSR or DLSR"), std::string::npos);
    EXPECT_TRUE(rtts.empty());
}

// Regression: every datagram on the RTCP port moved the average RTCP size
// before it was checked, so 60 KB of junk stretched the interval to
// minutes. RFC 3550 6.3.3 counts received compound packets; A.2 says which
// are valid.
TEST(RtcpReception, OnlyValidCompoundsMoveTheAverageSizeAndTheInterval) {
    std::vector<uint8_t> long_claim = rr_packet(k_peer_ssrc);
    long_claim[2] = 0x3A;  // 60 KB claimed by a 32-byte datagram
    std::vector<uint8_t> padded_first = rr_packet(k_peer_ssrc);
    padded_first[0] |= 0x20;
    padded_first.back() = 4;
    const std::vector<uint8_t> short_sr = {0x80, 0xC8, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    struct Case {
        const char *name;
        std::vector<uint8_t> datagram;
    };
    const Case cases[] = {
        {"60 KB of 0xFF", std::vector<uint8_t>(60000, 0xFF)},
        {"60 KB of zeros", std::vector<uint8_t>(60000, 0)},
        {"a report, then 60 KB of junk",
         concat({rr_packet(k_peer_ssrc), std::vector<uint8_t>(60000, 0x5A)})},
        {"a length past the datagram", long_claim},
        {"padding on the first of two packets",
         concat({padded_first, sdes_packet(k_peer_ssrc, "peer")})},
        {"an SR without its sender info", concat({short_sr, sdes_packet(k_peer_ssrc, "peer")})},
        {"3 bytes", {0x81, 0xC9, 0x00}},
    };
    rtcp_fixture f;
    // 1 kbit/s and a sender: the interval is members x size / 6.25 B/s,
    // well above the minimum, so the average size shows in it.
    f.rtcp->set_session_bandwidth(1);
    f.sent_media(1);
    stderr_capture quiet;
    const uint64_t avg = f.rtcp->avg_rtcp_size();
    const double interval = rtcp_deterministic_interval(f.rtcp->interval_inputs());
    uint64_t dropped = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(f.feed(c.datagram), RTP_SUCCESS);
        EXPECT_EQ(f.rtcp->dropped_invalid_packets(), ++dropped);
        EXPECT_EQ(f.rtcp->avg_rtcp_size(), avg);
        EXPECT_EQ(rtcp_deterministic_interval(f.rtcp->interval_inputs()), interval);
        EXPECT_EQ(f.rtcp->member_count(), 0u);
        EXPECT_EQ(f.rtcp->participant_count(), 0u);
    }
    // A valid compound moves both: 1/16 of the way to 52 + 28 bytes.
    ASSERT_EQ(f.feed(k_rr_sdes), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->avg_rtcp_size(), (avg * 15 + k_rr_sdes.size() + 28) / 16);
    EXPECT_NEAR(interval, 128 / 6.25, 1e-9);
    EXPECT_NEAR(rtcp_deterministic_interval(f.rtcp->interval_inputs()), 2 * 125 / 6.25, 1e-9);
    EXPECT_EQ(f.rtcp->member_count(), 1u);
    EXPECT_EQ(f.rtcp->dropped_invalid_packets(), dropped);
}

// Regression: the average size moved before SRTCP authentication, so
// forged datagrams could stretch the interval of an SRTP stream.
TEST(RtcpReception, NothingMovesForAnSrtcpDatagramBeforeItAuthenticates) {
    rtcp_fixture f(RCE_WITH_RTCP | RCE_SRTP);  // no keys yet: nothing verifies
    f.rtcp->set_session_bandwidth(64);
    stderr_capture quiet;
    const uint64_t avg = f.rtcp->avg_rtcp_size();
    const double interval = rtcp_deterministic_interval(f.rtcp->interval_inputs());
    std::vector<uint8_t> forged = concat({k_rr_sdes, std::vector<uint8_t>(14, 0)});
    forged.resize(forged.size() + 60000, 0);  // and big
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f.feed(concat({k_rr_sdes, std::vector<uint8_t>(14, 0)})), RTP_AUTH_FAILED);
        EXPECT_EQ(f.feed(forged), RTP_AUTH_FAILED);
    }
    EXPECT_EQ(f.rtcp->dropped_unauthenticated_packets(), 6u);
    EXPECT_EQ(f.rtcp->dropped_invalid_packets(), 0u);
    EXPECT_EQ(f.rtcp->avg_rtcp_size(), avg);
    EXPECT_EQ(rtcp_deterministic_interval(f.rtcp->interval_inputs()), interval);
    EXPECT_EQ(f.rtcp->member_count(), 0u);
    EXPECT_EQ(f.rtcp->participant_count(), 0u);
}

// The same for a forged BYE of a member heard over RTP: processed, it would
// remove the member, and the membership drop would pull the transmission
// timer in (RFC 3550 6.3.4 reverse reconsideration). Before authentication
// the member stays, and so do the interval and the timer's inputs.
TEST(RtcpReception, ForgedSrtcpByeOfAMemberMovesNothing) {
    rtcp_fixture f(RCE_WITH_RTCP | RCE_SRTP);  // no keys yet: nothing verifies
    f.rtcp->set_session_bandwidth(64);
    for (uint16_t seq = 1; seq <= 3; ++seq) {
        f.feed_rtp(k_peer_ssrc, seq);
    }
    stderr_capture quiet;
    const size_t members = f.rtcp->member_count();
    const size_t senders = f.rtcp->sender_count();
    ASSERT_EQ(members, 1u);
    const uint64_t avg = f.rtcp->avg_rtcp_size();
    const double interval = rtcp_deterministic_interval(f.rtcp->interval_inputs());
    std::vector<uint8_t> bye = {0x81, 203, 0, 1};
    put32(bye, k_peer_ssrc);
    EXPECT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), bye, std::vector<uint8_t>(14, 0)})),
              RTP_AUTH_FAILED);
    EXPECT_EQ(f.rtcp->dropped_unauthenticated_packets(), 1u);
    EXPECT_EQ(f.rtcp->member_count(), members);
    EXPECT_EQ(f.rtcp->sender_count(), senders);
    EXPECT_EQ(f.rtcp->avg_rtcp_size(), avg);
    EXPECT_EQ(rtcp_deterministic_interval(f.rtcp->interval_inputs()), interval);
}
