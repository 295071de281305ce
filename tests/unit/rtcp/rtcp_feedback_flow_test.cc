// Feedback through the RTCP object: received NACK, PLI and FIR dispatched to
// their hooks and counted, the requests that send them (early feedback in a
// compound or reduced-size packet, at most once between regular reports),
// and the AVPF timing rules (RFC 4585 sections 3.4, 3.5) on a fake time.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rtcp/rtcp_avpf.hh"
#include "rtcp/rtcp_feedback.hh"
#include "support/rtcp_fixture.hh"
#include "tessal/rtcp.hh"

using namespace tessal;
using namespace tessal::test;
using bytes = std::vector<uint8_t>;

namespace {

constexpr int k_feedback = RCE_WITH_RTCP | RCE_RTCP_FEEDBACK;

bytes nack_packet(uint32_t sender, uint32_t media, const std::vector<uint16_t> &lost) {
    const std::vector<rtcp_nack_entry> entries = pack_nack(lost);
    bytes b(get_nack_packet_size(entries.size()));
    size_t offset = 0;
    construct_nack_packet(b.data(), offset, sender, media, entries);
    return b;
}

bytes pli_packet(uint32_t sender, uint32_t media) {
    bytes b(get_pli_packet_size());
    size_t offset = 0;
    construct_pli_packet(b.data(), offset, sender, media);
    return b;
}

bytes fir_packet(uint32_t sender, const std::vector<rtcp_fir_entry> &entries) {
    bytes b(get_fir_packet_size(entries.size()));
    size_t offset = 0;
    construct_fir_packet(b.data(), offset, sender, entries);
    return b;
}

// What the hooks received.
struct feedback_log {
    std::vector<rtcp_nack> nacks;
    std::vector<rtcp_pli> plis;
    std::vector<rtcp_fir> firs;

    void install(rtcp_internal &rtcp) {
        rtcp.install_nack_hook(std::function<void(std::unique_ptr<rtcp_nack>)>(
            [this](std::unique_ptr<rtcp_nack> n) { nacks.push_back(*n); }));
        rtcp.install_pli_hook(std::function<void(std::shared_ptr<rtcp_pli>)>(
            [this](std::shared_ptr<rtcp_pli> p) { plis.push_back(*p); }));
        rtcp.install_fir_hook(std::function<void(std::unique_ptr<rtcp_fir>)>(
            [this](std::unique_ptr<rtcp_fir> f) { firs.push_back(*f); }));
    }
};

// The packet types of a datagram, in order, after checking it is a valid
// compound (or reduced-size) RTCP packet.
std::vector<int> packet_types(const bytes &datagram) {
    std::vector<int> types;
    if (check_rtcp_compound(datagram.data(), datagram.size()).fault != RTCP_COMPOUND_VALID) {
        return types;
    }
    for (size_t offset = 0; offset < datagram.size();) {
        types.push_back(datagram[offset + 1]);
        offset += rtcp_length_in_bytes(
            static_cast<uint16_t>(datagram[offset + 2] << 8 | datagram[offset + 3]));
    }
    return types;
}

// The packet of type `type` inside a datagram (the first one).
bytes packet_of(const bytes &datagram, int type) {
    for (size_t offset = 0; offset + 4 <= datagram.size();) {
        const size_t size = rtcp_length_in_bytes(
            static_cast<uint16_t>(datagram[offset + 2] << 8 | datagram[offset + 3]));
        if (datagram[offset + 1] == type) {
            return bytes(datagram.begin() + static_cast<long>(offset),
                         datagram.begin() + static_cast<long>(offset + size));
        }
        offset += size;
    }
    return {};
}

}  // namespace

// --- reception ------------------------------------------------------------------------

TEST(RtcpFeedbackReception, CompoundDispatchesEachKindToItsHook) {
    for (int flags : {int{RCE_WITH_RTCP}, k_feedback}) {
        SCOPED_TRACE(flags);  // read and counted whether or not we send feedback
        rtcp_fixture f(flags);
        feedback_log log;
        log.install(*f.rtcp);
        const bytes compound =
            concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "peer@host"),
                    nack_packet(k_peer_ssrc, k_local_ssrc, {65535, 0, 2, 40}),
                    pli_packet(k_peer_ssrc, k_local_ssrc),
                    fir_packet(k_peer_ssrc, {{0x99, 3}, {k_local_ssrc, 200}})});
        ASSERT_EQ(f.feed(compound), RTP_SUCCESS);

        ASSERT_EQ(log.nacks.size(), 1u);
        EXPECT_EQ(log.nacks[0].sender_ssrc, k_peer_ssrc);
        EXPECT_EQ(log.nacks[0].media_ssrc, k_local_ssrc);
        EXPECT_EQ(log.nacks[0].lost, (std::vector<uint16_t>{65535, 0, 2, 40}));
        ASSERT_EQ(log.plis.size(), 1u);
        EXPECT_EQ(log.plis[0].sender_ssrc, k_peer_ssrc);
        EXPECT_EQ(log.plis[0].media_ssrc, k_local_ssrc);
        ASSERT_EQ(log.firs.size(), 1u);
        ASSERT_EQ(log.firs[0].entries.size(), 2u);
        EXPECT_EQ(log.firs[0].entries[1].ssrc, k_local_ssrc);
        EXPECT_EQ(log.firs[0].entries[1].seq, 200);

        const rtcp_feedback_counters c = f.rtcp->feedback_counters();
        EXPECT_EQ(c.nack_received, 1u);
        EXPECT_EQ(c.pli_received, 1u);
        EXPECT_EQ(c.fir_received, 1u);
        EXPECT_EQ(c.malformed_received, 0u);
        // The report around them was read as always.
        EXPECT_NE(f.rtcp->get_receiver_packet(k_peer_ssrc), nullptr);
        EXPECT_NE(f.rtcp->get_sdes_packet(k_peer_ssrc), nullptr);
        EXPECT_TRUE(f.transport->sent().empty());  // receiving sends nothing
    }
}

TEST(RtcpFeedbackReception, UnknownAndMalformedFeedbackIsSkippedNotTheCompound) {
    rtcp_fixture f;
    feedback_log log;
    log.install(*f.rtcp);
    const bytes remb = {0x8F, 0xCE, 0x00, 0x04, 0x11, 0x22, 0x33, 0x44, 0,    0,
                        0,    0,    'R',  'E',  'M',  'B',  0x01, 0x00, 0x00, 0x00};
    const bytes empty_nack = {0x81, 0xCD, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0};
    const bytes cut_fir = {0x84, 0xCE, 0x00, 0x03, 0x11, 0x22, 0x33, 0x44,
                           0,    0,    0,    0,    0xAA, 0xBB, 0xCC, 0xDD};
    const bytes short_pli = {0x81, 0xCE, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    const bytes compound =
        concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "peer@host"), remb, empty_nack,
                cut_fir, short_pli, pli_packet(k_peer_ssrc, k_local_ssrc)});
    ASSERT_EQ(f.feed(compound), RTP_SUCCESS);
    const rtcp_feedback_counters c = f.rtcp->feedback_counters();
    EXPECT_EQ(c.unknown_received, 1u);
    EXPECT_EQ(c.malformed_received, 3u);
    EXPECT_EQ(c.nack_received + c.fir_received, 0u);
    EXPECT_EQ(c.pli_received, 1u);  // the good one after them still arrives
    EXPECT_EQ(log.plis.size(), 1u);
    EXPECT_TRUE(log.nacks.empty());
    EXPECT_TRUE(log.firs.empty());
    EXPECT_EQ(f.rtcp->dropped_invalid_packets(), 0u);
}

TEST(RtcpFeedbackReception, ReducedSizeFeedbackAloneIsAccepted) {
    rtcp_fixture f;
    feedback_log log;
    log.install(*f.rtcp);
    // RFC 5506: the feedback packet alone in its datagram.
    ASSERT_EQ(f.feed(nack_packet(k_peer_ssrc, k_local_ssrc, {9})), RTP_SUCCESS);
    ASSERT_EQ(f.feed(pli_packet(k_peer_ssrc, k_local_ssrc)), RTP_SUCCESS);
    EXPECT_EQ(log.nacks.size(), 1u);
    EXPECT_EQ(log.plis.size(), 1u);
    EXPECT_EQ(f.rtcp->member_count(), 1u);  // its sender is a member
    EXPECT_EQ(f.rtcp->dropped_invalid_packets(), 0u);
}

TEST(RtcpFeedbackReception, WithoutHooksRecordsAreCountedAndReleased) {
    rtcp_fixture f;
    ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), fir_packet(k_peer_ssrc, {{k_local_ssrc, 1}}),
                             nack_packet(k_peer_ssrc, k_local_ssrc, {1, 2, 3})})),
              RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->feedback_counters().fir_received, 1u);
    EXPECT_EQ(f.rtcp->feedback_counters().nack_received, 1u);
    // A pointer hook owns what it gets; remove_all_hooks takes it away.
    static int plis = 0;
    plis = 0;
    ASSERT_EQ(f.rtcp->install_pli_hook([](rtcp_pli *p) {
        ++plis;
        delete p;
    }),
              RTP_SUCCESS);
    ASSERT_EQ(f.feed(pli_packet(k_peer_ssrc, k_local_ssrc)), RTP_SUCCESS);
    f.rtcp->remove_all_hooks();
    ASSERT_EQ(f.feed(pli_packet(k_peer_ssrc, k_local_ssrc)), RTP_SUCCESS);
    EXPECT_EQ(plis, 1);
    EXPECT_EQ(f.rtcp->feedback_counters().pli_received, 2u);
    EXPECT_EQ(f.rtcp->install_pli_hook(static_cast<void (*)(rtcp_pli *)>(nullptr)),
              RTP_BAD_ARGUMENT);
}

// The public facade's hooks get flat arguments, one FIR call per entry.
TEST(RtcpFeedbackReception, FacadeHooksGetFlatArguments) {
    static std::vector<uint16_t> lost;
    static std::vector<uint32_t> seen;  // sender, media or target, in call order
    lost.clear();
    seen.clear();
    shared_ssrc local = make_shared_ssrc(k_local_ssrc);
    rtcp facade(std::make_shared<rtp>(FMT_H265, local, false), local, make_shared_ssrc(1),
                "me@host", RCE_WITH_RTCP);
    facade.internal()->set_transport(std::make_shared<fake_rtcp_transport>());
    ASSERT_EQ(facade.internal()->start_without_runner(), RTP_SUCCESS);
    EXPECT_EQ(facade.install_nack_hook(nullptr), RTP_BAD_ARGUMENT);
    ASSERT_EQ(
        facade.install_nack_hook([](uint32_t sender, uint32_t media, const uint16_t *l, size_t n) {
            seen.insert(seen.end(), {sender, media});
            lost.assign(l, l + n);
        }),
        RTP_SUCCESS);
    ASSERT_EQ(facade.install_pli_hook([](uint32_t sender, uint32_t media) {
        seen.insert(seen.end(), {sender, media});
    }),
              RTP_SUCCESS);
    ASSERT_EQ(facade.install_fir_hook([](uint32_t sender, uint32_t target, uint8_t seq) {
        seen.insert(seen.end(), {sender, target, seq});
    }),
              RTP_SUCCESS);
    bytes compound = concat({rr_packet(k_peer_ssrc), nack_packet(k_peer_ssrc, k_local_ssrc, {7, 9}),
                             pli_packet(k_peer_ssrc, k_local_ssrc),
                             fir_packet(k_peer_ssrc, {{k_local_ssrc, 4}, {0x77, 5}})});
    ASSERT_EQ(facade.internal()->handle_incoming_packet(compound.data(), compound.size()),
              RTP_SUCCESS);
    EXPECT_EQ(lost, (std::vector<uint16_t>{7, 9}));
    EXPECT_EQ(seen, (std::vector<uint32_t>{k_peer_ssrc, k_local_ssrc, k_peer_ssrc, k_local_ssrc,
                                           k_peer_ssrc, k_local_ssrc, 4, k_peer_ssrc, 0x77, 5}));
}

// --- sending ---------------------------------------------------------------------------

TEST(RtcpFeedbackSending, WithoutTheFlagNothingIsQueuedOrSent) {
    rtcp_fixture f;  // RCE_WITH_RTCP only
    ASSERT_EQ(f.feed(rr_packet(k_peer_ssrc)), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->send_nack(k_peer_ssrc, {1, 2}), RTP_UNSUPPORTED);
    EXPECT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_UNSUPPORTED);
    EXPECT_EQ(f.rtcp->send_fir(k_peer_ssrc), RTP_UNSUPPORTED);
    EXPECT_TRUE(f.transport->sent().empty());
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 1u);
    EXPECT_EQ(packet_types(f.transport->sent()[0]), (std::vector<int>{201, 202}));
}

TEST(RtcpFeedbackSending, RefusedRequests) {
    rtcp_fixture stopped(k_feedback, false);
    EXPECT_EQ(stopped.rtcp->send_pli(k_peer_ssrc), RTP_UNINITIALIZED);
    EXPECT_EQ(stopped.rtcp->send_fir(k_peer_ssrc), RTP_UNINITIALIZED);
    rtcp_fixture f(k_feedback);
    EXPECT_EQ(f.rtcp->send_nack(k_peer_ssrc, {}), RTP_BAD_ARGUMENT);
    EXPECT_TRUE(f.transport->sent().empty());
}

TEST(RtcpFeedbackSending, EarlyCompoundOnceThenWithTheRegularReport) {
    rtcp_fixture f(k_feedback);
    ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "peer@host")})),
              RTP_SUCCESS);
    // RFC 4585 3.5.2: the first feedback goes at once, in a minimal
    // compound: empty RR, SDES CNAME, the NACK.
    ASSERT_EQ(f.rtcp->send_nack(k_peer_ssrc, {100, 101, 117, 118}), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 1u);
    const bytes early = f.transport->sent()[0];
    EXPECT_EQ(packet_types(early), (std::vector<int>{201, 202, 205}));
    EXPECT_EQ(early[0] & 0x1F, 0);  // no report blocks
    rtcp_nack nack;
    const bytes nack_bytes = packet_of(early, 205);
    ASSERT_EQ(parse_nack_packet(nack_bytes.data(), nack_bytes.size(), nack), RTP_SUCCESS);
    EXPECT_EQ(nack.sender_ssrc, k_local_ssrc);
    EXPECT_EQ(nack.media_ssrc, k_peer_ssrc);
    EXPECT_EQ(nack.lost, (std::vector<uint16_t>{100, 101, 117, 118}));

    // Until a regular report went out, further feedback waits for it.
    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_fir(k_peer_ssrc), RTP_SUCCESS);
    EXPECT_EQ(f.transport->sent().size(), 1u);
    EXPECT_EQ(f.rtcp->send_early_feedback(), RTP_SUCCESS);  // direct call sends it though
    ASSERT_EQ(f.transport->sent().size(), 2u);
    EXPECT_EQ(packet_types(f.transport->sent()[1]), (std::vector<int>{201, 202, 206, 206}));

    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    EXPECT_EQ(f.transport->sent().size(), 2u);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 3u);
    const bytes regular = f.transport->sent()[2];
    EXPECT_EQ(packet_types(regular), (std::vector<int>{201, 202, 206}));
    EXPECT_EQ(regular[0] & 0x1F, 0);  // no RTP heard: no blocks either

    // The regular report opened the way for one early packet again.
    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    EXPECT_EQ(f.transport->sent().size(), 4u);
    const rtcp_feedback_counters c = f.rtcp->feedback_counters();
    EXPECT_EQ(c.nack_sent, 1u);
    EXPECT_EQ(c.pli_sent, 3u);
    EXPECT_EQ(c.fir_sent, 1u);
    EXPECT_EQ(c.early_packets_sent, 3u);
}

TEST(RtcpFeedbackSending, ReducedSizeAfterTheFirstCompound) {
    rtcp_fixture f(k_feedback | RCE_RTCP_REDUCED_SIZE);
    ASSERT_EQ(f.feed(rr_packet(k_peer_ssrc)), RTP_SUCCESS);
    // Nothing compound sent yet: the first feedback still introduces us.
    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 1u);
    EXPECT_EQ(packet_types(f.transport->sent()[0]), (std::vector<int>{201, 202, 206}));
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 3u);
    EXPECT_EQ(f.transport->sent()[2], pli_packet(k_local_ssrc, k_peer_ssrc));
    // Queued feedback goes out one packet per datagram.
    ASSERT_EQ(f.rtcp->send_nack(k_peer_ssrc, {5}), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_fir(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_early_feedback(), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 5u);
    EXPECT_EQ(f.transport->sent()[3], nack_packet(k_local_ssrc, k_peer_ssrc, {5}));
    EXPECT_EQ(packet_types(f.transport->sent()[4]), (std::vector<int>{206}));
}

TEST(RtcpFeedbackSending, FirSequenceNumbersCountPerTarget) {
    rtcp_fixture f(k_feedback | RCE_RTCP_REDUCED_SIZE);
    ASSERT_EQ(f.feed(rr_packet(k_peer_ssrc)), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    const uint32_t other = 0x5555;
    for (uint32_t target : {k_peer_ssrc, k_peer_ssrc, other, k_peer_ssrc}) {
        ASSERT_EQ(f.rtcp->send_fir(target), RTP_SUCCESS);
    }
    ASSERT_EQ(f.rtcp->send_early_feedback(), RTP_SUCCESS);
    const std::vector<bytes> sent = f.transport->sent();
    ASSERT_EQ(sent.size(), 5u);
    std::vector<std::pair<uint32_t, int>> got;
    for (size_t i = 1; i < sent.size(); ++i) {
        rtcp_fir fir;
        ASSERT_EQ(parse_fir_packet(sent[i].data(), sent[i].size(), fir), RTP_SUCCESS);
        ASSERT_EQ(fir.entries.size(), 1u);
        EXPECT_EQ(fir.media_ssrc, 0u);
        got.emplace_back(fir.entries[0].ssrc, fir.entries[0].seq);
    }
    const std::vector<std::pair<uint32_t, int>> want = {
        {k_peer_ssrc, 0}, {k_peer_ssrc, 1}, {other, 0}, {k_peer_ssrc, 2}};
    EXPECT_EQ(got, want);
}

TEST(RtcpFeedbackSending, WhatOneSendsTheOtherReceives) {
    rtcp_fixture tx(k_feedback);
    rtcp_fixture rx(RCE_WITH_RTCP, true, k_peer_ssrc);
    feedback_log log;
    log.install(*rx.rtcp);
    ASSERT_EQ(tx.feed(rr_packet(k_peer_ssrc)), RTP_SUCCESS);
    ASSERT_EQ(tx.rtcp->send_nack(k_peer_ssrc, {65530, 65535, 3, 30}), RTP_SUCCESS);
    ASSERT_EQ(tx.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(tx.rtcp->send_fir(k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(tx.rtcp->send_early_feedback(), RTP_SUCCESS);
    for (const bytes &datagram : tx.transport->sent()) {
        ASSERT_EQ(rx.feed(datagram), RTP_SUCCESS);
    }
    ASSERT_EQ(log.nacks.size(), 1u);
    EXPECT_EQ(log.nacks[0].sender_ssrc, k_local_ssrc);
    EXPECT_EQ(log.nacks[0].lost, (std::vector<uint16_t>{65530, 65535, 3, 30}));
    ASSERT_EQ(log.plis.size(), 1u);
    ASSERT_EQ(log.firs.size(), 1u);
    EXPECT_EQ(log.firs[0].entries[0].ssrc, k_peer_ssrc);
    EXPECT_EQ(rx.rtcp->participant_count(), 1u);  // the sender, from its compound
}

// --- timing (RFC 4585 3.4, 3.5) on a fake time -----------------------------------------

TEST(AvpfTiming, DitherIsZeroPointToPointAndHalfTrrInGroups) {
    EXPECT_EQ(avpf_dither_max(2, 4.0), 0.0);
    EXPECT_EQ(avpf_dither_max(1, 4.0), 0.0);
    EXPECT_EQ(avpf_dither_max(3, 4.0), 2.0);
}

TEST(AvpfTiming, EarlyFeedbackOncePerRegularInterval) {
    struct Case {
        const char *name;
        int members;
        double t0;
        double dither;
        AVPF_EARLY want;
        double want_te;
        double want_tn;  // after the decision
    };
    // A regular report went out at tp = 10 with T_rr = 4: tn = 14.
    const Case cases[] = {
        {"point to point: at once", 2, 11.0, 0.7, AVPF_EARLY_SEND, 11.0, 18.0},
        {"group: dithered within T_rr / 2", 5, 11.0, 0.5, AVPF_EARLY_SEND, 12.0, 18.0},
        {"group: report within T_dither_max", 5, 12.5, 0.5, AVPF_EARLY_WITH_REGULAR, 14.0, 14.0},
        {"point to point, just before tn", 2, 13.99, 0.0, AVPF_EARLY_SEND, 13.99, 18.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        avpf_state s;
        rtcp_timer t = rtcp_timer_start(10.0, 4.0);
        const avpf_early_decision d = avpf_schedule_early(s, t, c.t0, c.members, 4.0, c.dither);
        EXPECT_EQ(d.what, c.want);
        EXPECT_DOUBLE_EQ(d.te, c.want_te);
        EXPECT_DOUBLE_EQ(t.tn, c.want_tn);
        EXPECT_EQ(s.allow_early, c.want != AVPF_EARLY_SEND);
        if (c.want == AVPF_EARLY_SEND) {
            // A second one before the regular report waits for it.
            const avpf_early_decision again =
                avpf_schedule_early(s, t, c.t0 + 0.1, c.members, 4.0, 0.0);
            EXPECT_EQ(again.what, AVPF_EARLY_WITH_REGULAR);
            EXPECT_DOUBLE_EQ(again.te, t.tn);
            // The regular report lets the next one go early again.
            EXPECT_TRUE(avpf_regular_report(s, t.tn, 0.0, 1.0));
            EXPECT_TRUE(s.allow_early);
        }
    }
}

TEST(AvpfTiming, TrrIntervalThinsRegularReports) {
    struct Step {
        double tc;
        double factor;
        bool whole;
    };
    avpf_state s;
    // T_rr_interval 2 s: the first goes, then none before t_rr_last + factor * 2.
    const Step steps[] = {
        {10.0, 1.0, true},  {11.0, 1.0, false}, {11.99, 1.0, false}, {12.0, 0.5, true},
        {12.9, 1.0, false}, {13.0, 1.5, true},  {15.5, 1.0, false},  {16.0, 1.0, true},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.tc);
        s.allow_early = false;
        EXPECT_EQ(avpf_regular_report(s, step.tc, 2.0, step.factor), step.whole);
        EXPECT_TRUE(s.allow_early);  // suppressed or not, the interval ended
    }
    avpf_state zero;
    for (double tc : {1.0, 1.001, 1.002}) {
        EXPECT_TRUE(avpf_regular_report(zero, tc, 0.0, 1.0));
    }
}

TEST(AvpfTiming, NoFiveSecondMinimumWithFeedback) {
    struct Case {
        const char *name;
        bool avpf;
        bool initial;
        double bw_kbps;
        double want;
    };
    // Two members, receivers, 100-byte reports: 2 * 100 / (0.75 * bw bytes/s).
    const Case cases[] = {
        {"RFC 3550: 5 s minimum", false, false, 50.0, 5.0},
        {"AVPF: the bandwidth alone", true, false, 50.0, 2 * 100 / (0.75 * 6250)},
        {"AVPF: 1 s before the first report", true, true, 50.0, 1.0},
        {"AVPF: little bandwidth goes past 5 s", true, false, 0.1, 2 * 100 / (0.75 * 12.5)},
        {"AVPF without a known bandwidth keeps 5 s", true, false, 0.0, 5.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_interval_inputs in;
        in.members = 2;
        in.senders = 0;
        in.rtcp_bw_kbps = c.bw_kbps;
        in.avg_rtcp_size = 100;
        in.avpf = c.avpf;
        in.initial = c.initial;
        EXPECT_DOUBLE_EQ(rtcp_deterministic_interval(in), c.want);
        // The member time-out keeps its RFC 3550 floor.
        EXPECT_GE(rtcp_member_timeout(in), 5 * 5.0);
    }
}
