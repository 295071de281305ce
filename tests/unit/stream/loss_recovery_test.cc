// The sending side of loss recovery: packets stored as the socket's send
// handler sees them, NACKs answered with the same bytes or with RFC 4588
// retransmissions, key-frame requests passed on once per round trip.

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
}  // namespace tessal
