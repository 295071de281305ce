// SRTP end to end over loopback: streams keyed by the application exchange
// generic and H.265 media under every key size, tag, cipher and replay
// choice; captured packets show ciphertext, tampering and replays are
// dropped; SRTP and plain streams share a port.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "rtp/rtp.hh"
#include "security/srtp.hh"
#include "stream/media_stream_internal.hh"
#include "support/media_frames.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.hh"
#include "transport/socketfactory.hh"

using namespace tessal;
using tessal::test::bound_port;
using tessal::test::free_udp_port;
using tessal::test::loopback_address;
using tessal::test::random_bytes;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t k_wait_ms = 5000;
constexpr int k_user_srtp = RCE_SRTP | RCE_SRTP_KEYS_FROM_USER;

bytes g_key = random_bytes(32, 1);
bytes g_salt = random_bytes(14, 2);

// A receiving and a sending stream over 127.0.0.1, each in its own context,
// keyed with the same user key.
struct srtp_peers {
    context rx_ctx;
    context tx_ctx;
    session *rx_session = rx_ctx.create_session("127.0.0.1");
    session *tx_session = tx_ctx.create_session("127.0.0.1");
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;

    srtp_peers(RTP_FORMAT fmt, int flags) {
        for (int attempt = 0; attempt < 5 && rx == nullptr; ++attempt) {
            const uint16_t port = free_udp_port();
            rx = rx_session->create_stream(port, 0, fmt, RCE_RECEIVE_ONLY | k_user_srtp | flags);
            if (rx != nullptr) {
                tx = tx_session->create_stream(0, port, fmt, RCE_SEND_ONLY | k_user_srtp | flags);
            }
        }
    }
    bool keyed() {
        return rx != nullptr && tx != nullptr &&
               rx->add_srtp_ctx(g_key.data(), g_salt.data()) == RTP_SUCCESS &&
               tx->add_srtp_ctx(g_key.data(), g_salt.data()) == RTP_SUCCESS;
    }
    ~srtp_peers() {
        tx_ctx.destroy_session(tx_session);
        rx_ctx.destroy_session(rx_session);
    }
};

bytes pull_all(media_stream *rx, size_t expected_bytes) {
    return tessal::test::pull_bytes(rx, expected_bytes, k_wait_ms);
}

bytes h265_access_unit() {
    return tessal::test::h265_access_unit(3);
}

using combination = std::tuple<RTP_FORMAT, int, int, int, int>;

class SrtpEndToEnd : public testing::TestWithParam<combination> {};

TEST_P(SrtpEndToEnd, MediaArrivesWhole) {
    const auto [fmt, key_size, auth, null_cipher, replay] = GetParam();
    const int extra = fmt == FMT_H265 ? 0 : RCE_FRAGMENT_GENERIC;
    srtp_peers p(fmt, key_size | auth | null_cipher | replay | extra);
    if (!auth && (null_cipher || replay)) {
        // Refused: nothing would be protected, or the window cannot work
        // (these combinations used to be taken).
        EXPECT_EQ(p.rx, nullptr);
        return;
    }
    ASSERT_TRUE(p.keyed());
    if (auth) {
        EXPECT_EQ(p.tx->internal()->rtp_state()->get_payload_size(), 1442u);
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        bytes frame = fmt == FMT_H265 ? h265_access_unit()
                                      : random_bytes(round == 2 ? 6000 : 200 + round, round);
        ASSERT_EQ(p.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        EXPECT_EQ(pull_all(p.rx, frame.size()), frame);
    }
}

std::string combination_name(const testing::TestParamInfo<combination> &info) {
    const auto [fmt, key_size, auth, null_cipher, replay] = info.param;
    std::string name = fmt == FMT_H265 ? "h265" : "generic";
    name += key_size == RCE_SRTP_AES192   ? "_aes192"
            : key_size == RCE_SRTP_AES256 ? "_aes256"
                                          : "_aes128";
    name += auth ? "_tag" : "_notag";
    name += null_cipher ? "_nullcipher" : "_encrypted";
    name += replay ? "_antireplay" : "";
    return name;
}

INSTANTIATE_TEST_SUITE_P(Combinations, SrtpEndToEnd,
                         testing::Combine(testing::Values(FMT_PCMU, FMT_H265),
                                          testing::Values(0, int{RCE_SRTP_AES192},
                                                          int{RCE_SRTP_AES256}),
                                          testing::Values(0, int{RCE_SRTP_AUTH_TAG}),
                                          testing::Values(0, int{RCE_SRTP_NO_ENCRYPTION}),
                                          testing::Values(0, int{RCE_SRTP_ANTI_REPLAY})),
                         combination_name);

// What goes on the wire is ciphertext with a tag; a flipped bit is dropped,
// a replay only with anti-replay.
TEST(SrtpOnTheWire, CiphertextTamperingAndReplays) {
    for (int replay : {0, int{RCE_SRTP_ANTI_REPLAY}}) {
        SCOPED_TRACE(replay ? "anti-replay" : "no anti-replay");
        const int flags = k_user_srtp | RCE_SRTP_AUTH_TAG | replay;
        udp_capture wire;
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        const uint16_t rx_port = free_udp_port();
        media_stream *rx = s->create_stream(rx_port, 0, FMT_PCMU, RCE_RECEIVE_ONLY | flags);
        media_stream *tx = s->create_stream(0, wire.port(), FMT_PCMU, RCE_SEND_ONLY | flags);
        ASSERT_NE(rx, nullptr);
        ASSERT_NE(tx, nullptr);
        ASSERT_EQ(rx->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
        ASSERT_EQ(tx->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);

        const bytes plain = random_bytes(160, 7);
        bytes borrowed = plain;
        ASSERT_EQ(tx->push_frame(borrowed.data(), borrowed.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        const bytes packet = wire.receive();
        ASSERT_EQ(packet.size(), 12 + plain.size() + 10);
        const bytes body(packet.begin() + 12, packet.end() - 10);
        EXPECT_NE(body, plain) << "the payload is not the plaintext";
        EXPECT_EQ(borrowed, body) << "a borrowed buffer is encrypted in place (documented)";

        stderr_capture cap;
        bytes flipped = packet;
        flipped[20] ^= 0x01;
        wire.send_to(rx_port, flipped);
        EXPECT_EQ(rx->pull_frame(300), nullptr) << "a flipped bit is dropped";

        wire.send_to(rx_port, packet);
        frame::rtp_frame *f = rx->pull_frame(k_wait_ms);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(bytes(f->payload, f->payload + f->payload_length), plain);
        frame::dealloc_frame(f);

        wire.send_to(rx_port, packet);
        f = rx->pull_frame(replay ? 300 : k_wait_ms);
        EXPECT_EQ(f != nullptr, replay == 0) << "a replay is dropped only with anti-replay";
        frame::dealloc_frame(f);
        const std::string out = cap.stop();
        EXPECT_NE(out.find("Authentication tag mismatch!"), std::string::npos) << out;
        ctx.destroy_session(s);
    }
}

// One key serves both directions: our own packets sent back to us (by a
// reflector on the path) would verify. They are dropped before SRTP,
// counted, and the peer's media still decrypts.
TEST(SrtpOnTheWire, ReflectedOwnPacketsAreDroppedAndThePeerStillDecrypts) {
    const int flags = k_user_srtp | RCE_SRTP_AUTH_TAG | RCE_SRTP_ANTI_REPLAY;
    udp_capture reflector;
    context a_ctx;
    context b_ctx;
    session *a_session = a_ctx.create_session("127.0.0.1");
    session *b_session = b_ctx.create_session("127.0.0.1");
    const uint16_t a_port = free_udp_port();
    media_stream *a = a_session->create_stream(a_port, reflector.port(), FMT_PCMU, flags);
    media_stream *b = b_session->create_stream(0, a_port, FMT_PCMU, RCE_SEND_ONLY | flags);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(a->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
    ASSERT_EQ(b->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);

    // The peer is heard first (so that the port's source filter knows it).
    auto peer_frame_arrives = [&](int seed) {
        const bytes frame = random_bytes(120, seed);
        return b->push_frame(const_cast<uint8_t *>(frame.data()), frame.size(),
                             RTP_PUSH_COPY_DATA) == RTP_SUCCESS &&
               pull_all(a, frame.size()) == frame;
    };
    EXPECT_TRUE(peer_frame_arrives(59));
    size_t reflected = 0;
    for (int i = 0; i < 5; ++i) {
        bytes frame = random_bytes(100, 40 + i);
        ASSERT_EQ(a->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        const bytes datagram = reflector.receive();
        ASSERT_FALSE(datagram.empty());
        reflector.send_to(a_port, datagram);
        ++reflected;
    }
    // Reflected packets after a collision carry our previous SSRC: SRTP
    // drops those, or, while the peer is this port's valid source, the
    // source filter does (which of the two depends on whether the next push
    // already took the new SSRC). Either way none reaches the application.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(peer_frame_arrives(60 + i)) << i;
    }
    stream_statistics st;
    ASSERT_EQ(a->get_statistics(&st), RTP_SUCCESS);
    EXPECT_EQ(st.dropped_own_packets + st.ssrc_collisions + st.dropped_unknown_source, reflected);
    EXPECT_EQ(st.auth_failures, 0u);
    EXPECT_EQ(st.replay_failures, 0u);
    b_ctx.destroy_session(b_session);
    a_ctx.destroy_session(a_session);
}

// Each stream on a shared port runs its own chain: the SRTP stream decrypts,
// the plain one never sees ciphertext, whichever started the flow.
TEST(SrtpOnTheWire, SrtpAndPlainStreamsShareOnePort) {
    for (bool srtp_first : {false, true}) {
        SCOPED_TRACE(srtp_first ? "SRTP stream first" : "plain stream first");
        context rx_ctx;
        context tx_ctx;
        session *rx = rx_ctx.create_session("127.0.0.1");
        session *tx = tx_ctx.create_session("127.0.0.1");
        const uint16_t port = free_udp_port();
        const int secured = RCE_RECEIVE_ONLY | k_user_srtp | RCE_SRTP_AUTH_TAG;
        media_stream *first =
            rx->create_stream(port, 0, FMT_PCMU, srtp_first ? secured : RCE_RECEIVE_ONLY);
        media_stream *second =
            rx->create_stream(port, 0, FMT_PCMU, srtp_first ? RCE_RECEIVE_ONLY : secured);
        media_stream *rx_srtp = srtp_first ? first : second;
        media_stream *rx_plain = srtp_first ? second : first;
        media_stream *tx_srtp =
            tx->create_stream(0, port, FMT_PCMU, RCE_SEND_ONLY | k_user_srtp | RCE_SRTP_AUTH_TAG);
        media_stream *tx_plain = tx->create_stream(0, port, FMT_PCMU, RCE_SEND_ONLY);
        ASSERT_NE(rx_srtp, nullptr);
        ASSERT_NE(rx_plain, nullptr);
        ASSERT_NE(tx_srtp, nullptr);
        ASSERT_NE(tx_plain, nullptr);
        ASSERT_EQ(rx_srtp->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
        ASSERT_EQ(tx_srtp->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
        rx_srtp->internal()->set_remote_ssrc(tx_srtp->get_ssrc());
        rx_plain->internal()->set_remote_ssrc(tx_plain->get_ssrc());

        for (int i = 0; i < 3; ++i) {
            const bytes a = random_bytes(100, 10 + i);
            const bytes b = random_bytes(100, 20 + i);
            ASSERT_EQ(
                tx_srtp->push_frame(const_cast<uint8_t *>(a.data()), a.size(), RTP_PUSH_COPY_DATA),
                RTP_SUCCESS);
            ASSERT_EQ(
                tx_plain->push_frame(const_cast<uint8_t *>(b.data()), b.size(), RTP_PUSH_COPY_DATA),
                RTP_SUCCESS);
            EXPECT_EQ(pull_all(rx_srtp, a.size()), a);
            EXPECT_EQ(pull_all(rx_plain, b.size()), b);
        }
        tx_ctx.destroy_session(tx);
        rx_ctx.destroy_session(rx);
    }
}

// Streams initialised with the same local SSRC share their SRTP and SRTCP
// objects; the objects go when their last stream does.
TEST(SrtpUserKeys, ObjectsAreSharedByLocalSsrc) {
    auto sf = std::make_shared<socketfactory>();
    sf->set_local_interface("127.0.0.1");
    const int flags = RCE_SEND_ONLY | k_user_srtp;
    auto make = [&](uint32_t ssrc) {
        auto m = std::make_unique<media_stream>("cname", "127.0.0.1", "", 0, 5004, FMT_PCMU, sf,
                                                flags, ssrc);
        EXPECT_EQ(m->internal()->init(nullptr), RTP_SUCCESS);
        return m;
    };
    auto a = make(0x1234);
    auto b = make(0x1234);
    auto c = make(0x5678);
    // Regression: keying a shared object again freed its cipher under the
    // stream that keyed it first.
    ASSERT_EQ(a->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
    stderr_capture cap;
    EXPECT_EQ(b->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_FAILED);
    EXPECT_NE(cap.stop().find("is keyed by another stream already"), std::string::npos);
    EXPECT_EQ(a->internal()->srtp_object(), b->internal()->srtp_object());
    EXPECT_EQ(a->internal()->srtcp_object(), b->internal()->srtcp_object());
    EXPECT_NE(a->internal()->srtp_object(), c->internal()->srtp_object());
    std::weak_ptr<srtp> shared = a->internal()->srtp_object();
    a.reset();
    EXPECT_FALSE(shared.expired()) << "b still uses it";
    b.reset();
    EXPECT_TRUE(shared.expired()) << "the map let go with the last stream";
    auto d = make(0x1234);
    EXPECT_NE(d->internal()->srtp_object(), nullptr);
}

// Regression: the maps of shared objects were process-wide, so two contexts
// whose streams had the same local SSRC shared one SRTP object, and so its
// keys (the second could not even key it). Each context (one socketfactory
// each) has its own now; both streams run end to end under their own keys.
TEST(SrtpUserKeys, ContextsWithTheSameLocalSsrcKeepTheirOwnKeys) {
    constexpr uint32_t k_ssrc = 0x1234;
    const int flags = k_user_srtp | RCE_SRTP_AUTH_TAG | RCE_SRTP_ANTI_REPLAY;
    struct end {
        bytes key;
        context rx_ctx;
        session *rx_session = nullptr;
        media_stream *rx = nullptr;
        std::shared_ptr<socketfactory> tx_factory = std::make_shared<socketfactory>();
        std::unique_ptr<media_stream> tx;
    } ends[2];
    for (int i = 0; i < 2; ++i) {
        end &e = ends[i];
        e.key = random_bytes(32, static_cast<uint8_t>(70 + i));
        e.rx_session = e.rx_ctx.create_session("127.0.0.1");
        const uint16_t port = free_udp_port();
        e.rx = e.rx_session->create_stream(port, 0, FMT_PCMU, RCE_RECEIVE_ONLY | flags);
        ASSERT_NE(e.rx, nullptr);
        ASSERT_EQ(e.rx->add_srtp_ctx(e.key.data(), g_salt.data()), RTP_SUCCESS);
        e.tx_factory->set_local_interface("127.0.0.1");
        e.tx = std::make_unique<media_stream>("cname", "127.0.0.1", "", 0, port, FMT_PCMU,
                                              e.tx_factory, RCE_SEND_ONLY | flags, k_ssrc);
        ASSERT_EQ(e.tx->internal()->init(nullptr), RTP_SUCCESS);
        ASSERT_EQ(e.tx->add_srtp_ctx(e.key.data(), g_salt.data()), RTP_SUCCESS) << i;
    }
    EXPECT_EQ(ends[0].tx->get_ssrc(), ends[1].tx->get_ssrc());
    EXPECT_NE(ends[0].tx->internal()->srtp_object(), ends[1].tx->internal()->srtp_object());
    EXPECT_NE(ends[0].tx->internal()->srtcp_object(), ends[1].tx->internal()->srtcp_object());
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(testing::Message() << "round " << round << " context " << i);
            const bytes frame = random_bytes(150, static_cast<uint8_t>(80 + 2 * round + i));
            ASSERT_EQ(ends[i].tx->push_frame(const_cast<uint8_t *>(frame.data()), frame.size(),
                                             RTP_PUSH_COPY_DATA),
                      RTP_SUCCESS);
            EXPECT_EQ(pull_all(ends[i].rx, frame.size()), frame);
        }
    }
    for (end &e : ends) {
        stream_statistics st;
        ASSERT_EQ(e.rx->get_statistics(&st), RTP_SUCCESS);
        EXPECT_EQ(st.auth_failures, 0u);
        e.tx.reset();
        e.rx_ctx.destroy_session(e.rx_session);
    }
}

// A key agreement hands each side its own and its peer's keys; the SRTP
// objects of the two sides then protect for each other.
TEST(SrtpUserKeys, KeysFromAKeySourceCrossBetweenPeers) {
    struct fixed_source : srtp_key_source {
        uint8_t mine;
        uint8_t theirs;
        fixed_source(uint8_t m, uint8_t t) : mine(m), theirs(t) {}
        RTP_ERROR get_srtp_keys(uint8_t *local_key, uint32_t local_bits, uint8_t *remote_key,
                                uint32_t remote_bits, uint8_t *local_salt, uint32_t salt_bits,
                                uint8_t *remote_salt, uint32_t) override {
            std::memset(local_key, mine, local_bits / 8);
            std::memset(remote_key, theirs, remote_bits / 8);
            std::memset(local_salt, mine + 1, salt_bits / 8);
            std::memset(remote_salt, theirs + 1, salt_bits / 8);
            return RTP_SUCCESS;
        }
    };
    const int flags = RCE_SRTP | RCE_SRTP_KEYS_FROM_ZRTP | RCE_SRTP_AUTH_TAG;
    auto initiator = std::make_shared<srtp>(flags);
    auto responder = std::make_shared<srtp>(flags);
    ASSERT_EQ(media_stream_internal::init_srtp_with_zrtp(
                  flags, 0, initiator, std::make_shared<fixed_source>(0x11, 0x22)),
              RTP_SUCCESS);
    ASSERT_EQ(media_stream_internal::init_srtp_with_zrtp(
                  flags, 0, responder, std::make_shared<fixed_source>(0x22, 0x11)),
              RTP_SUCCESS);
    bytes header = {0x80, 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 9};
    bytes payload = random_bytes(100, 3);
    const bytes plain = payload;
    bytes tag(10);
    buffer_vector pieces = {{12, header.data()}, {100, payload.data()}, {10, tag.data()}};
    ASSERT_EQ(srtp::send_packet_handler(initiator.get(), pieces), RTP_SUCCESS);
    bytes datagram = header;
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    datagram.insert(datagram.end(), tag.begin(), tag.end());
    frame::rtp_frame *f = nullptr;
    ASSERT_EQ(rtp::packet_handler(nullptr, flags, datagram.data(), datagram.size(), &f),
              RTP_PKT_CHANGED);
    EXPECT_EQ(
        srtp::recv_packet_handler(responder.get(), flags, datagram.data(), datagram.size(), &f),
        RTP_PKT_CHANGED);
    EXPECT_EQ(bytes(f->payload, f->payload + f->payload_length), plain);
    frame::dealloc_frame(f);
    EXPECT_EQ(media_stream_internal::init_srtp_with_zrtp(flags, 0, initiator, nullptr),
              RTP_BAD_ARGUMENT);
}

TEST(SrtpUserKeys, AddSrtpCtxStartsTheStreamOnce) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *tx = s->create_stream(0, 5004, FMT_PCMU, RCE_SEND_ONLY | k_user_srtp);
    ASSERT_NE(tx, nullptr);
    uint8_t data[10] = {};
    stderr_capture cap;
    EXPECT_EQ(tx->push_frame(data, sizeof(data), RTP_PUSH_DEFAULT), RTP_UNINITIALIZED)
        << "not started before the keys";
    EXPECT_EQ(tx->add_srtp_ctx(nullptr, g_salt.data()), RTP_BAD_ARGUMENT);
    EXPECT_EQ(tx->add_srtp_ctx(g_key.data(), nullptr), RTP_BAD_ARGUMENT);
    ASSERT_EQ(tx->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_SUCCESS);
    EXPECT_EQ(tx->push_frame(data, sizeof(data), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    // Regression: a second call restarted the components under the running
    // threads.
    EXPECT_EQ(tx->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_FAILED);
    EXPECT_EQ(tx->push_frame(data, sizeof(data), RTP_PUSH_COPY_DATA), RTP_SUCCESS)
        << "the stream keeps working";

    // A second key call changes nothing on the wire either: a receiver keyed
    // once still decrypts what the twice-asked sender sends.
    srtp_peers p(FMT_PCMU, RCE_SRTP_AUTH_TAG);
    ASSERT_TRUE(p.keyed());
    EXPECT_EQ(p.tx->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_FAILED);
    bytes frame = random_bytes(64, 9);
    ASSERT_EQ(p.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    EXPECT_EQ(pull_all(p.rx, frame.size()), frame);

    media_stream *plain = s->create_stream(0, 5006, FMT_PCMU, RCE_SEND_ONLY);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->add_srtp_ctx(g_key.data(), g_salt.data()), RTP_UNSUPPORTED);
    const std::string out = cap.stop();
    EXPECT_NE(out.find("RTP context has not been initialized fully, cannot continue!"),
              std::string::npos);
    EXPECT_NE(out.find("[::add_srtp_ctx] The stream has started already"), std::string::npos)
        << out;
    ctx.destroy_session(s);
}

}  // namespace
