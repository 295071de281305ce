// Stream statistics over loopback: what a sender sent and a receiver received,
// datagrams that are not RTP, SRTP authentication and replay failures, and the
// same counters through the C interface.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/media_frames.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.h"
#include "tessal/tessal.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::random_bytes;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t k_wait_ms = 5000;
constexpr size_t k_rtp_header = 12;

// Reads the stream's counters until `done` holds or k_wait_ms pass.
template <typename Done>
stream_statistics wait_for(const media_stream *m, Done done) {
    stream_statistics s;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_wait_ms);
    for (;;) {
        EXPECT_EQ(m->get_statistics(&s), RTP_SUCCESS);
        if (done(s) || std::chrono::steady_clock::now() > deadline) {
            return s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A receiving stream on a free port of 127.0.0.1 and a sender toward it (or
// toward `send_to` when given), both in one session.
struct loopback_streams {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;
    uint16_t port = 0;

    explicit loopback_streams(int flags, uint16_t send_to = 0) {
        for (int attempt = 0; attempt < 5 && rx == nullptr; ++attempt) {
            port = free_udp_port();
            rx = s->create_stream(port, 0, FMT_PCMU, RCE_RECEIVE_ONLY | flags);
        }
        tx = s->create_stream(0, send_to != 0 ? send_to : port, FMT_PCMU, RCE_SEND_ONLY | flags);
    }
    ~loopback_streams() { ctx.destroy_session(s); }
};

TEST(StreamStatistics, CountsFramesSentAndReceived) {
    loopback_streams p(0);
    ASSERT_NE(p.rx, nullptr);
    ASSERT_NE(p.tx, nullptr);
    constexpr uint64_t k_frames = 20;
    uint64_t wire_bytes = 0;
    for (uint64_t i = 0; i < k_frames; ++i) {
        bytes frame = random_bytes(100 + i, static_cast<uint32_t>(i));
        wire_bytes += k_rtp_header + frame.size();
        ASSERT_EQ(p.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    }
    for (uint64_t i = 0; i < k_frames; ++i) {
        frame::rtp_frame *f = p.rx->pull_frame(k_wait_ms);
        ASSERT_NE(f, nullptr) << i;
        frame::dealloc_frame(f);
    }

    stream_statistics sent;
    ASSERT_EQ(p.tx->get_statistics(&sent), RTP_SUCCESS);
    EXPECT_EQ(sent.packets_sent, k_frames);
    EXPECT_EQ(sent.bytes_sent, wire_bytes);
    EXPECT_EQ(sent.send_failures, 0u);

    const stream_statistics got =
        wait_for(p.rx, [&](const stream_statistics &s) { return s.frames_delivered == k_frames; });
    EXPECT_EQ(got.datagrams_received, k_frames);
    EXPECT_EQ(got.bytes_received, wire_bytes);
    EXPECT_EQ(got.frames_delivered, k_frames);
    EXPECT_EQ(got.dropped_not_rtp, 0u);
    EXPECT_EQ(got.dropped_malformed, 0u);
    EXPECT_EQ(got.packets_sent, 0u) << "a receive-only stream sends nothing";
    EXPECT_EQ(p.rx->get_statistics(nullptr), RTP_BAD_ARGUMENT);
}

// Datagrams that are neither RTP, RTCP nor ZRTP are counted for the port and
// reach no stream; an RTP packet whose header does not fit is malformed.
TEST(StreamStatistics, JunkIsCountedAsNotRtpAndBrokenHeadersAsMalformed) {
    loopback_streams p(0);
    ASSERT_NE(p.rx, nullptr);
    udp_capture peer;
    struct Junk {
        const char *name;
        bytes datagram;
    } junk[] = {
        {"version 0, no ZRTP cookie", bytes(20, 0x00)},
        {"version 3", bytes(40, 0xFF)},
        {"shorter than an RTP header", {0x80, 0x00, 0x01}},
        {"payload type 72 (RTCP range)", {0x80, 72, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 9, 9}},
    };
    for (const Junk &j : junk) {
        SCOPED_TRACE(j.name);
        peer.send_to(p.port, j.datagram);
    }
    // Version 2 with 15 CSRCs announced and none present.
    const bytes broken = {0x8F, 0x00, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    peer.send_to(p.port, broken);
    const uint64_t junk_count = sizeof(junk) / sizeof(junk[0]);
    const stream_statistics s = wait_for(p.rx, [&](const stream_statistics &st) {
        return st.dropped_not_rtp == junk_count && st.dropped_malformed == 1;
    });
    EXPECT_EQ(s.dropped_not_rtp, junk_count);
    EXPECT_EQ(s.dropped_malformed, 1u);
    EXPECT_EQ(s.datagrams_received, 1u) << "only the broken RTP packet reached the stream";
    EXPECT_EQ(s.bytes_received, broken.size());
    EXPECT_EQ(s.frames_delivered, 0u);
}

// The library's own SRTP with a tag and anti-replay: a packet with a broken
// tag is an authentication failure, the same packet twice a replay.
TEST(StreamStatistics, SrtpAuthenticationAndReplayFailures) {
    const int flags = RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_AUTH_TAG | RCE_SRTP_ANTI_REPLAY;
    udp_capture wire;
    loopback_streams p(flags, wire.port());
    ASSERT_NE(p.rx, nullptr);
    ASSERT_NE(p.tx, nullptr);
    bytes key = random_bytes(16, 1);
    bytes salt = random_bytes(14, 2);
    ASSERT_EQ(p.rx->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
    ASSERT_EQ(p.tx->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);

    bytes frame = random_bytes(160, 3);
    ASSERT_EQ(p.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    const bytes packet = wire.receive();
    ASSERT_EQ(packet.size(), k_rtp_header + frame.size() + 10);

    stderr_capture quiet;  // the drops are logged
    bytes forged = packet;
    forged.back() ^= 0x01;  // the last byte of the tag
    wire.send_to(p.port, forged);
    stream_statistics s =
        wait_for(p.rx, [](const stream_statistics &st) { return st.auth_failures == 1; });
    EXPECT_EQ(s.auth_failures, 1u);
    EXPECT_EQ(s.replay_failures, 0u);

    wire.send_to(p.port, packet);
    frame::rtp_frame *f = p.rx->pull_frame(k_wait_ms);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(bytes(f->payload, f->payload + f->payload_length), frame);
    frame::dealloc_frame(f);

    wire.send_to(p.port, packet);
    s = wait_for(p.rx, [](const stream_statistics &st) { return st.replay_failures == 1; });
    quiet.stop();
    EXPECT_EQ(s.replay_failures, 1u);
    EXPECT_EQ(s.auth_failures, 1u);
    EXPECT_EQ(s.frames_delivered, 1u);
    EXPECT_EQ(s.datagrams_received, 3u);
    EXPECT_EQ(s.dropped_malformed, 0u);

    stream_statistics sent;
    ASSERT_EQ(p.tx->get_statistics(&sent), RTP_SUCCESS);
    EXPECT_EQ(sent.packets_sent, 1u);
    EXPECT_EQ(sent.bytes_sent, packet.size()) << "the tag is part of what was sent";
}

// The C interface: an H.265 stream made there sends to another, and both
// report through tessal_stream_get_statistics.
TEST(StreamStatistics, CInterfaceReportsTheCounters) {
    testing::internal::CaptureStdout();  // the C interface prints its objects
    tessal_context *ctx = nullptr;
    tessal_create_ctx(&ctx);
    tessal_session *s = nullptr;
    tessal_create_session(ctx, &s, "127.0.0.1");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(s, nullptr);
    tessal_stream *rx = nullptr;
    uint16_t port = 0;
    for (int attempt = 0; attempt < 5 && rx == nullptr; ++attempt) {
        port = free_udp_port();
        tessal_create_stream(s, &rx, port, 0, RCE_RECEIVE_ONLY);
    }
    ASSERT_NE(rx, nullptr);
    tessal_stream *tx = nullptr;
    tessal_create_stream(s, &tx, 0, port, RCE_SEND_ONLY);
    ASSERT_NE(tx, nullptr);

    tessal_stream_statistics out{};
    EXPECT_EQ(tessal_stream_get_statistics(nullptr, &out), RTP_BAD_ARGUMENT);
    EXPECT_EQ(tessal_stream_get_statistics(tx, nullptr), RTP_BAD_ARGUMENT);

    // One NAL unit after its start code: one 16-byte packet.
    uint8_t slice[] = {0, 0, 0, 1, 0x02, 0x01, 0xAA, 0xBB};
    ASSERT_EQ(tessal_push_frame(tx, slice, sizeof(slice), 0), RTP_SUCCESS);
    ASSERT_EQ(tessal_stream_get_statistics(tx, &out), RTP_SUCCESS);
    EXPECT_EQ(out.packets_sent, 1u);
    EXPECT_EQ(out.bytes_sent, k_rtp_header + 4);
    EXPECT_EQ(out.send_failures, 0u);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_wait_ms);
    do {
        out = tessal_stream_statistics{};
        ASSERT_EQ(tessal_stream_get_statistics(rx, &out), RTP_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (out.frames_delivered == 0 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(out.frames_delivered, 1u);
    EXPECT_EQ(out.datagrams_received, 1u);
    EXPECT_EQ(out.bytes_received, k_rtp_header + 4);

    EXPECT_EQ(tessal_destroy_stream(s, tx), RTP_SUCCESS);
    EXPECT_EQ(tessal_destroy_stream(s, rx), RTP_SUCCESS);
    tessal_destroy_session(ctx, s);
    tessal_destroy_ctx(ctx);
}

}  // namespace
