// The sending side of loss recovery: packets stored as the socket's send
// handler sees them, NACKs answered with the same bytes or with RFC 4588
// retransmissions, key-frame requests passed on once per round trip.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "rtp/rtx.hh"
#include "stream/loss_recovery.hh"
#include "support/rtp_builder.hh"
#include "util/byte_reader.hh"

namespace tessal {
namespace {

using bytes = std::vector<uint8_t>;
constexpr int64_t k_rtt = 30'000;

struct sender_fixture {
    std::vector<bytes> wire;
    loss_recovery_sender sender;

    explicit sender_fixture(loss_recovery_sender::config c)
        : sender(c, [this](uint8_t *data, size_t size) {
              wire.emplace_back(data, data + size);
              return RTP_SUCCESS;
          }) {}

    // What the socket would send: the header and payload as two pieces.
    bytes send(uint16_t seq, size_t payload) {
        bytes p = test::rtp_packet(0xCAFE, seq, bytes(payload, static_cast<uint8_t>(seq)));
        buffer_vector pieces = {{12, p.data()}, {p.size() - 12, p.data() + 12}};
        EXPECT_EQ(loss_recovery_sender::store_handler(&sender, pieces), RTP_SUCCESS);
        return p;
    }
};

loss_recovery_sender::config generous(int rtx_pt = -1) {
    loss_recovery_sender::config c;
    c.limits.max_share_percent = 100;
    c.rtx_payload_type = rtx_pt;
    c.rtx_ssrc = 0xBEEF;
    c.rtx_first_seq = 65535;
    return c;
}

TEST(LossRecoverySender, AnswersANackWithTheStoredBytes) {
    sender_fixture f(generous());
    std::vector<bytes> sent;
    for (uint16_t s = 100; s < 110; ++s) {
        sent.push_back(f.send(s, 200));
    }
    const int64_t now = loss_recovery_now_us();
    f.sender.on_nack({103, 105, 99, 103}, now, k_rtt);
    ASSERT_EQ(f.wire.size(), 2u);
    EXPECT_EQ(f.wire[0], sent[3]);
    EXPECT_EQ(f.wire[1], sent[5]);
    const loss_recovery_sender_counts c = f.sender.counts();
    EXPECT_EQ(c.nacks_received, 1u);
    EXPECT_EQ(c.packets_requested, 4u);
    EXPECT_EQ(c.retransmissions_sent, 2u);
    EXPECT_EQ(c.retransmissions_unknown, 1u);
    EXPECT_EQ(c.retransmissions_too_soon, 1u) << "103 twice in one NACK";
    f.sender.on_nack({103}, now + k_rtt, k_rtt);
    EXPECT_EQ(f.wire.size(), 3u) << "a round trip later it goes again";
}

TEST(LossRecoverySender, AnswersWithRtxOnItsOwnSsrcAndSequence) {
    sender_fixture f(generous(97));
    std::vector<bytes> sent;
    for (uint16_t s = 0; s < 4; ++s) {
        sent.push_back(f.send(s, 100));
    }
    f.sender.on_nack({1, 2}, loss_recovery_now_us(), k_rtt);
    ASSERT_EQ(f.wire.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const bytes &rtx = f.wire[i];
        EXPECT_EQ(rtx[1] & 0x7F, 97);
        EXPECT_EQ(read_be32(rtx.data() + 8), 0xBEEFu);
        EXPECT_EQ(read_be16(rtx.data() + 2), static_cast<uint16_t>(65535 + i)) << "wraps";
        bytes original(rtx.size());
        const size_t n =
            rtx_decode(rtx.data(), rtx.size(), 96, 0xCAFE, original.data(), original.size());
        original.resize(n);
        EXPECT_EQ(original, sent[1 + i]);
    }
}

// With SRTP: resent on the original SSRC, the packet goes again exactly as
// SRTP's handler left it (kept after it, never protected twice); as RTX it is
// built from the plain packet kept before SRTP, its tag slot left out, and
// handed to the chain that protects it under the RTX SSRC.
TEST(LossRecoverySender, SrtpStreamsKeepTheBytesEachModeNeeds) {
    for (int rtx_pt : {-1, 97}) {
        SCOPED_TRACE(rtx_pt);
        loss_recovery_sender::config c = generous(rtx_pt);
        c.srtp = true;
        c.tag_slot = 10;
        std::vector<bytes> raw;
        std::vector<bytes> protected_rtx;
        loss_recovery_sender sender(
            c,
            [&raw](uint8_t *data, size_t size) {
                raw.emplace_back(data, data + size);
                return RTP_SUCCESS;
            },
            [&protected_rtx](buffer_vector &pieces) {
                EXPECT_EQ(pieces.size(), 3u);
                EXPECT_EQ(pieces.back().first, 10u) << "a tag slot for SRTP to fill";
                bytes b;
                for (size_t i = 0; i + 1 < pieces.size(); ++i) {
                    b.insert(b.end(), pieces[i].second, pieces[i].second + pieces[i].first);
                }
                protected_rtx.push_back(b);
                return RTP_SUCCESS;
            });
        bytes plain = test::rtp_packet(0xCAFE, 7, bytes(100, 0x11));
        bytes tag(10, 0xEE);
        buffer_vector before = {
            {12, plain.data()}, {plain.size() - 12, plain.data() + 12}, {tag.size(), tag.data()}};
        ASSERT_EQ(loss_recovery_sender::store_handler(&sender, before), RTP_SUCCESS);
        // SRTP's handler encrypted the payload and wrote the tag.
        bytes cipher = plain;
        std::fill(cipher.begin() + 12, cipher.end(), 0x77);
        bytes written_tag(10, 0x99);
        buffer_vector after = {{12, cipher.data()},
                               {cipher.size() - 12, cipher.data() + 12},
                               {written_tag.size(), written_tag.data()}};
        ASSERT_EQ(loss_recovery_sender::store_protected_handler(&sender, after), RTP_SUCCESS);
        sender.on_nack({7}, loss_recovery_now_us(), k_rtt);
        if (rtx_pt < 0) {
            ASSERT_EQ(raw.size(), 1u);
            bytes expected = cipher;
            expected.insert(expected.end(), written_tag.begin(), written_tag.end());
            EXPECT_EQ(raw[0], expected);
            EXPECT_TRUE(protected_rtx.empty());
        } else {
            EXPECT_TRUE(raw.empty()) << "never in clear";
            ASSERT_EQ(protected_rtx.size(), 1u);
            bytes original(protected_rtx[0].size());
            original.resize(rtx_decode(protected_rtx[0].data(), protected_rtx[0].size(), 96, 0xCAFE,
                                       original.data(), original.size()));
            EXPECT_EQ(original, plain) << "the plain packet, without the tag slot";
        }
    }
}

TEST(LossRecoverySender, CapRefusesWhatTheMediaHasNotPaidFor) {
    loss_recovery_sender::config c = generous();
    c.limits.max_share_percent = 25;
    sender_fixture f(c);
    for (uint16_t s = 0; s < 8; ++s) {
        f.send(s, 1000);
    }
    f.sender.on_nack({0, 1, 2, 3, 4, 5, 6, 7}, loss_recovery_now_us(), k_rtt);
    EXPECT_EQ(f.wire.size(), 2u) << "a quarter of eight packets";
    EXPECT_EQ(f.sender.counts().retransmissions_refused, 6u);
}

TEST(LossRecoverySender, KeyFrameRequestsReachTheApplicationOncePerRoundTrip) {
    sender_fixture f(generous());
    const int64_t t = 1'000'000;
    EXPECT_TRUE(f.sender.on_key_frame_request(t, k_rtt));
    EXPECT_FALSE(f.sender.on_key_frame_request(t + 1, k_rtt));
    EXPECT_FALSE(f.sender.on_key_frame_request(t + k_rtt - 1, k_rtt));
    EXPECT_TRUE(f.sender.on_key_frame_request(t + k_rtt, k_rtt));
    EXPECT_EQ(f.sender.counts().key_frame_requests, 2u);
}

// The receiving side's timers run without packets: a gap's reordering
// allowance ends on a scheduled tick, which sends the NACK; the
// retransmission it brings back measures the round trip.
TEST(LossRecoveryReceiver, TicksSendNacksWithoutPacketsAndMeasureTheRoundTrip) {
    std::vector<std::vector<uint16_t>> nacks;
    std::vector<int64_t> ticks;
    loss_recovery_receiver::actions a;
    a.send_nack = [&nacks](uint32_t ssrc, const std::vector<uint16_t> &lost) {
        EXPECT_EQ(ssrc, 0xCAFEu);
        nacks.push_back(lost);
    };
    a.schedule_tick = [&ticks](int64_t at) { ticks.push_back(at); };
    loss_recovery_receiver r(nack_config{}, a, false);
    frame::rtp_frame f{};
    f.header.ssrc = 0xCAFE;
    const auto arrive = [&](uint16_t seq, bool rtx) {
        f.header.sequence = seq;
        return loss_recovery_receiver::observer(&r, f, rtx);
    };
    const int64_t t0 = loss_recovery_now_us();
    ASSERT_TRUE(arrive(1, false));
    ASSERT_TRUE(arrive(3, false));  // 2 is missing; no later packet will come
    EXPECT_TRUE(nacks.empty()) << "within the reordering allowance";
    ASSERT_FALSE(ticks.empty());
    EXPECT_GE(ticks.back(), t0 + 5'000);
    EXPECT_LE(ticks.back(), loss_recovery_now_us() + 10'000);
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
    const int64_t next = r.tick(loss_recovery_now_us());
    ASSERT_EQ(nacks.size(), 1u);
    EXPECT_EQ(nacks[0], std::vector<uint16_t>{2});
    EXPECT_NE(next, INT64_MAX) << "it waits for the answer";
    EXPECT_EQ(r.measured_round_trip_us(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(arrive(2, true));
    EXPECT_GE(r.measured_round_trip_us(), 19'000);
    EXPECT_LT(r.measured_round_trip_us(), 2'000'000);
    EXPECT_FALSE(arrive(2, true)) << "a duplicate";
    EXPECT_EQ(r.counts().tracker.recovered_in_time, 1u);
    EXPECT_EQ(r.tick(loss_recovery_now_us()), INT64_MAX) << "nothing left to wait for";
}

}  // namespace
}  // namespace tessal
