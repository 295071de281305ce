// Configuration keys: every key's range, result and read-back before and
// after start, and their effects on what goes on the wire.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rtcp/rtcp_internal.hh"
#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.h"
#include "tessal/tessal.hh"
#include "transport/socket.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;
using tessal::test::udp_port_bindable;

namespace {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;
constexpr RTP_FORMAT k_fmt = FMT_G726_40;  // a generic format, dynamic payload type

struct Case {
    const char *name;
    int key;
    ssize_t value;
    RTP_ERROR result;
    int read_back;    // after the call; k_unchanged: not checked
    const char *log;  // a fragment of the expected log, or null for none
};
constexpr int k_unchanged = INT32_MIN;

// One send-and-receive stream on 127.0.0.1, started.
struct started_stream {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *m = nullptr;
    explicit started_stream(int flags = 0, const char *address = "127.0.0.1") {
        if (std::string(address) != "127.0.0.1") {
            ctx.destroy_session(s);
            s = ctx.create_session(address);
        }
        for (int attempt = 0; attempt < 5 && m == nullptr; ++attempt) {
            m = s->create_stream(free_udp_port(std::string(address) == "::1"), 5004, k_fmt, flags);
        }
    }
    ~started_stream() { ctx.destroy_session(s); }
};

TEST(Configuration, EveryKeyRangeResultAndReadBack) {
    const Case cases[] = {
        {"recv buffer 0", RCC_SOCKET_RECV_BUFFER, 0, RTP_BAD_ARGUMENT, -1, nullptr},
        {"recv buffer", RCC_SOCKET_RECV_BUFFER, 65536, RTP_SUCCESS, 65536, nullptr},
        {"send buffer negative", RCC_SOCKET_SEND_BUFFER, -1, RTP_BAD_ARGUMENT, -1, nullptr},
        {"send buffer", RCC_SOCKET_SEND_BUFFER, 131072, RTP_SUCCESS, 131072, nullptr},
        {"ring 0", RCC_RECEIVE_RING_BYTES, 0, RTP_BAD_ARGUMENT, 4 * 1024 * 1024, nullptr},
        {"ring below one slot", RCC_RECEIVE_RING_BYTES, 100, RTP_BAD_ARGUMENT, 4 * 1024 * 1024,
         nullptr},
        {"ring above 1 GiB", RCC_RECEIVE_RING_BYTES, ssize_t{1} << 31, RTP_BAD_ARGUMENT,
         4 * 1024 * 1024, nullptr},
        {"ring", RCC_RECEIVE_RING_BYTES, 1 << 20, RTP_SUCCESS, 1 << 20, nullptr},
        {"delay 0", RCC_PACKET_DELAY_LIMIT, 0, RTP_BAD_ARGUMENT, 500, nullptr},
        {"delay", RCC_PACKET_DELAY_LIMIT, 120, RTP_SUCCESS, 120, nullptr},
        {"pt 0", RCC_DYNAMIC_PT, 0, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"pt 256", RCC_DYNAMIC_PT, 256, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"pt 96", RCC_DYNAMIC_PT, 96, RTP_SUCCESS, 96, nullptr},
        {"pt 255", RCC_DYNAMIC_PT, 255, RTP_SUCCESS, 255, nullptr},
        {"clock 0", RCC_RTP_CLOCK_RATE, 0, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"clock 2^32", RCC_RTP_CLOCK_RATE, 0x100000000LL, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"clock", RCC_RTP_CLOCK_RATE, 48000, RTP_SUCCESS, 48000, nullptr},
        {"mtu at the overhead", RCC_PATH_MTU, 40, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"mtu 70000", RCC_PATH_MTU, 70000, RTP_BAD_ARGUMENT, k_unchanged,
         "[::configure_ctx] Payload size (70000) is larger than maximum UDP datagram size (65535)"},
        // Regression: an MTU just above the overhead left no room for
        // fragment headers.
        {"mtu leaving 63 payload bytes", RCC_PATH_MTU, 103, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"mtu leaving 64 payload bytes", RCC_PATH_MTU, 104, RTP_SUCCESS, 64, nullptr},
        {"mtu 1500", RCC_PATH_MTU, 1500, RTP_SUCCESS, 1460, nullptr},
        {"mtu 65535", RCC_PATH_MTU, 65535, RTP_SUCCESS, 65495, nullptr},
        {"fps numerator negative", RCC_FRAME_RATE_NUM, -5, RTP_SUCCESS, -5, nullptr},
        {"fps denominator 0", RCC_FRAME_RATE_DEN, 0, RTP_SUCCESS, 0, nullptr},
        {"local ssrc 0", RCC_LOCAL_SSRC, 0, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"local ssrc 2^32", RCC_LOCAL_SSRC, 0x100000000LL, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"local ssrc", RCC_LOCAL_SSRC, 0x1234, RTP_SUCCESS, 0x1234, nullptr},
        {"peer ssrc 0", RCC_PEER_SSRC, 0, RTP_BAD_ARGUMENT, k_unchanged, nullptr},
        {"peer ssrc", RCC_PEER_SSRC, 42, RTP_SUCCESS, 42, nullptr},
        {"bandwidth 0", RCC_SESSION_BANDWIDTH, 0, RTP_BAD_ARGUMENT, 0,
         "[::configure_ctx] Bandwidth cannot be negative"},
        {"bandwidth 2^32 would wrap", RCC_SESSION_BANDWIDTH, 0x100000000LL, RTP_BAD_ARGUMENT, 0,
         nullptr},
        {"poll negative", RCC_RECV_POLL_MS, -5, RTP_SUCCESS, 1, nullptr},
        {"poll", RCC_RECV_POLL_MS, 50, RTP_SUCCESS, 50, nullptr},
        {"key 14", 14, 1, RTP_BAD_ARGUMENT, -1, nullptr},
        {"key 0", 0, 1, RTP_BAD_ARGUMENT, -1, nullptr},
        {"T_rr_interval", RCC_RTCP_TRR_INTERVAL, 100, RTP_SUCCESS, 100, nullptr},
        {"T_rr_interval negative", RCC_RTCP_TRR_INTERVAL, -1, RTP_BAD_ARGUMENT, 100, nullptr},
        // The loss-recovery keys need RCE_RTCP_FEEDBACK.
        {"RTX without feedback", RCC_RTX_PAYLOAD_TYPE, 97, RTP_FAILED, -1, nullptr},
        {"store without feedback", RCC_RETRANSMIT_STORE_MS, 100, RTP_FAILED, RTP_FAILED, nullptr},
        {"key 26", 26, 1, RTP_BAD_ARGUMENT, -1, nullptr},
        {"H.266 aggregation on a generic stream", RCC_H266_RFC9328_AGGREGATION, 1, RTP_BAD_ARGUMENT,
         -1, nullptr},
        {"key -1", -1, 1, RTP_BAD_ARGUMENT, -1, nullptr},
        {"ttl 0", RCC_MCAST_TTL, 0, RTP_BAD_ARGUMENT, -1, nullptr},
        {"ttl 256", RCC_MCAST_TTL, 256, RTP_BAD_ARGUMENT, -1, nullptr},
        {"ttl", RCC_MCAST_TTL, 7, RTP_SUCCESS, 7, nullptr},
        {"pacing numerator", RCC_PACING_NUM, -3, RTP_SUCCESS, -3, nullptr},
        {"pacing denominator", RCC_PACING_DEN, 0, RTP_SUCCESS, 0, nullptr},
    };
    started_stream st;
    ASSERT_NE(st.m, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        EXPECT_EQ(st.m->configure_ctx(c.key, c.value), c.result);
        if (c.read_back != k_unchanged) {
            EXPECT_EQ(st.m->get_configuration_value(c.key), c.read_back);
        }
        const std::string out = cap.stop();
        if (c.log != nullptr) {
            EXPECT_NE(out.find(c.log), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
    }
}

// The session bandwidth reaches the stream's RTCP, which starts from the
// format's default (an H.265 stream: 3000 kbit/s).
TEST(Configuration, SessionBandwidthReachesRtcp) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *m = nullptr;
    for (int attempt = 0; attempt < 5 && m == nullptr; ++attempt) {
        m = s->create_stream(free_udp_port(), 5004, FMT_H265, RCE_WITH_RTCP);
    }
    ASSERT_NE(m, nullptr);
    ASSERT_NE(m->get_rtcp(), nullptr);
    EXPECT_EQ(m->get_rtcp()->internal()->get_session_bandwidth(), 3000u);
    stderr_capture cap;
    EXPECT_EQ(m->configure_ctx(RCC_SESSION_BANDWIDTH, 1000), RTP_SUCCESS);
    // Only this warning counts: the RTCP thread's start-up line may fall
    // into the capture on a loaded machine.
    const std::string out = cap.stop();
    EXPECT_EQ(out.find("RTCP not found"), std::string::npos) << out;
    EXPECT_EQ(m->get_configuration_value(RCC_SESSION_BANDWIDTH), 1000);
    EXPECT_EQ(m->get_rtcp()->internal()->get_session_bandwidth(), 1000u);
    ctx.destroy_session(s);
}

TEST(Configuration, MtuOverheadByFamilyAndTag) {
    struct MtuCase {
        const char *name;
        const char *address;
        int flags;
        int payload;
    } cases[] = {
        {"IPv4", "127.0.0.1", 0, 1460},
        {"IPv4 with tag", "127.0.0.1", RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_AUTH_TAG,
         1450},
        // Regression: IPv6 streams used the IPv4 overhead and sent 20 bytes
        // more than the MTU.
        {"IPv6", "::1", 0, 1440},
        {"IPv6 with tag", "::1", RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_AUTH_TAG, 1430},
    };
    const bytes key(16, 1);
    const bytes salt(14, 2);
    for (const MtuCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.address) == "::1" && !udp_port_bindable(0, true)) {
            continue;  // no IPv6 here
        }
        started_stream st(c.flags, c.address);
        ASSERT_NE(st.m, nullptr);
        if (c.flags & RCE_SRTP) {
            ASSERT_EQ(st.m->add_srtp_ctx(const_cast<uint8_t *>(key.data()),
                                         const_cast<uint8_t *>(salt.data())),
                      RTP_SUCCESS);
        }
        EXPECT_EQ(st.m->configure_ctx(RCC_PATH_MTU, 1500), RTP_SUCCESS);
        EXPECT_EQ(st.m->get_configuration_value(RCC_PATH_MTU), c.payload);
    }
}

TEST(Configuration, NotStartedAndReleasedStreamsAnswerUninitialised) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    // User keys not given yet: created, not started.
    media_stream *waiting =
        s->create_stream(0, 5004, k_fmt, RCE_SEND_ONLY | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER);
    // Regression: a stream released by a failed key call dereferenced its
    // released components.
    media_stream *released = s->create_stream(0, 5006, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(waiting, nullptr);
    ASSERT_NE(released, nullptr);
    const bytes key(16, 1);
    EXPECT_EQ(released->add_srtp_ctx(const_cast<uint8_t *>(key.data()),
                                     const_cast<uint8_t *>(key.data())),
              RTP_UNSUPPORTED);
    for (media_stream *m : {waiting, released}) {
        // Every key, known or not, waits for the start; only the two SSRCs
        // answer before it.
        for (int k = -1; k <= 26; ++k) {
            SCOPED_TRACE(k);
            stderr_capture quiet;
            EXPECT_EQ(m->configure_ctx(k, 1), RTP_UNINITIALIZED);
            if (k != RCC_LOCAL_SSRC && k != RCC_PEER_SSRC) {
                EXPECT_EQ(m->get_configuration_value(k), RTP_UNINITIALIZED);
            }
            quiet.stop();
        }
        stderr_capture cap;
        EXPECT_EQ(m->configure_ctx(RCC_DYNAMIC_PT, 100), RTP_UNINITIALIZED);
        EXPECT_EQ(m->get_configuration_value(RCC_SOCKET_RECV_BUFFER), RTP_UNINITIALIZED);
        EXPECT_NE(m->get_configuration_value(RCC_LOCAL_SSRC), RTP_UNINITIALIZED);
        EXPECT_NE(m->get_configuration_value(RCC_PEER_SSRC), RTP_UNINITIALIZED);
        const std::string out = cap.stop();
        EXPECT_NE(out.find("[::configure_ctx] RTP context has not been initialized fully, cannot "
                           "continue!"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("[::get_configuration_value] RTP context has not been initialized"),
                  std::string::npos)
            << out;
    }
    ctx.destroy_session(s);
}

TEST(Configuration, FrameRateWarnsAboutSystemCallClustering) {
    started_stream st(RCE_SCC_ENABLED);
    ASSERT_NE(st.m, nullptr);
    stderr_capture cap;
    EXPECT_EQ(st.m->configure_ctx(RCC_FRAME_RATE_NUM, 25), RTP_SUCCESS);
    EXPECT_EQ(st.m->configure_ctx(RCC_FRAME_RATE_DEN, 1), RTP_SUCCESS);
    EXPECT_EQ(st.m->configure_ctx(RCC_FRAME_RATE_DEN, -1), RTP_SUCCESS);  // no warning
    const std::string out = cap.stop();
    EXPECT_NE(out.find("Setting FPS numerator will disable System Call Clustering (SCC)"),
              std::string::npos);
    EXPECT_NE(out.find("Setting FPS denominator will disable System Call Clustering (SCC)"),
              std::string::npos);
    EXPECT_EQ(out.find("denominator", out.find("denominator") + 1), std::string::npos);
}

// --- on the wire ----------------------------------------------------------------

// A sender toward a capture socket.
struct wire_fixture {
    udp_capture wire;
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *tx;
    explicit wire_fixture(int flags = 0, RTP_FORMAT fmt = k_fmt)
        : tx(s->create_stream(0, wire.port(), fmt, RCE_SEND_ONLY | flags)) {}
    ~wire_fixture() { ctx.destroy_session(s); }
    void push(size_t size, uint8_t fill = 0x33) {
        bytes frame(size, fill);
        ASSERT_EQ(tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    }
};

uint32_t be32(const bytes &p, size_t at) {
    return uint32_t{p[at]} << 24 | uint32_t{p[at + 1]} << 16 | uint32_t{p[at + 2]} << 8 | p[at + 3];
}

TEST(ConfigurationOnTheWire, PayloadTypeSsrcAndClockRate) {
    wire_fixture f;
    ASSERT_NE(f.tx, nullptr);
    ASSERT_EQ(f.tx->configure_ctx(RCC_DYNAMIC_PT, 111), RTP_SUCCESS);
    ASSERT_EQ(f.tx->configure_ctx(RCC_LOCAL_SSRC, 0xABCDEF01), RTP_SUCCESS);
    ASSERT_EQ(f.tx->configure_ctx(RCC_RTP_CLOCK_RATE, 1000), RTP_SUCCESS);
    f.push(100);
    const bytes first = f.wire.receive();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    f.push(100);
    const bytes second = f.wire.receive();
    ASSERT_GE(first.size(), 12u);
    ASSERT_GE(second.size(), 12u);
    EXPECT_EQ(first[1] & 0x7F, 111);
    EXPECT_EQ(be32(first, 8), 0xABCDEF01u);
    // 200 ms at 1 kHz: about 200 ticks (generous bounds for a loaded machine).
    const uint32_t ticks = be32(second, 4) - be32(first, 4);
    EXPECT_GE(ticks, 150u);
    EXPECT_LE(ticks, 2000u);
}

TEST(ConfigurationOnTheWire, PathMtuBoundsTheDatagrams) {
    wire_fixture f(RCE_FRAGMENT_GENERIC);
    ASSERT_NE(f.tx, nullptr);
    ASSERT_EQ(f.tx->configure_ctx(RCC_PATH_MTU, 600), RTP_SUCCESS);
    f.push(3000);
    size_t total = 0;
    size_t largest = 0;
    while (total < 3000) {
        const bytes d = f.wire.receive();
        ASSERT_FALSE(d.empty()) << "after " << total << " bytes";
        total += d.size() - 12;
        largest = std::max(largest, d.size());
    }
    EXPECT_EQ(largest, 600u - 28u) << "IP and UDP headers make the rest of the MTU";
}

// Pushes are synchronous, so pacing shows in how long they take.
TEST(ConfigurationOnTheWire, FrameRateAndFragmentPacingSpreadTheSends) {
    // 20 frames a second. A sender catches up (sends at once) until a frame
    // comes within half an interval of its slot; the push 40 ms after the
    // first one does, and from then on back-to-back pushes wait their turn.
    {
        wire_fixture f(RCE_PACE_FRAMES);
        ASSERT_NE(f.tx, nullptr);
        ASSERT_EQ(f.tx->configure_ctx(RCC_FRAME_RATE_NUM, 20), RTP_SUCCESS);
        ASSERT_EQ(f.tx->configure_ctx(RCC_FRAME_RATE_DEN, 1), RTP_SUCCESS);
        f.push(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        f.push(100);
        const auto start = steady::now();
        for (int i = 0; i < 4; ++i) {
            f.push(100);
        }
        const auto took = steady::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(150)) << "four frames at 50 ms each";
        EXPECT_LE(took, std::chrono::seconds(5));
    }
    // 10 frames a second, fragments spread over half an interval: the ten
    // packets of one frame leave 5 ms apart.
    {
        wire_fixture f(RCE_FRAGMENT_GENERIC | RCE_PACE_FRAGMENTS);
        ASSERT_NE(f.tx, nullptr);
        ASSERT_EQ(f.tx->configure_ctx(RCC_FRAME_RATE_NUM, 10), RTP_SUCCESS);
        ASSERT_EQ(f.tx->configure_ctx(RCC_FRAME_RATE_DEN, 1), RTP_SUCCESS);
        ASSERT_EQ(f.tx->configure_ctx(RCC_PACING_NUM, 1), RTP_SUCCESS);
        ASSERT_EQ(f.tx->configure_ctx(RCC_PACING_DEN, 2), RTP_SUCCESS);
        const size_t payload = static_cast<size_t>(f.tx->get_configuration_value(RCC_PATH_MTU));
        const auto start = steady::now();
        f.push(10 * payload);
        const auto took = steady::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(40)) << "nine gaps of 5 ms";
        EXPECT_LE(took, std::chrono::seconds(5));
        size_t datagrams = 0;
        while (!f.wire.receive().empty() && ++datagrams < 10) {
        }
        EXPECT_EQ(datagrams, 10u);
    }
}

TEST(ConfigurationOnTheWire, MulticastTtlReachesTheSocket) {
    wire_fixture f;
    ASSERT_NE(f.tx, nullptr);
    ASSERT_EQ(f.tx->configure_ctx(RCC_MCAST_TTL, 7), RTP_SUCCESS);
    int ttl = 0;
    socklen_t len = sizeof(ttl);
    ASSERT_EQ(::getsockopt(f.tx->internal()->socket_ptr()->get_raw_socket(), IPPROTO_IP,
                           IP_MULTICAST_TTL, &ttl, &len),
              0);
    EXPECT_EQ(ttl, 7);
}

// Two streams share a port; RCC_PEER_SSRC sends each sender's frames to its
// own stream.
TEST(ConfigurationOnTheWire, PeerSsrcRoutesStreamsSharingAPort) {
    context rx_ctx;
    context tx_ctx;
    session *rx = rx_ctx.create_session("127.0.0.1");
    session *tx = tx_ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *a = rx->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *b = rx->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *to_a = tx->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    media_stream *to_b = tx->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    ASSERT_TRUE(a && b && to_a && to_b);
    ASSERT_EQ(to_a->configure_ctx(RCC_LOCAL_SSRC, 1111), RTP_SUCCESS);
    ASSERT_EQ(to_b->configure_ctx(RCC_LOCAL_SSRC, 2222), RTP_SUCCESS);
    ASSERT_EQ(a->configure_ctx(RCC_PEER_SSRC, 1111), RTP_SUCCESS);
    ASSERT_EQ(b->configure_ctx(RCC_PEER_SSRC, 2222), RTP_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        bytes fa(50, 0xA0);
        bytes fb(60, 0xB0);
        ASSERT_EQ(to_b->push_frame(fb.data(), fb.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        ASSERT_EQ(to_a->push_frame(fa.data(), fa.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        frame::rtp_frame *got_a = a->pull_frame(5000);
        frame::rtp_frame *got_b = b->pull_frame(5000);
        ASSERT_NE(got_a, nullptr);
        ASSERT_NE(got_b, nullptr);
        EXPECT_EQ(got_a->header.ssrc, 1111u);
        EXPECT_EQ(got_a->payload_length, 50u);
        EXPECT_EQ(got_b->header.ssrc, 2222u);
        EXPECT_EQ(got_b->payload_length, 60u);
        frame::dealloc_frame(got_a);
        frame::dealloc_frame(got_b);
    }
    tx_ctx.destroy_session(tx);
    rx_ctx.destroy_session(rx);
}

// Streams made through the C interface are H.265 (payload type 107) until
// reconfigured through the object interface.
TEST(ConfigurationOnTheWire, CInterfaceStreamTakesKeysThroughTheObjectInterface) {
    udp_capture wire;
    tessal_context *ctx = nullptr;
    testing::internal::CaptureStdout();  // the C interface prints its objects
    tessal_create_ctx(&ctx);
    tessal_session *s = nullptr;
    tessal_create_session(ctx, &s, "127.0.0.1");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(s, nullptr);
    tessal_stream *stream = nullptr;
    tessal_create_stream(s, &stream, 0, wire.port(), RCE_SEND_ONLY);
    ASSERT_NE(stream, nullptr);
    uint8_t slice[] = {0, 0, 0, 1, 0x02, 0x01, 0xAA, 0xBB};
    ASSERT_EQ(tessal_push_frame(stream, slice, sizeof(slice), 0), RTP_SUCCESS);
    bytes packet = wire.receive();
    ASSERT_GE(packet.size(), 12u);
    EXPECT_EQ(packet[1] & 0x7F, 107);
    ASSERT_EQ(stream->configure_ctx(RCC_DYNAMIC_PT, 100), RTP_SUCCESS);
    ASSERT_EQ(tessal_push_frame(stream, slice, sizeof(slice), 0), RTP_SUCCESS);
    packet = wire.receive();
    ASSERT_GE(packet.size(), 12u);
    EXPECT_EQ(packet[1] & 0x7F, 100);
    EXPECT_EQ(tessal_destroy_stream(s, stream), RTP_SUCCESS);
    tessal_destroy_session(ctx, s);
    tessal_destroy_ctx(ctx);
}

// Regression: a small MTU on the receiving side shrank the receive slots and
// cut every larger datagram the peer sent.
TEST(ConfigurationOnTheWire, SmallPathMtuNeverCutsWhatThePeerSends) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *rx = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *tx = s->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(rx, nullptr);
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(rx->configure_ctx(RCC_PATH_MTU, 576), RTP_SUCCESS);
    bytes frame(1400, 0x77);
    ASSERT_EQ(tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    frame::rtp_frame *got = rx->pull_frame(5000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->payload_length, frame.size());
    frame::dealloc_frame(got);
    ctx.destroy_session(s);
}

// H.266 aggregation packets: this library's 0x38 0x01 header by default,
// the RFC 9328 form (type 28 in the second byte) once asked for.
TEST(ConfigurationOnTheWire, H266AggregationFormFollowsTheKey) {
    wire_fixture f(0, FMT_H266);
    ASSERT_NE(f.tx, nullptr);
    // Two small slices (TRAIL, type 0; layer 0, TID 1): one aggregation packet.
    bytes au = {0, 0, 0, 1, 0x00, 0x01, 0x11, 0x22, 0, 0, 0, 1, 0x00, 0x01, 0x33, 0x44};
    struct Step {
        ssize_t value;
        uint8_t byte0;
        uint8_t byte1;
    } steps[] = {{-1, 0x38, 0x01}, {1, 0x00, 28 << 3 | 1}, {0, 0x38, 0x01}};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.value);
        if (step.value >= 0) {
            ASSERT_EQ(f.tx->configure_ctx(RCC_H266_RFC9328_AGGREGATION, step.value), RTP_SUCCESS);
            EXPECT_EQ(f.tx->get_configuration_value(RCC_H266_RFC9328_AGGREGATION), step.value);
        } else {
            EXPECT_EQ(f.tx->get_configuration_value(RCC_H266_RFC9328_AGGREGATION), 0);
        }
        bytes copy = au;
        ASSERT_EQ(f.tx->push_frame(copy.data(), copy.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        const bytes packet = f.wire.receive();
        ASSERT_GE(packet.size(), 14u);
        EXPECT_EQ(packet[12], step.byte0);
        EXPECT_EQ(packet[13], step.byte1);
    }
    EXPECT_EQ(f.tx->configure_ctx(RCC_H266_RFC9328_AGGREGATION, 2), RTP_BAD_ARGUMENT);
}

// Payload size, clock rate, payload type and pacing change while another
// thread pushes (ThreadSanitizer checks the hand-over).
TEST(ConfigurationThreads, ConfigureWhilePushing) {
    wire_fixture f(RCE_FRAGMENT_GENERIC);
    ASSERT_NE(f.tx, nullptr);
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        bytes frame(4000, 0x5A);
        while (!done.load()) {
            f.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT);
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(f.tx->configure_ctx(RCC_PATH_MTU, 600 + (i % 10) * 80), RTP_SUCCESS);
        EXPECT_EQ(f.tx->configure_ctx(RCC_RTP_CLOCK_RATE, 8000 + i), RTP_SUCCESS);
        EXPECT_EQ(f.tx->configure_ctx(RCC_DYNAMIC_PT, 96 + (i % 20)), RTP_SUCCESS);
        EXPECT_EQ(f.tx->configure_ctx(RCC_PACING_NUM, i % 5), RTP_SUCCESS);
        EXPECT_EQ(f.tx->configure_ctx(RCC_LOCAL_SSRC, 1000 + i), RTP_SUCCESS);
    }
    done = true;
    pusher.join();
}

}  // namespace
