// ZRTP message layouts, acceptance of received datagrams and parsing.

#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "security/crc32.hh"
#include "security/zrtp.hh"
#include "security/zrtp_msg.hh"
#include "support/stderr_capture.hh"
#include "support/zrtp_sim.hh"

namespace tessal {
namespace {

using zrtp_msg::msg_type;

std::vector<uint8_t> bytes_of(const zrtp_msg::zrtp_message &m) {
    return std::vector<uint8_t>(m.data(), m.data() + m.size());
}

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Rewrites the CRC of a whole message after a test changed it.
void recrc(std::vector<uint8_t> &msg) {
    const uint32_t crc = crypto::crc32::calculate_crc32(msg.data(), msg.size() - 4);
    std::memcpy(msg.data() + msg.size() - 4, &crc, 4);
}

// A session with its own hash chain and keys filled, as after a DH run.
zrtp_session &keyed_session(zrtp &z) {
    zrtp_session &s = z.session();
    s.ssrc = 0x11223344;
    z.init_session_hashes();
    z.generate_zid();
    z.generate_secrets();
    for (size_t i = 0; i < 16; ++i) {
        s.initiator_zrtp_key[i] = static_cast<uint8_t>(i);
        s.responder_zrtp_key[i] = static_cast<uint8_t>(0x80 + i);
    }
    for (size_t i = 0; i < 32; ++i) {
        s.initiator_hmac_key[i] = static_cast<uint8_t>(0x40 + i);
        s.responder_hmac_key[i] = static_cast<uint8_t>(0xC0 + i);
    }
    std::memcpy(s.hvi, "0123456789abcdef0123456789abcdef", 32);
    return s;
}

TEST(ZrtpMessages, EveryMessageHasItsSizeLengthTypeAndCrc) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    std::memcpy(s.key_agreement_type, "DH3k", 4);
    zrtp_msg::hello hello(s);
    zrtp_msg::hello_ack hello_ack(s);
    zrtp_msg::commit commit(s);
    zrtp_msg::dh_key_exchange dh1(s, 1);
    zrtp_msg::dh_key_exchange dh2(s, 2);
    zrtp_msg::confirm confirm1(s, 1);
    zrtp_msg::confirm confirm2(s, 2);
    zrtp_msg::confack confack(s);
    zrtp_msg::error error(0x61);
    const struct {
        const zrtp_msg::zrtp_message *m;
        size_t size;
        uint16_t length;
        const char *block;
        msg_type type;
        bool has_ssrc;
    } cases[] = {
        {&hello, 104, 22, "Hello   ", msg_type::hello, true},
        {&hello_ack.message(), 28, 3, "HelloACK", msg_type::hello_ack, true},
        {&commit.message(), 132, 29, "Commit  ", msg_type::commit, true},
        {&dh1, 484, 117, "DHPart1 ", msg_type::dh_part1, true},
        {&dh2, 484, 117, "DHPart2 ", msg_type::dh_part2, true},
        {&confirm1, 92, 19, "Confirm1", msg_type::confirm1, true},
        {&confirm2, 92, 19, "Confirm2", msg_type::confirm2, true},
        {&confack, 28, 3, "Conf2ACK", msg_type::conf2ack, true},
        {&error, 32, 4, "Error   ", msg_type::error, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block);
        const std::vector<uint8_t> b = bytes_of(*c.m);
        ASSERT_EQ(b.size(), c.size);
        EXPECT_EQ(b[0], 0x00);
        EXPECT_EQ(b[1], 0x00);
        EXPECT_EQ(std::memcmp(b.data() + 4, "ZRTP", 4), 0);
        EXPECT_EQ(b[12], 0x5A);
        EXPECT_EQ(b[13], 0x50);
        EXPECT_EQ(le16(b.data() + 14), c.length);
        EXPECT_EQ(std::memcmp(b.data() + 16, c.block, 8), 0);
        const uint8_t ssrc[4] = {0x11, 0x22, 0x33, 0x44};
        const uint8_t zero[4] = {};
        EXPECT_EQ(std::memcmp(b.data() + 8, c.has_ssrc ? ssrc : zero, 4), 0);
        uint32_t crc = 0;
        std::memcpy(&crc, b.data() + b.size() - 4, 4);
        EXPECT_TRUE(crypto::crc32::verify_crc32(b.data(), b.size() - 4, crc));
        msg_type type = msg_type::none;
        EXPECT_EQ(zrtp_msg::check_message(b.data(), b.size(), &type), RTP_SUCCESS);
        EXPECT_EQ(type, c.type);
    }
    // Sequence numbers: Hello 0, HelloACK none, then one per message in
    // build order; the Error message carries 0.
    EXPECT_EQ(le16(hello.data() + 2), 0);
    EXPECT_EQ(le16(hello_ack.message().data() + 2), 0);
    EXPECT_EQ(le16(commit.message().data() + 2), 1);
    EXPECT_EQ(le16(dh1.data() + 2), 2);
    EXPECT_EQ(le16(confack.data() + 2), 6);
    EXPECT_EQ(le16(error.data() + 2), 0);
    uint32_t code = 0;
    std::memcpy(&code, error.data() + 24, 4);
    EXPECT_EQ(code, 0x61u);
    // The Hello's fixed fields.
    EXPECT_EQ(std::memcmp(hello.data() + 24, "1.10", 4), 0);
    EXPECT_EQ(std::memcmp(hello.data() + 28, "Tessal,ZEB,MORL\0", 16), 0);
    EXPECT_EQ(std::memcmp(hello.data() + 44, s.hashes[3], 32), 0);
    EXPECT_EQ(std::memcmp(hello.data() + 76, s.own_zid, 12), 0);
    // The own copies are the messages as sent.
    EXPECT_EQ(s.own_hello, bytes_of(hello));
    EXPECT_EQ(s.own_commit, bytes_of(commit.message()));
    EXPECT_EQ(s.own_dh, bytes_of(dh2));
}

TEST(ZrtpMessages, MacsAreKeyedWithTheHashChain) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    std::memcpy(s.key_agreement_type, "DH3k", 4);
    zrtp_msg::hello hello(s);
    zrtp_msg::commit commit(s);
    zrtp_msg::dh_key_exchange dh(s, 2);
    uint64_t mac = 0;
    std::memcpy(&mac, hello.data() + 92, 8);
    EXPECT_EQ(zrtp::verify_hash(s.hashes[2], hello.data(), 81, mac), RTP_SUCCESS);
    EXPECT_EQ(zrtp::verify_hash(s.hashes[1], hello.data(), 81, mac), RTP_BAD_ARGUMENT);
    std::memcpy(&mac, commit.message().data() + 120, 8);
    EXPECT_EQ(zrtp::verify_hash(s.hashes[1], commit.message().data(), 120, mac), RTP_SUCCESS);
    std::memcpy(&mac, dh.data() + 472, 8);
    EXPECT_EQ(zrtp::verify_hash(s.hashes[0], dh.data(), 472, mac), RTP_SUCCESS);
    EXPECT_EQ(std::memcmp(dh.data() + 88, s.public_key, 384), 0);
}

TEST(ZrtpMessages, MultistreamCommitCarriesNonceAndZeros) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    std::memcpy(s.key_agreement_type, "Mult", 4);
    zrtp_msg::commit commit(s);
    const uint8_t *b = commit.message().data();
    EXPECT_EQ(commit.message().size(), 132u);
    EXPECT_EQ(le16(b + 14), 29);
    EXPECT_EQ(std::memcmp(b + 80, "Mult", 4), 0);
    EXPECT_EQ(std::memcmp(b + 88, s.hvi, 16), 0);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(std::memcmp(b + 104, zeros, 16), 0);

    // Parsed, a "Mult" Commit keeps only the nonce of the peer's hvi.
    zrtp peer;
    std::memset(peer.session().peer_hvi, 0xEE, 32);
    commit.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_commit *>(b), peer.session(), 132);
    EXPECT_EQ(std::memcmp(peer.session().peer_hvi, s.hvi, 16), 0);
    EXPECT_EQ(peer.session().peer_hvi[16], 0xEE);
    EXPECT_EQ(std::memcmp(peer.session().key_agreement_type, "Mult", 4), 0);
}

TEST(ZrtpMessages, HelloParsingRecordsVersionAndAppendsDefaults) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    zrtp_msg::hello hello(s);
    std::vector<uint8_t> good = bytes_of(hello);
    zrtp peer;
    zrtp_session &p = peer.session();
    auto *view = reinterpret_cast<const zrtp_msg::zrtp_hello *>(good.data());
    EXPECT_EQ(hello.parse_msg(view, p, good.size()), RTP_SUCCESS);
    EXPECT_EQ(p.peer_version, 110);
    EXPECT_EQ(hello.parse_msg(view, p, good.size()), RTP_SUCCESS);
    EXPECT_EQ(p.peer_auth_tags, (std::vector<std::string>{"HS32", "HS80", "HS32", "HS80"}));
    EXPECT_EQ(p.peer_key_agreements, (std::vector<std::string>{"DH3k", "DH3k"}));
    EXPECT_EQ(std::memcmp(p.peer_zid, s.own_zid, 12), 0);
    EXPECT_EQ(std::memcmp(p.peer_hashes[3], s.hashes[3], 32), 0);
    EXPECT_EQ(p.peer_hello, good);

    std::vector<uint8_t> old = good;
    std::memcpy(old.data() + 24, "1.00", 4);
    test::stderr_capture err;
    hello.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_hello *>(old.data()), p, old.size());
    EXPECT_NE(err.stop().find("Invalid ZRTP version!"), std::string::npos);
    EXPECT_EQ(p.peer_version, 0);
}

TEST(ZrtpMessages, ConfirmRoundTripsAndAlteredMacIsRejected) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    for (int which : {1, 2}) {
        SCOPED_TRACE(which);
        zrtp_msg::confirm confirm(s, which);
        std::vector<uint8_t> b = bytes_of(confirm);
        // H0 is not in the clear.
        EXPECT_NE(std::memcmp(b.data() + 48, s.hashes[0], 32), 0);

        zrtp receiver;
        zrtp_session &r = receiver.session();
        std::memcpy(r.initiator_zrtp_key, s.initiator_zrtp_key, 16);
        std::memcpy(r.responder_zrtp_key, s.responder_zrtp_key, 16);
        std::memcpy(r.initiator_hmac_key, s.initiator_hmac_key, 32);
        std::memcpy(r.responder_hmac_key, s.responder_hmac_key, 32);

        std::vector<uint8_t> forged = b;
        forged[24] ^= 0x01;
        test::stderr_capture err;
        EXPECT_EQ(
            confirm.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_confirm *>(forged.data()), r),
            RTP_BAD_ARGUMENT);
        EXPECT_NE(err.stop().find("mac "), std::string::npos);
        const uint8_t zeros[32] = {};
        EXPECT_EQ(std::memcmp(r.peer_hashes[0], zeros, 32), 0);

        // A Confirm of the other kind is checked with the other keys.
        std::vector<uint8_t> renamed = b;
        std::memcpy(renamed.data() + 16, which == 1 ? "Confirm2" : "Confirm1", 8);
        EXPECT_EQ(
            confirm.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_confirm *>(renamed.data()), r),
            RTP_BAD_ARGUMENT);

        EXPECT_EQ(confirm.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_confirm *>(b.data()), r),
                  RTP_SUCCESS);
        EXPECT_EQ(std::memcmp(r.peer_hashes[0], s.hashes[0], 32), 0);
    }
}

// Acceptance of received datagrams: sizes, length fields and CRCs.
TEST(ZrtpAcceptance, LengthSizeAndCrcRules) {
    zrtp z;
    zrtp_session &s = keyed_session(z);
    std::memcpy(s.key_agreement_type, "DH3k", 4);
    const std::vector<uint8_t> hello = bytes_of(zrtp_msg::hello(s));
    const std::vector<uint8_t> commit = bytes_of(zrtp_msg::commit(s).message());
    const std::vector<uint8_t> dh = bytes_of(zrtp_msg::dh_key_exchange(s, 1));
    const std::vector<uint8_t> confirm = bytes_of(zrtp_msg::confirm(s, 1));
    const std::vector<uint8_t> ack = bytes_of(zrtp_msg::confack(s));

    const auto with_length = [](std::vector<uint8_t> m, uint16_t len) {
        m[14] = static_cast<uint8_t>(len);
        m[15] = static_cast<uint8_t>(len >> 8);
        recrc(m);
        return m;
    };
    const auto resized = [](std::vector<uint8_t> m, size_t size) {
        m.resize(size);
        recrc(m);
        return m;
    };
    const auto with_block = [](const char *block, uint16_t len, size_t size) {
        std::vector<uint8_t> m(size);
        std::memcpy(m.data() + 4, "ZRTP", 4);
        m[12] = 0x5A;
        m[13] = 0x50;
        m[14] = static_cast<uint8_t>(len);
        std::memcpy(m.data() + 16, block, 8);
        return m;
    };
    std::vector<uint8_t> bad_crc = dh;
    bad_crc[200] ^= 0xFF;
    std::vector<uint8_t> version_bits = hello;
    version_bits[0] = 0x01;
    std::vector<uint8_t> preamble = hello;
    preamble[12] = 0x50;
    std::vector<uint8_t> longer_hello = with_length(resized(hello, 108), 23);

    const struct {
        const char *name;
        std::vector<uint8_t> packet;
        RTP_ERROR expected;
        const char *warning;
    } cases[] = {
        {"hello", hello, RTP_SUCCESS, nullptr},
        {"longer hello", longer_hello, RTP_SUCCESS, nullptr},
        {"too short for framing", std::vector<uint8_t>(hello.begin(), hello.begin() + 23),
         RTP_PKT_SKIPPED, nullptr},
        {"version bits", version_bits, RTP_PKT_SKIPPED, nullptr},
        {"preamble", preamble, RTP_PKT_SKIPPED, nullptr},
        // The length field describes a Hello the datagram does not hold.
        {"hello cut short", resized(hello, 40), RTP_BAD_ARGUMENT,
         "ZRTP Hello length field is wrong"},
        // Warnings are rate-limited per type: only the first of a kind shows.
        {"hello length 21", with_length(resized(hello, 100), 21), RTP_BAD_ARGUMENT, nullptr},
        {"hello length larger than datagram", with_length(hello, 40), RTP_BAD_ARGUMENT, nullptr},
        {"commit length 25 (too short for our layout)", with_length(resized(commit, 116), 25),
         RTP_BAD_ARGUMENT, "ZRTP Commit length field is wrong"},
        {"commit length 30", with_length(resized(commit, 136), 30), RTP_BAD_ARGUMENT, nullptr},
        {"dhpart cut to 100 bytes", with_length(resized(dh, 100), 21), RTP_BAD_ARGUMENT,
         "ZRTP DH Part1 length field is wrong"},
        {"dhpart bad crc", bad_crc, RTP_UNSUPPORTED, nullptr},
        {"confirm length 18", with_length(resized(confirm, 88), 18), RTP_BAD_ARGUMENT,
         "ZRTP Confirm1 length field is wrong"},
        {"conf2ack length 4", with_length(resized(ack, 32), 4), RTP_BAD_ARGUMENT,
         "ZRTP Conf2 ACK length field is wrong"},
        {"error", with_block("Error   ", 4, 32), RTP_SUCCESS, nullptr},
        {"error length 3", with_block("Error   ", 3, 28), RTP_BAD_ARGUMENT,
         "ZRTP Error length field is wrong"},
        {"ping ack", with_block("PingACK ", 9, 52), RTP_SUCCESS, nullptr},
        {"sas relay length 10", with_block("SASrelay", 10, 56), RTP_BAD_ARGUMENT,
         "ZRTP SAS Relay length field is wrong"},
        {"unknown type", with_block("GoClear ", 3, 28), RTP_SUCCESS, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy, so that ASan sees any read past the end.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[c.packet.size()]);
        std::memcpy(exact.get(), c.packet.data(), c.packet.size());
        msg_type type = msg_type::none;
        test::stderr_capture err;
        EXPECT_EQ(zrtp_msg::check_message(exact.get(), c.packet.size(), &type), c.expected);
        const std::string log = err.stop();
        if (c.warning != nullptr) {
            EXPECT_NE(log.find(c.warning), std::string::npos) << log;
        }
        // The capture path gives the same verdicts.
        zrtp capture;
        int anchor = 0;
        EXPECT_EQ(capture.capture(&anchor, exact.get(), c.packet.size()), c.expected);
    }
}

TEST(ZrtpAcceptance, PacketToHeaderLength) {
    EXPECT_EQ(zrtp_msg::zrtp_message::packet_to_header_len(104), 22);
    EXPECT_EQ(zrtp_msg::zrtp_message::header_length_to_packet(117), 484u);
    test::stderr_capture err;
    EXPECT_EQ(zrtp_msg::zrtp_message::packet_to_header_len(102), 0);
    EXPECT_NE(err.stop().find("ZRTP message length is not divisible by 32-bit word"),
              std::string::npos);
}

TEST(ZrtpKeys, GetSrtpKeysChecksArgumentsAndState) {
    zrtp z;
    uint8_t k1[16], k2[16], s1[14], s2[14];
    EXPECT_EQ(z.get_srtp_keys(k1, 128, k2, 128, s1, 112, s2, 112), RTP_UNINITIALIZED);
    EXPECT_EQ(z.get_srtp_keys(nullptr, 128, k2, 128, s1, 112, s2, 112), RTP_BAD_ARGUMENT);
    EXPECT_EQ(z.get_srtp_keys(k1, 0, k2, 128, s1, 112, s2, 112), RTP_BAD_ARGUMENT);
    EXPECT_EQ(z.get_srtp_keys(k1, 128, k2, 128, s1, 112, s2, 0), RTP_BAD_ARGUMENT);
}

// The KDF's input, computed here with Crypto++ directly: a 32-bit counter
// 01 00 00 00, the label, ZIDi and ZIDr in role order, total_hash, a zero
// byte and the output length in bits as a big-endian word (peers of this
// library derive the same keys only from exactly this layout).
TEST(ZrtpKeys, KdfInputLayout) {
    zrtp z;
    zrtp_session &s = z.session();
    for (uint8_t i = 0; i < 32; ++i) {
        s.s0[i] = static_cast<uint8_t>(i * 7);
        s.total_hash[i] = static_cast<uint8_t>(0xF0 - i);
    }
    std::memcpy(s.own_zid, "own-zid-0123", 12);
    std::memcpy(s.peer_zid, "peer-zid-456", 12);
    for (int role : {0, 1}) {
        SCOPED_TRACE(role);
        s.role = role;
        for (uint32_t bits : {112u, 128u, 256u}) {
            uint8_t out[32] = {};
            ASSERT_EQ(z.derive_key("Responder SRTP master key", bits, out), RTP_SUCCESS);
            CryptoPP::HMAC<CryptoPP::SHA256> mac(s.s0, 32);
            const uint8_t counter[4] = {1, 0, 0, 0};
            const std::string label = "Responder SRTP master key";
            const uint8_t tail[5] = {0, static_cast<uint8_t>(bits >> 24),
                                     static_cast<uint8_t>(bits >> 16),
                                     static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
            mac.Update(counter, 4);
            mac.Update(reinterpret_cast<const uint8_t *>(label.data()), label.size());
            mac.Update(role == 0 ? s.own_zid : s.peer_zid, 12);
            mac.Update(role == 0 ? s.peer_zid : s.own_zid, 12);
            mac.Update(s.total_hash, 32);
            mac.Update(tail, 5);
            uint8_t expected[32];
            mac.Final(expected);
            EXPECT_EQ(std::memcmp(out, expected, bits / 8), 0) << bits;
        }
    }
    uint8_t out[32];
    EXPECT_EQ(z.derive_key("x", 0, out), RTP_BAD_ARGUMENT);
    EXPECT_EQ(z.derive_key("x", 264, out), RTP_BAD_ARGUMENT);
}

TEST(ZrtpKeys, MultistreamWithoutDiffieHellmanFailsAtOnce) {
    test::driven_zrtp z;
    int channel = 0;
    int sent = 0;
    test::stderr_capture err;
    EXPECT_EQ(z.init(
                  1, &channel,
                  [&sent](uint8_t *, size_t) {
                      ++sent;
                      return RTP_SUCCESS;
                  },
                  false),
              RTP_FAILED);
    EXPECT_NE(err.stop().find("Attempted multistream mode for non initialized ZRTP"),
              std::string::npos);
    EXPECT_EQ(sent, 0);
}

}  // namespace
}  // namespace tessal
