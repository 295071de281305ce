// Generic media end to end over real loopback sockets: two contexts (two
// peers in one process) exchange frames through the public interface.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "tessal/tessal.hh"
#include "transport/reception_flow.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::udp_port_bindable;

namespace {

constexpr RTP_FORMAT k_fmt = FMT_G726_40;  // any generic (non-video) format
constexpr size_t k_wait_ms = 10000;

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    std::mt19937 gen(seed);
    for (auto &b : v) {
        b = static_cast<uint8_t>(gen());
    }
    return v;
}

// A receiver and a sender, each in its own context, over one address family.
struct peers {
    context rx_ctx;
    context tx_ctx;
    session *rx_session = nullptr;
    session *tx_session = nullptr;
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;
    uint16_t port = 0;

    peers(const char *address, int flags, bool ipv6 = false) {
        // The port may be taken between choosing and binding it: retry.
        for (int attempt = 0; attempt < 5 && rx == nullptr; ++attempt) {
            port = free_udp_port(ipv6);
            rx_session = rx_session ? rx_session : rx_ctx.create_session(address);
            rx = rx_session->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY | flags);
        }
        tx_session = tx_ctx.create_session(address);
        tx = tx_session->create_stream(0, port, k_fmt, RCE_SEND_ONLY | flags);
    }
    ~peers() {
        rx_ctx.destroy_session(rx_session);
        tx_ctx.destroy_session(tx_session);
    }
};

void expect_frame(media_stream *rx, const std::vector<uint8_t> &sent) {
    frame::rtp_frame *f = rx->pull_frame(k_wait_ms);
    ASSERT_NE(f, nullptr) << "frame of " << sent.size() << " bytes did not arrive";
    ASSERT_EQ(f->payload_length, sent.size());
    EXPECT_EQ(std::memcmp(f->payload, sent.data(), sent.size()), 0);
    EXPECT_EQ(f->header.payload_type, k_fmt);
    frame::dealloc_frame(f);
}

class GenericEndToEnd : public testing::TestWithParam<bool> {};

TEST_P(GenericEndToEnd, FramesOfManySizesArriveByteExact) {
    const bool ipv6 = GetParam();
    if (ipv6 && !udp_port_bindable(0, true)) {
        GTEST_SKIP() << "IPv6 loopback (::1) is not available on this machine";
    }
    peers p(ipv6 ? "::1" : "127.0.0.1", RCE_FRAGMENT_GENERIC, ipv6);
    ASSERT_NE(p.rx, nullptr);
    ASSERT_NE(p.tx, nullptr);
    // Large frames need room in the receive ring while they arrive at once.
    p.rx->internal()->flow()->set_buffer_size(32 * 1024 * 1024);
    const size_t max = ipv6 ? 1432 : 1452;
    const size_t sizes[] = {1,           2,     100,     max - 1,        max, max + 1, 2 * max,
                            2 * max + 1, 65536, 1000000, 3 * 1024 * 1024};
    uint32_t seed = 1;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> data = pattern(size, seed++);
        ASSERT_EQ(
            p.tx->push_frame(const_cast<uint8_t *>(data.data()), data.size(), RTP_PUSH_DEFAULT),
            RTP_SUCCESS);
        expect_frame(p.rx, data);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, GenericEndToEnd, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &param_info) {
                             return param_info.param ? std::string("IPv6") : std::string("IPv4");
                         });

TEST(GenericEndToEnd, PushVariantsAndTimestamps) {
    peers p("127.0.0.1", 0);
    ASSERT_NE(p.rx, nullptr);
    ASSERT_NE(p.tx, nullptr);
    std::vector<uint8_t> data = pattern(500, 7);

    // Copying leaves the caller's buffer alone; the wire frame is the same.
    std::vector<uint8_t> copy = data;
    ASSERT_EQ(p.tx->push_frame(copy.data(), copy.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    EXPECT_EQ(copy, data);
    expect_frame(p.rx, data);

    // Owned buffers, with an explicit timestamp that the next push does not keep.
    std::unique_ptr<uint8_t[]> owned(new uint8_t[data.size()]);
    std::memcpy(owned.get(), data.data(), data.size());
    ASSERT_EQ(p.tx->push_frame(std::move(owned), data.size(), 1000u, RTP_PUSH_DEFAULT),
              RTP_SUCCESS);
    frame::rtp_frame *f = p.rx->pull_frame(k_wait_ms);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.timestamp, 1000u);
    frame::dealloc_frame(f);
    ASSERT_EQ(p.tx->push_frame(data.data(), data.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    f = p.rx->pull_frame(k_wait_ms);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(f->header.timestamp, 1000u);
    EXPECT_EQ(f->header.ssrc, p.tx->get_ssrc());
    frame::dealloc_frame(f);

    // Errors a caller can make.
    EXPECT_EQ(p.tx->push_frame(nullptr, 10, RTP_PUSH_DEFAULT), RTP_BAD_ARGUMENT);
    EXPECT_EQ(p.tx->push_frame(data.data(), 0, RTP_PUSH_DEFAULT), RTP_BAD_ARGUMENT);
    test::stderr_capture cap;
    EXPECT_EQ(p.rx->push_frame(data.data(), data.size(), RTP_PUSH_DEFAULT), RTP_FAILED);
    EXPECT_NE(cap.stop().find("Stream is designated as RECEIVE ONLY"), std::string::npos);
    EXPECT_EQ(p.rx->install_receive_hook(nullptr, nullptr), RTP_BAD_ARGUMENT);

    // An idle stream's timed pull gives up.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p.rx->pull_frame(100), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

struct hook_sink {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> frames;
};

void sink_hook(void *arg, frame::rtp_frame *f) {
    auto *sink = static_cast<hook_sink *>(arg);
    {
        std::lock_guard<std::mutex> g(sink->lock);
        sink->frames.emplace_back(f->payload, f->payload + f->payload_length);
    }
    sink->cv.notify_all();
    frame::dealloc_frame(f);
}

TEST(GenericEndToEnd, ReceiveHookGetsEveryFrame) {
    hook_sink sink;  // outlives the streams, whose thread calls into it
    peers p("127.0.0.1", RCE_FRAGMENT_GENERIC);
    ASSERT_NE(p.rx, nullptr);
    ASSERT_EQ(p.rx->install_receive_hook(&sink, sink_hook), RTP_SUCCESS);
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t i = 0; i < 20; ++i) {
        sent.push_back(pattern(100 + i * 700, i));
        ASSERT_EQ(p.tx->push_frame(sent.back().data(), sent.back().size(), RTP_PUSH_DEFAULT),
                  RTP_SUCCESS);
    }
    std::unique_lock<std::mutex> g(sink.lock);
    ASSERT_TRUE(sink.cv.wait_for(g, std::chrono::milliseconds(k_wait_ms),
                                 [&] { return sink.frames.size() == sent.size(); }));
    EXPECT_EQ(sink.frames, sent);
}

// Frames of 1 to 8 MiB pushed back to back with batched, segmented sends
// arrive complete with the default receive ring: what the ring cannot take
// at once waits in the socket's buffer. The receiver used to take the
// datagrams off and drop them while its ring was full, and lost most of
// these frames although the kernel dropped nothing.
TEST(GenericEndToEnd, LargeFramesBackToBackArriveCompleteWithTheDefaultRing) {
    hook_sink sink;
    peers p("127.0.0.1", RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED);
    ASSERT_NE(p.rx, nullptr);
    ASSERT_NE(p.tx, nullptr);
    ASSERT_EQ(p.rx->install_receive_hook(&sink, sink_hook), RTP_SUCCESS);
    // A one-packet frame first: a fragmented frame is delivered once the
    // receiver saw the end of the frame before it.
    std::vector<std::vector<uint8_t>> sent = {pattern(100, 99)};
    ASSERT_EQ(p.tx->push_frame(sent.back().data(), sent.back().size(), RTP_PUSH_DEFAULT),
              RTP_SUCCESS);
    for (size_t mib : {1, 8, 2, 4}) {
        sent.push_back(pattern(mib * 1024 * 1024 + mib, static_cast<uint32_t>(mib)));
        ASSERT_EQ(p.tx->push_frame(sent.back().data(), sent.back().size(), RTP_PUSH_DEFAULT),
                  RTP_SUCCESS);
    }
    {
        std::unique_lock<std::mutex> g(sink.lock);
        ASSERT_TRUE(sink.cv.wait_for(g, std::chrono::milliseconds(3 * k_wait_ms),
                                     [&] { return sink.frames.size() == sent.size(); }))
            << sink.frames.size() << " of " << sent.size() << " frames";
        EXPECT_TRUE(sink.frames == sent);
    }
    stream_statistics st;
    ASSERT_EQ(p.rx->get_statistics(&st), RTP_SUCCESS);
    EXPECT_EQ(st.frames_delivered, sent.size());
    EXPECT_EQ(st.dropped_ring_full, 0u);
    EXPECT_EQ(st.frames_discarded_incomplete, 0u);
}

TEST(GenericEndToEnd, TwoStreamsShareOnePortByPeerSsrc) {
    context rx_ctx;
    context tx_ctx;
    session *rx_session = rx_ctx.create_session("127.0.0.1");
    session *tx_session = tx_ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *rx_a = rx_session->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *rx_b = rx_session->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *tx_a = tx_session->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    media_stream *tx_b = tx_session->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    ASSERT_TRUE(rx_a && rx_b && tx_a && tx_b);
    EXPECT_EQ(rx_a->internal()->flow(), rx_b->internal()->flow()) << "one socket, one flow";
    rx_a->internal()->set_remote_ssrc(tx_a->get_ssrc());
    rx_b->internal()->set_remote_ssrc(tx_b->get_ssrc());

    std::vector<uint8_t> a = pattern(300, 1);
    std::vector<uint8_t> b = pattern(400, 2);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(tx_a->push_frame(a.data(), a.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        ASSERT_EQ(tx_b->push_frame(b.data(), b.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    }
    for (int round = 0; round < 5; ++round) {
        expect_frame(rx_b, b);  // b first: a's frames are queued ahead of it
        expect_frame(rx_a, a);
    }

    // Destroying the first stream leaves the second working.
    ASSERT_EQ(rx_session->destroy_stream(rx_a), RTP_SUCCESS);
    EXPECT_EQ(rx_session->destroy_stream(rx_a), RTP_NO_SUCH_ITEM);
    ASSERT_EQ(tx_b->push_frame(b.data(), b.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
    expect_frame(rx_b, b);
    EXPECT_FALSE(udp_port_bindable(port));

    // Destroying the last releases the port.
    ASSERT_EQ(rx_session->destroy_stream(rx_b), RTP_SUCCESS);
    EXPECT_TRUE(udp_port_bindable(port));
    rx_ctx.destroy_session(rx_session);
    tx_ctx.destroy_session(tx_session);
}

TEST(GenericEndToEnd, SendOnlyNeverBindsAndUnknownFormatFails) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *tx = s->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(tx, nullptr);
    EXPECT_TRUE(udp_port_bindable(port));

    test::stderr_capture cap;
    EXPECT_EQ(s->create_stream(free_udp_port(), 0, static_cast<RTP_FORMAT>(77), RCE_RECEIVE_ONLY),
              nullptr);
    const std::string out = cap.stop();
    EXPECT_NE(out.find("Unknown payload format 77\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Failed to initialize media stream 127.0.0.1:"), std::string::npos) << out;
    ctx.destroy_session(s);
}

}  // namespace

namespace {

TEST(GenericEndToEnd, KeepAliveAfterTwoIdleSecondsAndRetiredPushFlag) {
    // A raw socket stands in for the NAT-side peer.
    int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(peer, reinterpret_cast<sockaddr *>(&addr), &len);
    timeval wait{6, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *tx =
        s->create_stream(0, ntohs(addr.sin_port), k_fmt, RCE_SEND_ONLY | RCE_NAT_KEEPALIVE);
    ASSERT_NE(tx, nullptr);

    // A push with the retired flag warns and still sends.
    uint8_t frame[3] = {1, 2, 3};
    test::stderr_capture cap;
    ASSERT_EQ(tx->push_frame(frame, sizeof(frame), RTP_PUSH_RETIRED), RTP_SUCCESS);
    EXPECT_NE(cap.stop().find("Detected an obsolete RTP flag, consider updating your flags"),
              std::string::npos);
    uint8_t buf[64];
    const auto pushed_at = std::chrono::steady_clock::now();
    ASSERT_EQ(::recv(peer, buf, sizeof(buf), 0), 12 + 3);

    // Then nothing for about two seconds, then the one-byte keep-alive.
    const ssize_t got = ::recv(peer, buf, sizeof(buf), 0);
    const auto idle = std::chrono::steady_clock::now() - pushed_at;
    ASSERT_EQ(got, 1);
    EXPECT_EQ(buf[0], 0xC0);
    EXPECT_GE(idle, std::chrono::milliseconds(1800));
    ctx.destroy_session(s);
    ::close(peer);
}

}  // namespace
