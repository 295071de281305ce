// ZRTP-keyed SRTP streams end to end over loopback: two contexts agree keys
// in Diffie-Hellman mode and then in multistream mode and exchange H.265
// and generic media; an agreement started by the application; failures
// under live traffic; the session's multistream turn.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "security/crc32.hh"
#include "security/srtp.hh"
#include "security/zrtp.hh"
#include "security/zrtp_msg.hh"
#include "stream/media_stream_internal.hh"
#include "support/media_frames.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "support/zrtp_sim.hh"
#include "tessal/tessal.h"
#include "tessal/tessal.hh"
#include "transport/socketfactory.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::random_bytes;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t k_wait_ms = 5000;
constexpr int k_zrtp = RCE_SRTP | RCE_SRTP_KEYS_FROM_ZRTP;

bytes pull_all(media_stream *rx, size_t expected_bytes) {
    return tessal::test::pull_bytes(rx, expected_bytes, k_wait_ms);
}

// Sends one frame each way between the streams of a pair.
void exchange(media_stream *a, media_stream *b, RTP_FORMAT fmt, uint32_t seed) {
    for (auto [tx, rx] : {std::make_pair(a, b), std::make_pair(b, a)}) {
        const bytes frame =
            fmt == FMT_H265 ? test::h265_access_unit(seed) : random_bytes(900, seed);
        ASSERT_EQ(
            tx->push_frame(const_cast<uint8_t *>(frame.data()), frame.size(), RTP_PUSH_COPY_DATA),
            RTP_SUCCESS);
        EXPECT_EQ(pull_all(rx, frame.size()), frame);
        ++seed;
    }
}

// Two endpoints, each in its own context with one session toward the other.
struct zrtp_peers {
    context ctx_a;
    context ctx_b;
    session *sa = ctx_a.create_session("127.0.0.1");
    session *sb = ctx_b.create_session("127.0.0.1");

    ~zrtp_peers() {
        ctx_a.destroy_session(sa);
        ctx_b.destroy_session(sb);
    }

    // Creates one stream on each side at the same time (each creation runs
    // the agreement and blocks until it ends).
    std::pair<media_stream *, media_stream *> pair(RTP_FORMAT fmt, int flags) {
        const uint16_t pa = free_udp_port();
        uint16_t pb = free_udp_port();
        while (pb == pa) {
            pb = free_udp_port();
        }
        media_stream *b = nullptr;
        std::thread tb([&] { b = sb->create_stream(pb, pa, fmt, flags); });
        media_stream *a = sa->create_stream(pa, pb, fmt, flags);
        tb.join();
        return {a, b};
    }
};

TEST(ZrtpStreams, DiffieHellmanThenMultistreamCarrySrtpMedia) {
    zrtp_peers p;
    const auto dh = p.pair(FMT_H265, k_zrtp | RCE_ZRTP_FULL_DH | RCE_SRTP_AUTH_TAG);
    ASSERT_NE(dh.first, nullptr);
    ASSERT_NE(dh.second, nullptr);
    exchange(dh.first, dh.second, FMT_H265, 10);

    const auto ms1 = p.pair(FMT_PCMU, k_zrtp | RCE_ZRTP_MULTISTREAM_MODE);
    ASSERT_NE(ms1.first, nullptr);
    ASSERT_NE(ms1.second, nullptr);
    const auto ms2 = p.pair(FMT_H265, k_zrtp | RCE_ZRTP_MULTISTREAM_MODE);
    ASSERT_NE(ms2.first, nullptr);
    ASSERT_NE(ms2.second, nullptr);
    exchange(ms1.first, ms1.second, FMT_PCMU, 20);
    exchange(ms2.first, ms2.second, FMT_H265, 30);
    exchange(dh.first, dh.second, FMT_H265, 40);

    // One ZRTP object per session, shared by its streams, never by another
    // session's.
    const auto &za = dh.first->internal()->zrtp_object();
    ASSERT_NE(za, nullptr);
    EXPECT_EQ(ms1.first->internal()->zrtp_object(), za);
    EXPECT_EQ(ms2.first->internal()->zrtp_object(), za);
    EXPECT_NE(dh.second->internal()->zrtp_object(), za);
    EXPECT_NE(za->role(), dh.second->internal()->zrtp_object()->role());

    // A completed stream's start_zrtp changes nothing: no new exchange (the
    // peer would not answer one) and no second encryption of its packets.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(dh.first->start_zrtp(), RTP_SUCCESS);
    EXPECT_EQ(dh.first->start_zrtp(), RTP_SUCCESS);
    EXPECT_EQ(ms1.first->start_zrtp(), RTP_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    exchange(dh.first, dh.second, FMT_H265, 50);
    exchange(ms1.first, ms1.second, FMT_PCMU, 60);
}

std::atomic<int> g_reports_at_a{0};
std::atomic<int> g_reports_at_b{0};
void on_report_at_a(frame::rtcp_sr *sr) {
    frame::dealloc_sr(sr);
    g_reports_at_a.fetch_add(1);
}
void on_report_at_b(frame::rtcp_sr *sr) {
    frame::dealloc_sr(sr);
    g_reports_at_b.fetch_add(1);
}

// RTCP on ZRTP streams is SRTCP under the agreed keys: silent until the
// agreement, then reports verify at the peer in both directions.
TEST(ZrtpStreams, RtcpTravelsAsSrtcpUnderAgreedKeys) {
    zrtp_peers p;
    const auto s = p.pair(FMT_PCMU, k_zrtp | RCE_WITH_RTCP);
    ASSERT_NE(s.first, nullptr);
    ASSERT_NE(s.second, nullptr);
    g_reports_at_a = 0;
    g_reports_at_b = 0;
    ASSERT_EQ(s.first->get_rtcp()->install_sender_hook(on_report_at_a), RTP_SUCCESS);
    ASSERT_EQ(s.second->get_rtcp()->install_sender_hook(on_report_at_b), RTP_SUCCESS);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bytes frame = random_bytes(160, 3);
    // Both send (so both report as senders) until each has heard the other.
    while ((g_reports_at_a.load() == 0 || g_reports_at_b.load() == 0) &&
           std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(s.first->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        ASSERT_EQ(s.second->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA),
                  RTP_SUCCESS);
        frame::dealloc_frame(s.first->pull_frame(1));
        frame::dealloc_frame(s.second->pull_frame(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(g_reports_at_a.load(), 0);
    EXPECT_GT(g_reports_at_b.load(), 0);
}

// RCE_SRTP with a ZRTP mode but without RCE_SRTP_KEYS_FROM_ZRTP: the stream
// starts without keys, sends nothing until the application's start_zrtp.
TEST(ZrtpStreams, ApplicationStartedAgreementSendsNothingBeforeKeys) {
    {
        udp_capture wire(300);
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        media_stream *tx =
            s->create_stream(free_udp_port(), wire.port(), FMT_PCMU, RCE_SRTP | RCE_ZRTP_FULL_DH);
        ASSERT_NE(tx, nullptr);
        bytes frame = random_bytes(100, 1);
        stderr_capture err;
        EXPECT_EQ(tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT), RTP_UNINITIALIZED);
        EXPECT_NE(err.stop().find("RTP context has not been initialized fully, cannot continue!"),
                  std::string::npos);
        EXPECT_TRUE(wire.receive().empty()) << "nothing, least of all plaintext, on the wire";
        ctx.destroy_session(s);
    }
    zrtp_peers p;
    const auto s = p.pair(FMT_PCMU, RCE_SRTP | RCE_ZRTP_FULL_DH);
    ASSERT_NE(s.first, nullptr);
    ASSERT_NE(s.second, nullptr);
    RTP_ERROR rb = RTP_PENDING;
    std::thread tb([&] { rb = s.second->start_zrtp(); });
    EXPECT_EQ(s.first->start_zrtp(), RTP_SUCCESS);
    tb.join();
    EXPECT_EQ(rb, RTP_SUCCESS);
    exchange(s.first, s.second, FMT_PCMU, 70);
}

// The SAS of a finished agreement is the same on both ends, through C++ and
// C, for every stream of the session, and the application can mark it
// verified.
TEST(ZrtpStreams, SasIsTheSameOnBothEndsAndCanBeMarkedVerified) {
    zrtp_peers p;
    const auto dh = p.pair(FMT_PCMU, k_zrtp | RCE_ZRTP_FULL_DH);
    ASSERT_NE(dh.first, nullptr);
    ASSERT_NE(dh.second, nullptr);
    const auto ms = p.pair(FMT_PCMU, k_zrtp | RCE_ZRTP_MULTISTREAM_MODE);
    ASSERT_NE(ms.first, nullptr);
    ASSERT_NE(ms.second, nullptr);
    char sas_a[5] = {};
    char sas_b[5] = {};
    ASSERT_EQ(dh.first->get_zrtp_sas(sas_a), RTP_SUCCESS);
    ASSERT_EQ(tessal_stream_get_zrtp_sas(dh.second, sas_b), RTP_SUCCESS);
    EXPECT_EQ(std::strlen(sas_a), 4u);
    EXPECT_STREQ(sas_a, sas_b);
    char sas_ms[5] = {};
    ASSERT_EQ(ms.first->get_zrtp_sas(sas_ms), RTP_SUCCESS);
    EXPECT_STREQ(sas_ms, sas_a);
    EXPECT_EQ(dh.first->get_zrtp_sas(nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(tessal_stream_get_zrtp_sas(nullptr, sas_a), RTP_BAD_ARGUMENT);

    EXPECT_FALSE(dh.first->zrtp_sas_verified());
    EXPECT_EQ(tessal_stream_zrtp_sas_verified(ms.first), 0);
    EXPECT_EQ(tessal_stream_set_zrtp_sas_verified(dh.first), RTP_SUCCESS);
    EXPECT_TRUE(dh.first->zrtp_sas_verified());
    EXPECT_EQ(tessal_stream_zrtp_sas_verified(ms.first), 1);
    EXPECT_FALSE(dh.second->zrtp_sas_verified()) << "the other end decides for itself";

    // A stream whose agreement has not run yet, and one without ZRTP.
    media_stream *waiting = p.sa->create_stream(free_udp_port(), free_udp_port(), FMT_PCMU,
                                                RCE_SRTP | RCE_ZRTP_FULL_DH);
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->get_zrtp_sas(sas_a), RTP_UNINITIALIZED);
    EXPECT_EQ(waiting->set_zrtp_sas_verified(), RTP_UNINITIALIZED);
    media_stream *plain = p.sa->create_stream(free_udp_port(), free_udp_port(), FMT_PCMU, 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->get_zrtp_sas(sas_a), RTP_FAILED);
    EXPECT_EQ(tessal_stream_set_zrtp_sas_verified(plain), RTP_FAILED);
}

// start_zrtp leaves a stream alone whose keys are the application's or
// that has no ZRTP mode: no Hello goes out, the stream keeps working.
TEST(ZrtpStreams, StartZrtpRefusesStreamsNotKeyedByZrtp) {
    const struct Case {
        const char *name;
        int flags;
        bool user_keys;
    } cases[] = {
        {"keyed by the application", RCE_SRTP | RCE_SRTP_KEYS_FROM_USER, true},
        {"application keys with a ZRTP mode", RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_ZRTP_FULL_DH,
         true},
        {"without SRTP", 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        udp_capture wire(300);
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        // The session's ZRTP object exists (an SRTP stream brought it).
        media_stream *other = s->create_stream(free_udp_port(), free_udp_port(), FMT_PCMU,
                                               RCE_SRTP | RCE_ZRTP_FULL_DH);
        ASSERT_NE(other, nullptr);
        media_stream *m = s->create_stream(free_udp_port(), wire.port(), FMT_PCMU, c.flags);
        ASSERT_NE(m, nullptr);
        if (c.user_keys) {
            bytes key = random_bytes(16, 3);
            bytes salt = random_bytes(14, 4);
            ASSERT_EQ(m->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
        }
        stderr_capture err;
        EXPECT_EQ(m->start_zrtp(), RTP_FAILED);
        err.stop();
        bytes frame = random_bytes(100, 5);
        EXPECT_EQ(m->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        bool media = false;
        for (bytes got = wire.receive(); !got.empty(); got = wire.receive()) {
            EXPECT_FALSE(got.size() >= 8 && std::memcmp(got.data() + 4, "ZRTP", 4) == 0)
                << "a ZRTP message went out";
            media = media || (got.size() >= 12 && (got[0] & 0xC0) == 0x80);
        }
        EXPECT_TRUE(media) << "the stream still sends";
        ctx.destroy_session(s);
    }
}

// Streams of one local SSRC share their SRTP objects: once the application
// keyed them through one stream, start_zrtp on another stream of that SSRC
// must not replace the ciphers under it. It fails before any Hello goes out
// and the first stream's media still decrypts at its peer.
TEST(ZrtpStreams, StartZrtpRefusesSrtpObjectsKeyedByAnotherStream) {
    constexpr uint32_t k_ssrc = 0x2468ACE0;
    udp_capture wire(300);
    auto sf = std::make_shared<socketfactory>();
    sf->set_local_interface("127.0.0.1");
    auto keyed = std::make_unique<media_stream>(
        "cname", "127.0.0.1", "127.0.0.1", free_udp_port(), free_udp_port(), FMT_PCMU, sf,
        RCE_SEND_ONLY | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER, k_ssrc);
    ASSERT_EQ(keyed->internal()->init(nullptr), RTP_SUCCESS);
    auto agreeing = std::make_unique<media_stream>("cname", "127.0.0.1", "127.0.0.1",
                                                   free_udp_port(), wire.port(), FMT_PCMU, sf,
                                                   RCE_SRTP | RCE_ZRTP_FULL_DH, k_ssrc);
    ASSERT_EQ(agreeing->internal()->init(std::make_shared<zrtp>()), RTP_SUCCESS);
    ASSERT_EQ(keyed->internal()->srtp_object(), agreeing->internal()->srtp_object());
    const bytes key = random_bytes(16, 8);
    const bytes salt = random_bytes(14, 9);
    ASSERT_EQ(
        keyed->add_srtp_ctx(const_cast<uint8_t *>(key.data()), const_cast<uint8_t *>(salt.data())),
        RTP_SUCCESS);
    const std::shared_ptr<srtp> cipher = keyed->internal()->srtp_object();
    stderr_capture err;
    EXPECT_EQ(agreeing->start_zrtp(), RTP_FAILED);
    err.stop();
    EXPECT_EQ(keyed->internal()->srtp_object(), cipher);
    EXPECT_TRUE(cipher->keyed());
    for (bytes got = wire.receive(); !got.empty(); got = wire.receive()) {
        EXPECT_FALSE(got.size() >= 8 && std::memcmp(got.data() + 4, "ZRTP", 4) == 0)
            << "a ZRTP message went out";
    }
    char sas[5] = {};
    EXPECT_EQ(agreeing->get_zrtp_sas(sas), RTP_UNINITIALIZED);
}

// A peer that answers our Hello with an unsupported version while RTP and
// ZRTP datagrams pour in: the exchange fails and the stream is released
// while the processing thread is busy with it (ASan checks the release).
TEST(ZrtpStreams, FailingExchangeUnderLiveTrafficReleasesCleanly) {
    udp_capture peer(50);
    const uint16_t port = free_udp_port();
    std::atomic<bool> stop{false};
    std::thread hostile([&] {
        zrtp z;
        zrtp_session &zs = z.session();
        zs.ssrc = 0x5EED;
        z.init_session_hashes();
        zrtp_msg::hello hello(zs);
        bytes bad(hello.data(), hello.data() + hello.size());
        std::memcpy(bad.data() + 24, "1.00", 4);
        const uint32_t crc = crypto::crc32::calculate_crc32(bad.data(), bad.size() - 4);
        std::memcpy(bad.data() + bad.size() - 4, &crc, 4);
        bytes rtp = random_bytes(200, 9);
        rtp[0] = 0x80;
        rtp[1] = 96;
        bytes short_zrtp(bad.begin(), bad.begin() + 40);
        uint16_t seq = 0;
        while (!stop) {
            const bytes got = peer.receive();
            if (!got.empty() && test::zrtp_type_of(got) == "Hello") {
                peer.send_to(port, bad);
            }
            for (int i = 0; i < 50; ++i) {
                rtp[2] = static_cast<uint8_t>(seq >> 8);
                rtp[3] = static_cast<uint8_t>(seq++);
                peer.send_to(port, rtp);
                peer.send_to(port, short_zrtp);
            }
        }
    });
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    stderr_capture err;
    media_stream *m = s->create_stream(port, peer.port(), FMT_H265, k_zrtp);
    const std::string log = err.stop();
    stop = true;
    hostile.join();
    EXPECT_EQ(m, nullptr);
    EXPECT_NE(log.find("Remote supports version 0, Tessal supports 110"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to initialize ZRTP for media stream!"), std::string::npos);
    // The port was given back.
    media_stream *plain = s->create_stream(port, peer.port(), FMT_PCMU, 0);
    EXPECT_NE(plain, nullptr);
    ctx.destroy_session(s);
}

// The multistream turn belongs to the stream that took it: a stream that
// fails or goes away without holding it leaves it alone.
TEST(ZrtpStreams, OnlyTheStreamThatTookTheTurnGivesItBack) {
    zrtp_peers p;
    const auto dh = p.pair(FMT_PCMU, k_zrtp);
    ASSERT_NE(dh.first, nullptr);
    ASSERT_NE(dh.second, nullptr);
    const std::shared_ptr<zrtp> z = dh.first->internal()->zrtp_object();
    ASSERT_TRUE(z->try_take_turn());  // a multistream exchange is running

    stderr_capture err;
    // A multistream stream of the session that fails in set-up: its port
    // is held by another socket.
    udp_capture holder;
    EXPECT_EQ(p.sa->create_stream(holder.port(), free_udp_port(), FMT_PCMU,
                                  k_zrtp | RCE_ZRTP_MULTISTREAM_MODE),
              nullptr);
    // A Diffie-Hellman stream of the session goes away.
    EXPECT_EQ(p.sa->destroy_stream(dh.first), RTP_SUCCESS);
    err.stop();
    EXPECT_FALSE(z->try_take_turn()) << "the turn is still the running exchange's";
    z->give_turn();
    EXPECT_TRUE(z->try_take_turn());
    z->give_turn();
}

// A multistream stream of a session whose Diffie-Hellman stream never
// succeeds gives up once more than ten whole seconds have passed.
TEST(ZrtpStreams, MultistreamWithoutDiffieHellmanGivesUp) {
    udp_capture silent(50);
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    stderr_capture err;
    const auto begin = std::chrono::steady_clock::now();
    media_stream *m = s->create_stream(free_udp_port(), silent.port(), FMT_PCMU,
                                       k_zrtp | RCE_ZRTP_MULTISTREAM_MODE);
    const auto took = std::chrono::steady_clock::now() - begin;
    const std::string log = err.stop();
    EXPECT_EQ(m, nullptr);
    EXPECT_NE(log.find("Giving up on DH after 10 seconds"), std::string::npos) << log;
    EXPECT_GE(took, std::chrono::seconds(11));
    ctx.destroy_session(s);
}

}  // namespace
