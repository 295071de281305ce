// Standard SRTP (RCE_SRTP_STANDARD) end to end over loopback: media under
// every profile, what the wire carries (checked with the RFC transform on
// its own), forgeries and replays dropped and counted, SRTCP both ways, no
// packet before the keys, and the set-up errors of the API.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "security/srtp_standard.hh"
#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t k_wait_ms = 5000;
constexpr int k_standard = RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_STANDARD;

bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    bytes b(n);
    for (auto &x : b) {
        x = static_cast<uint8_t>(gen());
    }
    return b;
}

const srtp_profile_info &info(int id) {
    return *find_srtp_profile(id);
}

// Master key || salt of each direction: A keys what the sender sends, B
// what it receives.
bytes master(int id, uint32_t seed) {
    return random_bytes(info(id).key_len + info(id).salt_len, seed);
}

bytes h265_access_unit(uint32_t seed) {
    bytes au;
    auto add = [&au](uint8_t type, size_t len, uint32_t s) {
        au.insert(au.end(), {0, 0, 0, 1, static_cast<uint8_t>(type << 1), 1});
        bytes body = random_bytes(len, s);
        for (auto &b : body) {
            b |= 0x04;  // no accidental start codes
        }
        au.insert(au.end(), body.begin(), body.end());
    };
    add(32, 20, seed);
    add(1, 300, seed + 1);
    add(1, 5000, seed + 2);  // fragmented
    return au;
}

bytes pull_all(media_stream *rx, size_t expected_bytes) {
    bytes got;
    while (got.size() < expected_bytes) {
        frame::rtp_frame *f = rx->pull_frame(k_wait_ms);
        if (f == nullptr) {
            break;
        }
        got.insert(got.end(), f->payload, f->payload + f->payload_length);
        frame::dealloc_frame(f);
    }
    return got;
}

bool eventually(const std::function<bool()> &done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A sender and a receiver in contexts of their own; the sender's send key
// is the receiver's receive key and the other way round.
struct standard_peers {
    context rx_ctx;
    context tx_ctx;
    session *rx_session = rx_ctx.create_session("127.0.0.1");
    session *tx_session = tx_ctx.create_session("127.0.0.1");
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;

    standard_peers(RTP_FORMAT fmt, int flags) {
        for (int attempt = 0; attempt < 5 && rx == nullptr; ++attempt) {
            const uint16_t port = free_udp_port();
            rx = rx_session->create_stream(port, 0, fmt, RCE_RECEIVE_ONLY | k_standard | flags);
            if (rx != nullptr) {
                tx = tx_session->create_stream(0, port, fmt, RCE_SEND_ONLY | k_standard | flags);
            }
        }
    }
    bool keyed(int profile) {
        const bytes a = master(profile, 11);
        const bytes b = master(profile, 12);
        return rx != nullptr && tx != nullptr &&
               rx->add_srtp_keys(profile, b.data(), b.size(), a.data(), a.size()) == RTP_SUCCESS &&
               tx->add_srtp_keys(profile, a.data(), a.size(), b.data(), b.size()) == RTP_SUCCESS;
    }
    ~standard_peers() {
        tx_ctx.destroy_session(tx_session);
        rx_ctx.destroy_session(rx_session);
    }
};

const int k_profile_ids[] = {SRTP_AES_CM_128_HMAC_SHA1_80, SRTP_AES_CM_128_HMAC_SHA1_32,
                             SRTP_AES_256_CM_HMAC_SHA1_80, SRTP_AEAD_AES_128_GCM,
                             SRTP_AEAD_AES_256_GCM};

class StandardSrtpEndToEnd : public testing::TestWithParam<int> {};

TEST_P(StandardSrtpEndToEnd, MediaArrivesWhole) {
    const int profile = GetParam();
    {
        SCOPED_TRACE("H.265");
        standard_peers p(FMT_H265, 0);
        ASSERT_TRUE(p.keyed(profile));
        for (uint32_t n = 0; n < 3; ++n) {
            bytes au = h265_access_unit(10 * n);
            ASSERT_EQ(p.tx->push_frame(au.data(), au.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
            EXPECT_EQ(pull_all(p.rx, au.size()), au);
        }
        EXPECT_EQ(p.rx->internal()->srtp_standard_object()->drops().auth, 0U);
    }
    {
        SCOPED_TRACE("generic, fragmented");
        standard_peers p(FMT_PCMU, RCE_FRAGMENT_GENERIC);
        ASSERT_TRUE(p.keyed(profile));
        for (size_t size : {size_t{1}, size_t{160}, size_t{1436}, size_t{1437}, size_t{4000}}) {
            SCOPED_TRACE(size);
            bytes frame = random_bytes(size, static_cast<uint32_t>(size));
            ASSERT_EQ(p.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA),
                      RTP_SUCCESS);
            EXPECT_EQ(pull_all(p.rx, frame.size()), frame);
        }
    }
}

std::string profile_name(const testing::TestParamInfo<int> &param) {
    return info(param.param).name;
}

INSTANTIATE_TEST_SUITE_P(Profiles, StandardSrtpEndToEnd, testing::ValuesIn(k_profile_ids),
                         profile_name);

// The datagrams decrypt with the transform alone (the stream adds nothing of
// its own), no datagram exceeds 1500 bytes with IP and UDP; forged and
// replayed copies are dropped one by one and counted while genuine packets
// between them still arrive.
TEST(StandardSrtpOnTheWire, WireFormatForgeriesAndReplays) {
    for (int profile : {int{SRTP_AES_CM_128_HMAC_SHA1_32}, int{SRTP_AEAD_AES_256_GCM}}) {
        SCOPED_TRACE(info(profile).name);
        const bytes a = master(profile, 21);
        const bytes b = master(profile, 22);
        udp_capture wire;
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        const uint16_t rx_port = free_udp_port();
        media_stream *rx = s->create_stream(rx_port, 0, FMT_PCMU,
                                            RCE_RECEIVE_ONLY | k_standard | RCE_FRAGMENT_GENERIC);
        media_stream *tx = s->create_stream(0, wire.port(), FMT_PCMU,
                                            RCE_SEND_ONLY | k_standard | RCE_FRAGMENT_GENERIC);
        ASSERT_NE(rx, nullptr);
        ASSERT_NE(tx, nullptr);
        ASSERT_EQ(rx->add_srtp_keys(profile, b.data(), b.size(), a.data(), a.size()), RTP_SUCCESS);
        ASSERT_EQ(tx->add_srtp_keys(profile, a.data(), a.size(), nullptr, 0), RTP_SUCCESS);

        // A frame of one packet first, so that the receiver has seen a frame
        // end before the fragmented frame, as a receiver already listening has.
        const bytes lead = random_bytes(100, 4);
        ASSERT_EQ(
            tx->push_frame(const_cast<uint8_t *>(lead.data()), lead.size(), RTP_PUSH_COPY_DATA),
            RTP_SUCCESS);
        const bytes lead_packet = wire.receive();
        ASSERT_FALSE(lead_packet.empty());
        wire.send_to(rx_port, lead_packet);
        EXPECT_EQ(pull_all(rx, lead.size()), lead);

        const bytes plain = random_bytes(3000, 5);
        ASSERT_EQ(
            tx->push_frame(const_cast<uint8_t *>(plain.data()), plain.size(), RTP_PUSH_COPY_DATA),
            RTP_SUCCESS);
        std::vector<bytes> packets;
        for (bytes d = wire.receive(); !d.empty();
             d = packets.size() < 3 ? wire.receive() : bytes{}) {
            packets.push_back(d);
        }
        ASSERT_EQ(packets.size(), 3U);
        srtp_standard reference;
        ASSERT_EQ(reference.init(profile, nullptr, 0, a.data(), a.size()), RTP_SUCCESS);
        bytes joined;
        for (const bytes &packet : packets) {
            EXPECT_LE(packet.size() + 28, 1500U);
            bytes copy = packet;
            size_t n = 0;
            ASSERT_EQ(reference.unprotect(copy.data(), copy.size(), &n), RTP_SUCCESS);
            EXPECT_EQ(n, packet.size() - info(profile).rtp_tag_len);
            joined.insert(joined.end(), copy.begin() + 12, copy.begin() + static_cast<long>(n));
        }
        EXPECT_EQ(joined, plain);

        stderr_capture cap;
        bytes forged = packets[0];
        forged[30] ^= 0x01;
        bytes cut = packets[1];
        cut.resize(14);
        wire.send_to(rx_port, forged);
        wire.send_to(rx_port, cut);
        for (const bytes &packet : packets) {
            wire.send_to(rx_port, packet);
            wire.send_to(rx_port, packet);  // replayed at once
        }
        EXPECT_EQ(pull_all(rx, plain.size()), plain);
        const std::shared_ptr<srtp_standard> &srtp = rx->internal()->srtp_standard_object();
        EXPECT_TRUE(eventually([&] { return srtp->drops().replay == 3; }));
        EXPECT_EQ(srtp->drops().auth, 1U);
        EXPECT_EQ(srtp->drops().malformed, 1U);
        EXPECT_EQ(rx->pull_frame(200), nullptr);
        const std::string log = cap.stop();
        EXPECT_NE(log.find("Dropped an SRTP packet"), std::string::npos) << log;
        ctx.destroy_session(s);
    }
}

std::atomic<int> g_srs{0};
std::atomic<int> g_rrs{0};
void on_sr(frame::rtcp_sr *sr) {
    frame::dealloc_sr(sr);
    ++g_srs;
}
void on_rr(frame::rtcp_rr *rr) {
    frame::dealloc_rr(rr);
    ++g_rrs;
}

// RTCP on a standard SRTP stream is SRTCP of the same profile, both ways:
// the sender's reports reach the receiver and the receiver's come back.
TEST(StandardSrtpRtcp, SrtcpBothWays) {
    for (int profile : {int{SRTP_AES_CM_128_HMAC_SHA1_80}, int{SRTP_AEAD_AES_128_GCM}}) {
        SCOPED_TRACE(info(profile).name);
        const int flags = RCE_WITH_RTCP | k_standard;
        const bytes ka = master(profile, 31);
        const bytes kb = master(profile, 32);
        g_srs = 0;
        g_rrs = 0;
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        const uint16_t pa = free_udp_port();
        const uint16_t pb = free_udp_port();
        media_stream *a = s->create_stream(pa, pb, FMT_H264, flags);
        media_stream *b = s->create_stream(pb, pa, FMT_H264, flags | RCE_RECEIVE_ONLY);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(a->add_srtp_keys(profile, ka.data(), ka.size(), kb.data(), kb.size()),
                  RTP_SUCCESS);
        ASSERT_EQ(b->add_srtp_keys(profile, kb.data(), kb.size(), ka.data(), ka.size()),
                  RTP_SUCCESS);
        ASSERT_EQ(b->get_rtcp()->install_sender_hook(on_sr), RTP_SUCCESS);
        ASSERT_EQ(a->get_rtcp()->install_receiver_hook(on_rr), RTP_SUCCESS);
        std::atomic<bool> pushing{true};
        std::thread pusher([&] {
            for (uint8_t n = 0; pushing.load(); ++n) {
                bytes f = {0, 0, 0, 1, 0x65};
                f.resize(200, static_cast<uint8_t>(0x10 + n % 64));
                a->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const bool exchanged = eventually([&] {
            frame::dealloc_frame(b->pull_frame(1));
            return g_srs > 0 && g_rrs > 0;
        });
        pushing = false;
        pusher.join();
        EXPECT_TRUE(exchanged) << "SR " << g_srs << " RR " << g_rrs;
        ctx.destroy_session(s);
    }
}

// Nothing leaves a standard SRTP stream before its keys, neither media nor
// RTCP; the first push after keying does.
TEST(StandardSrtpKeys, NothingIsSentBeforeTheKeys) {
    udp_capture wire(300);
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *tx =
        s->create_stream(free_udp_port(), wire.port(), FMT_PCMU, k_standard | RCE_WITH_RTCP);
    ASSERT_NE(tx, nullptr);
    bytes frame(100, 0x42);
    EXPECT_EQ(tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_UNINITIALIZED);
    EXPECT_TRUE(wire.receive().empty());
    const bytes a = master(SRTP_AEAD_AES_128_GCM, 41);
    ASSERT_EQ(tx->add_srtp_keys(SRTP_AEAD_AES_128_GCM, a.data(), a.size(), nullptr, 0),
              RTP_SUCCESS);
    wire.set_timeout(5000);
    ASSERT_EQ(tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    const bytes packet = wire.receive();
    ASSERT_EQ(packet.size(), 12 + frame.size() + 16);
    EXPECT_NE(bytes(packet.begin() + 12, packet.end() - 16), frame);
    ctx.destroy_session(s);
}

TEST(StandardSrtpKeys, CreationRefusesConflictingFlags) {
    struct Case {
        const char *name;
        int flags;
    };
    const Case cases[] = {
        {"without RCE_SRTP", RCE_SRTP_STANDARD | RCE_SRTP_KEYS_FROM_USER},
        {"without user keys", RCE_SRTP | RCE_SRTP_STANDARD},
        {"with an AES-256 flag", k_standard | RCE_SRTP_AES256},
        {"without encryption", k_standard | RCE_SRTP_NO_ENCRYPTION},
        {"with ZRTP", RCE_SRTP | RCE_SRTP_STANDARD | RCE_SRTP_KEYS_FROM_ZRTP},
    };
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(s->create_stream(free_udp_port(), free_udp_port(), FMT_PCMU, c.flags), nullptr);
    }
    ctx.destroy_session(s);
}

// Bad keys change nothing (the stream may be keyed right afterwards); key
// text never reaches the log; each mode takes only its own keying call.
TEST(StandardSrtpKeys, KeyingErrors) {
    const std::string key = "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";
    const std::string gcm_key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIj";
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *st = s->create_stream(port, free_udp_port(), FMT_PCMU, k_standard);
    media_stream *own =
        s->create_stream(free_udp_port(), port, FMT_PCMU, RCE_SRTP | RCE_SRTP_KEYS_FROM_USER);
    ASSERT_NE(st, nullptr);
    ASSERT_NE(own, nullptr);
    const bytes m30 = master(SRTP_AES_CM_128_HMAC_SHA1_80, 51);
    stderr_capture cap;
    EXPECT_EQ(st->add_srtp_keys(9, m30.data(), m30.size(), m30.data(), m30.size()),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(st->add_srtp_keys(SRTP_AEAD_AES_128_GCM, m30.data(), m30.size(), nullptr, 0),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(st->add_srtp_keys(SRTP_AES_CM_128_HMAC_SHA1_80, nullptr, 0, nullptr, 0),
              RTP_BAD_ARGUMENT);
    const std::string a = "1 AES_CM_128_HMAC_SHA1_80 inline:" + key;
    EXPECT_EQ(st->add_srtp_crypto(a.c_str(), ("1 AEAD_AES_128_GCM inline:" + gcm_key).c_str()),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(st->add_srtp_crypto((a + "|2^20|1:4").c_str(), nullptr), RTP_UNSUPPORTED);
    EXPECT_EQ(
        st->add_srtp_crypto(("1 AES_CM_128_HMAC_SHA1_80 inline:" + key.substr(4)).c_str(), nullptr),
        RTP_BAD_ARGUMENT);
    bytes frame(10, 1);
    EXPECT_EQ(st->push_frame(frame.data(), frame.size(), 0), RTP_UNINITIALIZED);
    EXPECT_EQ(own->add_srtp_keys(SRTP_AES_CM_128_HMAC_SHA1_80, m30.data(), m30.size(), nullptr, 0),
              RTP_UNSUPPORTED);
    ASSERT_EQ(st->add_srtp_crypto(("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + key).c_str(),
                                  ("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + key).c_str()),
              RTP_SUCCESS);
    EXPECT_EQ(st->add_srtp_keys(SRTP_AES_CM_128_HMAC_SHA1_80, m30.data(), m30.size(), nullptr, 0),
              RTP_FAILED);
    EXPECT_EQ(st->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    const std::string log = cap.stop();
    EXPECT_EQ(log.find(key.substr(0, 12)), std::string::npos) << log;
    EXPECT_EQ(log.find(gcm_key.substr(0, 12)), std::string::npos) << log;
    ctx.destroy_session(s);
}

}  // namespace
