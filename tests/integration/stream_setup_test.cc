// Stream set-up and teardown over real loopback sockets: address checking
// and families per session, ports shared and given back, each stream's own
// flags on a shared port.

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"
#include "tessal/tessal.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::loopback_address;
using tessal::test::rtp_packet;
using tessal::test::stderr_capture;
using tessal::test::udp_port_bindable;

namespace {

constexpr RTP_FORMAT k_fmt = FMT_PCMU;
constexpr size_t k_wait_ms = 5000;

bool have_ipv6_loopback() {
    return udp_port_bindable(0, true);
}

// Pushes one small frame from `tx` until `rx` pulls it (loopback does not
// lose datagrams, but a bounded retry keeps the test independent of that).
bool frame_arrives(media_stream *tx, media_stream *rx) {
    uint8_t data[32];
    std::memset(data, 0x5A, sizeof(data));
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (tx->push_frame(data, sizeof(data), RTP_PUSH_DEFAULT) != RTP_SUCCESS) {
            return false;
        }
        if (frame::rtp_frame *f = rx->pull_frame(k_wait_ms / 10)) {
            const bool same = f->payload_length == sizeof(data) &&
                              std::memcmp(f->payload, data, sizeof(data)) == 0;
            frame::dealloc_frame(f);
            return same;
        }
    }
    return false;
}

// Regression: an address that does not parse fell back to 0.0.0.0 / "::"
// (on Linux, "this host"), so a typo sent media somewhere unintended.
TEST(StreamSetUp, InvalidAddressesFailWithTheirMessage) {
    struct Case {
        const char *name;
        const char *local;   // create_session(local, remote)
        const char *remote;  // null with `single`
        bool single;
        uint16_t src_port;
        uint16_t dst_port;
        int flags;
    } cases[] = {
        {"octet out of range", nullptr, "127.0.0.300", true, 0, 5004, RCE_SEND_ONLY},
        {"not an address", nullptr, "nonsense", true, 0, 5004, 0},
        {"host names are not looked up", nullptr, "localhost", true, 0, 5004, 0},
        {"empty remote of a sending stream", "127.0.0.1", "", false, 0, 5004, 0},
        {"IPv6 remote in an IPv4 session", "127.0.0.1", "::1", false, 0, 5004, 0},
        {"bad local address", "127.0.0.x", "127.0.0.1", false, 0, 5004, 0},
        {"bad local of a receiver", "300.1.1.1", nullptr, false, 0, 0, RCE_RECEIVE_ONLY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        context ctx;
        session *s =
            c.single ? ctx.create_session(c.remote) : ctx.create_session(c.local, c.remote);
        ASSERT_NE(s, nullptr);
        const uint16_t src = (c.flags & RCE_RECEIVE_ONLY) ? free_udp_port() : c.src_port;
        stderr_capture cap;
        media_stream *stream = s->create_stream(src, c.dst_port, k_fmt, c.flags);
        const std::string out = cap.stop();
        EXPECT_EQ(stream, nullptr);
        EXPECT_NE(out.find("[::init_connection] Invalid IP address"), std::string::npos) << out;
        EXPECT_NE(out.find("Failed to initialize the underlying socket"), std::string::npos) << out;
        ctx.destroy_session(s);
    }
}

// Regression: the first IPv6 session switched the whole context to IPv6, so
// a later IPv4 session's push returned success and nothing arrived.
TEST(StreamSetUp, AnIpv6SessionLeavesLaterIpv4SessionsIpv4) {
    if (!have_ipv6_loopback()) {
        GTEST_SKIP() << "IPv6 loopback (::1) is not available on this machine";
    }
    context tx_ctx;
    context rx_ctx;
    const uint16_t port6 = free_udp_port(true);
    session *rx6 = rx_ctx.create_session("::1");
    session *tx6 = tx_ctx.create_session("::1");
    media_stream *r6 = rx6->create_stream(port6, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *t6 = tx6->create_stream(0, port6, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(r6, nullptr);
    ASSERT_NE(t6, nullptr);

    const uint16_t port4 = free_udp_port();
    session *rx4 = rx_ctx.create_session("127.0.0.1");
    session *tx4 = tx_ctx.create_session("127.0.0.1");
    media_stream *r4 = rx4->create_stream(port4, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *t4 = tx4->create_stream(0, port4, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(r4, nullptr);
    ASSERT_NE(t4, nullptr);
    EXPECT_FALSE(r4->internal()->socket_ptr()->is_ipv6());
    EXPECT_FALSE(t4->internal()->socket_ptr()->is_ipv6());
    EXPECT_TRUE(frame_arrives(t4, r4));
    EXPECT_TRUE(frame_arrives(t6, r6));
    tx_ctx.destroy_session(tx4);
    tx_ctx.destroy_session(tx6);
    rx_ctx.destroy_session(rx4);
    rx_ctx.destroy_session(rx6);
}

// In an IPv6 session, dotted IPv4 text is the IPv4-mapped address: an IPv6
// sender reaches an IPv4 receiver.
TEST(StreamSetUp, DottedIpv4TextInAnIpv6SessionIsTheMappedAddress) {
    if (!have_ipv6_loopback()) {
        GTEST_SKIP() << "IPv6 is not available on this machine";
    }
    context rx_ctx;
    context tx_ctx;
    const uint16_t port = free_udp_port();
    session *rx = rx_ctx.create_session("127.0.0.1");
    session *tx = tx_ctx.create_session("::", "127.0.0.1");
    media_stream *r = rx->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *t = tx->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->internal()->socket_ptr()->is_ipv6());
    EXPECT_TRUE(frame_arrives(t, r));
    rx_ctx.destroy_session(rx);
    tx_ctx.destroy_session(tx);
}

// stop() gives the port back at once: another socket can bind it while the
// stream object still exists.
TEST(StreamSetUp, StopReleasesThePortAtOnce) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *a = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    media_stream *b = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->stop(), RTP_SUCCESS);
    EXPECT_FALSE(udp_port_bindable(port)) << "the second stream still holds the port";
    EXPECT_EQ(b->stop(), RTP_SUCCESS);
    EXPECT_TRUE(udp_port_bindable(port)) << "the last stream gave the port back";
    media_stream *c = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
    EXPECT_NE(c, nullptr) << "a new stream binds the port at once";
    ctx.destroy_session(s);
}

// Regression: "last stream leaves the port" took three critical sections, so
// a stream created on the same port from another thread could join a flow
// that was being stopped (and never receive) or fail to bind. Two threads
// create and destroy streams on one port; every stream must be created and
// must receive what is sent to it.
TEST(StreamSetUp, CreateAndDestroyOnOnePortFromTwoThreads) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    constexpr int k_rounds = 25;
    std::atomic<int> failures{0};
    std::atomic<int> deaf{0};

    auto worker = [&](uint32_t ssrc) {
        int out = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_storage to{};
        const socklen_t to_len = loopback_address(false, port, to);
        for (int round = 0; round < k_rounds; ++round) {
            media_stream *m = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
            if (m == nullptr) {
                ++failures;
                continue;
            }
            m->internal()->set_remote_ssrc(ssrc);
            bool got = false;
            for (int attempt = 0; attempt < 20 && !got; ++attempt) {
                const auto pkt = rtp_packet(ssrc, static_cast<uint16_t>(round));
                ::sendto(out, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&to), to_len);
                if (frame::rtp_frame *f = m->pull_frame(100)) {
                    got = f->header.ssrc == ssrc;
                    frame::dealloc_frame(f);
                }
            }
            if (!got) {
                ++deaf;
            }
            s->destroy_stream(m);
        }
        ::close(out);
    };
    stderr_capture cap;  // INFO lines of every creation
    std::thread a(worker, 0xA0A0A0A0u);
    std::thread b(worker, 0xB0B0B0B0u);
    a.join();
    b.join();
    const std::string out = cap.stop();
    EXPECT_EQ(failures.load(), 0) << out;
    EXPECT_EQ(deaf.load(), 0);
    EXPECT_TRUE(udp_port_bindable(port));
    ctx.destroy_session(s);
}

// Regression: the flow ran every stream's chain with the flags of the stream
// that started it. Two H.265 receivers share a port, one without start codes:
// each gets its own form.
TEST(StreamSetUp, StreamsSharingAPortKeepTheirOwnFlags) {
    context rx_ctx;
    context tx_ctx;
    session *rx = rx_ctx.create_session("127.0.0.1");
    session *tx = tx_ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *plain = rx->create_stream(port, 0, FMT_H265, RCE_RECEIVE_ONLY);
    media_stream *bare =
        rx->create_stream(port, 0, FMT_H265, RCE_RECEIVE_ONLY | RCE_H26X_OMIT_START_CODE);
    media_stream *to_plain = tx->create_stream(0, port, FMT_H265, RCE_SEND_ONLY);
    media_stream *to_bare = tx->create_stream(0, port, FMT_H265, RCE_SEND_ONLY);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(bare, nullptr);
    ASSERT_NE(to_plain, nullptr);
    ASSERT_NE(to_bare, nullptr);
    plain->internal()->set_remote_ssrc(to_plain->get_ssrc());
    bare->internal()->set_remote_ssrc(to_bare->get_ssrc());

    // One H.265 TRAIL_R slice NAL unit (type 1) with its start code.
    std::vector<uint8_t> au = {0, 0, 0, 1, 0x02, 0x01};
    for (int i = 0; i < 200; ++i) {
        au.push_back(static_cast<uint8_t>(i));
    }
    const std::vector<uint8_t> nal(au.begin() + 4, au.end());
    struct Case {
        const char *name;
        media_stream *tx;
        media_stream *rx;
        std::vector<uint8_t> expected;
    } cases[] = {
        {"with start code", to_plain, plain, au},
        {"start code omitted", to_bare, bare, nal},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> copy = au;
        ASSERT_EQ(c.tx->push_frame(copy.data(), copy.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        frame::rtp_frame *f = c.rx->pull_frame(k_wait_ms);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(f->payload, f->payload + f->payload_length), c.expected);
        frame::dealloc_frame(f);
    }
    tx_ctx.destroy_session(tx);
    rx_ctx.destroy_session(rx);
}

size_t thread_count() {
    size_t n = 0;
    if (DIR *d = ::opendir("/proc/self/task")) {
        while (dirent *e = ::readdir(d)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(d);
    }
    return n;
}

// A stream that only sends runs no reception threads: twenty of them leave
// the process's thread count as it was, and they still send.
TEST(StreamSetUp, SendOnlyStreamsRunNoReceptionThreads) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t rx_port = free_udp_port();
    media_stream *rx = s->create_stream(rx_port, 0, k_fmt, RCE_RECEIVE_ONLY);
    ASSERT_NE(rx, nullptr);
    const size_t before = thread_count();
    std::vector<media_stream *> senders;
    for (int i = 0; i < 20; ++i) {
        media_stream *tx = s->create_stream(0, rx_port, k_fmt, RCE_SEND_ONLY);
        ASSERT_NE(tx, nullptr);
        EXPECT_FALSE(tx->internal()->flow()->is_running());
        senders.push_back(tx);
    }
    EXPECT_EQ(thread_count(), before);
    EXPECT_TRUE(frame_arrives(senders.back(), rx));
    ctx.destroy_session(s);
}

// Receiving streams on many ports share a fixed set of receive and
// processing threads: thirty more ports leave the thread count as it was,
// and each of them still delivers.
TEST(StreamSetUp, ReceivingStreamsOnManyPortsShareFixedThreads) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *first = s->create_stream(free_udp_port(), 0, k_fmt, RCE_RECEIVE_ONLY);
    ASSERT_NE(first, nullptr);
    const size_t before = thread_count();
    std::vector<std::pair<media_stream *, media_stream *>> pairs;
    for (int i = 0; i < 30; ++i) {
        const uint16_t port = free_udp_port();
        media_stream *rx = s->create_stream(port, 0, k_fmt, RCE_RECEIVE_ONLY);
        ASSERT_NE(rx, nullptr);
        media_stream *tx = s->create_stream(0, port, k_fmt, RCE_SEND_ONLY);
        ASSERT_NE(tx, nullptr);
        pairs.emplace_back(tx, rx);
    }
    EXPECT_EQ(thread_count(), before);
    for (auto &p : pairs) {
        EXPECT_TRUE(frame_arrives(p.first, p.second));
    }
    ctx.destroy_session(s);
}

}  // namespace
