// SRTP and SRTCP transforms as pure code: RFC 3711 appendix B vectors, the
// IV layout, protect/unprotect round trips, roll-over counters across wraps,
// the replay window and malformed input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "rtp/rtp.hh"
#include "security/base_srtp.hh"
#include "security/srtcp.hh"
#include "security/srtp.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"
#include "util/shared_ssrc.hh"

using namespace tessal;
using tessal::test::stderr_capture;

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const std::string &text) {
    bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bytes slice(const uint8_t *p, size_t n) {
    return bytes(p, p + n);
}

// RFC 3711 appendix B.2: the AES-CM keystream for session key
// 2B7E1516..., salt F0F1...FD, SSRC 0, index 0, i.e. the counter blocks
// F0F1...FD0000, ...0001, ...0002.
TEST(SrtpVectors, Rfc3711B2KeystreamThroughTheEncryptPath) {
    srtp s(0);
    srtp_ctx &ctx = s.get_local_ctx();
    const bytes key = hex("2B7E151628AED2A6ABF7158809CF4F3C");
    const bytes salt = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD");
    std::memcpy(ctx.enc_key.data(), key.data(), key.size());
    std::memcpy(ctx.salt_key.data(), salt.data(), salt.size());
    ctx.key_len = 16;
    bytes zeros(48, 0);
    ASSERT_EQ(s.encrypt(0, 0, zeros.data(), zeros.size()), RTP_SUCCESS);
    EXPECT_EQ(zeros, hex("E03EAD0935C95E80E166B16DD92B4EB4"
                         "D23513162B02D0F72A43A2FE4A5F97AB"
                         "41E95B3BB0A2E8DD477901E4FCA894C0"));
}

// RFC 3711 appendix B.3, key_derivation_rate 0: the cipher key and salt
// match; the authentication key is the first AES block (16 bytes) followed by
// four zero bytes, where the RFC would run the keystream on.
TEST(SrtpVectors, Rfc3711B3KeyDerivation) {
    const bytes master_key = hex("E1F97A0D3E018BE0D64FA32C06DE4139");
    const bytes master_salt = hex("0EC675AD498AFEEBB6960B3AABE6");
    srtp_ctx ctx;
    ASSERT_EQ(base_srtp::init_srtp_context(ctx, 0, 0, master_key.data(), master_salt.data()),
              RTP_SUCCESS);
    EXPECT_EQ(slice(ctx.enc_key.data(), 16), hex("C61E7A93744F39EE10734AFE3FF7A087"));
    EXPECT_EQ(slice(ctx.salt_key.data(), 14), hex("30CBBC08863D8C85D49DB34A9AE1"));
    EXPECT_EQ(slice(ctx.auth_key.data(), 16), hex("CEBE321F6FF7716B6FD4AB49AF256A15"));
    EXPECT_EQ(slice(ctx.auth_key.data() + 16, 4), bytes(4, 0));
}

TEST(SrtpKeys, LongKeysAreOneBlockPaddedWithZeros) {
    struct Case {
        const char *name;
        int flags;
        size_t key_len;
    } cases[] = {
        {"128", 0, 16},
        {"192", RCE_SRTP_AES192, 24},
        {"256", RCE_SRTP_AES256, 32},
        {"ZRTP keys are 128-bit", RCE_SRTP_KEYS_FROM_ZRTP | RCE_SRTP_AES256, 16},
    };
    const bytes key(32, 0x42);
    const bytes salt(14, 0x17);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(base_srtp::get_key_size(c.flags), c.key_len);
        srtp_ctx ctx;
        ASSERT_EQ(base_srtp::init_srtp_context(ctx, 0, c.flags, key.data(), salt.data()),
                  RTP_SUCCESS);
        EXPECT_NE(slice(ctx.enc_key.data(), 16), bytes(16, 0));
        EXPECT_EQ(slice(ctx.enc_key.data() + 16, 16), bytes(16, 0));
        // SRTCP derives with labels 3..5: different values.
        srtp_ctx rtcp_ctx;
        ASSERT_EQ(base_srtp::init_srtp_context(rtcp_ctx, 1, c.flags, key.data(), salt.data()),
                  RTP_SUCCESS);
        EXPECT_NE(rtcp_ctx.enc_key, ctx.enc_key);
        EXPECT_NE(rtcp_ctx.salt_key, ctx.salt_key);
    }
}

// The IV layout peers of this library depend on: salt || 00 00, SSRC least
// significant byte first into bytes 4..7, index least significant first into
// bytes 6..13 (bytes 6-7 take both).
TEST(SrtpKeys, IvLayoutIsExact) {
    const bytes salt(14, 0);
    uint8_t iv[16];
    ASSERT_EQ(base_srtp::create_iv(iv, 0x11223344, 0x0000AABBCCDDEEFFULL, salt.data()),
              RTP_SUCCESS);
    const bytes expected = {0x00, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22 ^ 0xFF, 0x11 ^ 0xEE,
                            0xDD, 0xCC, 0xBB, 0xAA, 0x00, 0x00, 0x00,        0x00};
    EXPECT_EQ(slice(iv, 16), expected);
    EXPECT_EQ(base_srtp::create_iv(nullptr, 1, 1, salt.data()), RTP_BAD_ARGUMENT);
    EXPECT_EQ(base_srtp::create_iv(iv, 1, 1, nullptr), RTP_BAD_ARGUMENT);
}

// --- protect / unprotect --------------------------------------------------------

const bytes k_key(32, 0x5C);
const bytes k_salt = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};

// A 12-byte RTP header (payload type 96).
bytes rtp_header(uint16_t seq, uint32_t ts = 1000, uint32_t ssrc = 0xDEADBEEF,
                 bool padding = false) {
    bytes header = tessal::test::rtp_packet(ssrc, seq, {}, 96, ts);
    if (padding) {
        header[0] |= 0x20;
    }
    return header;
}

// A sender and a receiver keyed alike.
struct srtp_pair {
    int flags;
    srtp tx;
    srtp rx;
    explicit srtp_pair(int f) : flags(RCE_SRTP | f), tx(flags), rx(flags) {
        tx.init(0, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data());
        rx.init(0, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data());
    }

    // The datagram the send handler produces for `payload`.
    bytes protect(uint16_t seq, bytes payload, bool padding = false) {
        return protect_as(tx, 0xDEADBEEF, seq, std::move(payload), padding);
    }
    // The same from `sender` (keyed alike) as `ssrc`.
    bytes protect_as(srtp &sender, uint32_t ssrc, uint16_t seq, bytes payload,
                     bool padding = false) {
        bytes header = rtp_header(seq, 1000, ssrc, padding);
        bytes tag(k_srtp_tag_size, 0);
        buffer_vector pieces = {{header.size(), header.data()}, {payload.size(), payload.data()}};
        if (flags & RCE_SRTP_AUTH_TAG) {
            pieces.emplace_back(tag.size(), tag.data());
        }
        EXPECT_EQ(srtp::send_packet_handler(&sender, pieces), RTP_SUCCESS);
        bytes datagram;
        for (const auto &p : pieces) {
            datagram.insert(datagram.end(), p.second, p.second + p.first);
        }
        return datagram;
    }

    // Runs the receive chain's header and SRTP stages; the payload on success.
    RTP_ERROR unprotect(bytes datagram, bytes *payload = nullptr) {
        frame::rtp_frame *f = nullptr;
        RTP_ERROR r = rtp::packet_handler(nullptr, flags, datagram.data(), datagram.size(), &f);
        if (r != RTP_PKT_CHANGED) {
            frame::dealloc_frame(f);
            return r;
        }
        r = srtp::recv_packet_handler(&rx, flags, datagram.data(), datagram.size(), &f);
        if (payload != nullptr && f != nullptr) {
            *payload = bytes(f->payload, f->payload + f->payload_length);
        }
        frame::dealloc_frame(f);
        return r;
    }
};

bytes plaintext(size_t n, uint8_t seed) {
    bytes p(n);
    for (size_t i = 0; i < n; ++i) {
        p[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return p;
}

TEST(SrtpTransform, RoundTripEveryKeySizeTagAndCipherChoice) {
    const int key_sizes[] = {0, RCE_SRTP_AES192, RCE_SRTP_AES256};
    for (int size : key_sizes) {
        for (int auth : {0, int{RCE_SRTP_AUTH_TAG}}) {
            for (int null : {0, int{RCE_SRTP_NO_ENCRYPTION}}) {
                if (null && !auth) {
                    continue;  // refused: SrtpFlags.UnauthenticatedChoicesAreRefused
                }
                SCOPED_TRACE("flags " + std::to_string(size | auth | null));
                srtp_pair p(size | auth | null);
                for (size_t len : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{1200}}) {
                    const bytes plain = plaintext(len, static_cast<uint8_t>(len));
                    const bytes wire = p.protect(static_cast<uint16_t>(len), plain);
                    EXPECT_EQ(wire.size(), 12 + len + (auth ? 10 : 0));
                    const bytes body(wire.begin() + 12, wire.begin() + 12 + long(len));
                    if (null || len == 0) {
                        EXPECT_EQ(body, plain);
                    } else {
                        EXPECT_NE(body, plain) << "the payload is encrypted";
                    }
                    bytes got;
                    EXPECT_EQ(p.unprotect(wire, &got), null ? RTP_PKT_SKIPPED : RTP_PKT_CHANGED);
                    EXPECT_EQ(got, plain);
                }
            }
        }
    }
}

// Regression: the tag was removed without checking the payload's length, so
// a short packet wrapped the length and AES wrote past the buffer.
TEST(SrtpTransform, ShortOrTamperedPacketsAreRefusedSafely) {
    srtp_pair p(RCE_SRTP_AUTH_TAG);
    stderr_capture cap;
    // 21 bytes: header + 9 bytes; 22 bytes: header + a tag (checked, wrong).
    EXPECT_EQ(p.unprotect(rtp_header(1)), RTP_FAILED);
    bytes short21 = rtp_header(1);
    short21.resize(21, 0xAA);
    EXPECT_EQ(p.unprotect(short21), RTP_FAILED);
    bytes short22 = rtp_header(1);
    short22.resize(22, 0xAA);
    EXPECT_EQ(p.unprotect(short22), RTP_FAILED);
    // Authentic, but the padding count (decrypted) exceeds the payload.
    bytes overlong = plaintext(3, 1);
    overlong.back() = 0xFF;
    EXPECT_EQ(p.unprotect(p.protect(2, overlong, true)), RTP_FAILED);
    // A padding flag set after protection: the tag catches it before any
    // padding byte is read.
    bytes padded = p.protect(2, plaintext(3, 1));
    padded[0] |= 0x20;
    EXPECT_EQ(p.unprotect(padded), RTP_FAILED);
    // One flipped bit anywhere: refused.
    const bytes good = p.protect(3, plaintext(100, 9));
    for (size_t i = 0; i < good.size(); i += 7) {
        bytes bad = good;
        bad[i] ^= 0x10;
        EXPECT_NE(p.unprotect(bad), RTP_PKT_CHANGED) << "byte " << i;
    }
    const std::string out = cap.stop();
    EXPECT_NE(out.find("Received SRTP packet that has too small size"), std::string::npos);
    EXPECT_NE(out.find("Authentication tag mismatch!"), std::string::npos);
    EXPECT_EQ(p.unprotect(good), RTP_PKT_CHANGED) << "the untouched packet still passes";
}

// Padding is encrypted and authenticated with the payload, and removed only
// after both.
TEST(SrtpTransform, PaddingIsRemovedAfterDecryption) {
    for (int auth : {0, int{RCE_SRTP_AUTH_TAG}}) {
        SCOPED_TRACE(auth);
        srtp_pair p(auth);
        bytes payload = plaintext(20, 3);
        payload.insert(payload.end(), {0, 0, 0, 4});  // four bytes of padding
        const bytes wire = p.protect(5, payload, true);
        bytes got;
        ASSERT_EQ(p.unprotect(wire, &got), RTP_PKT_CHANGED);
        EXPECT_EQ(got, plaintext(20, 3));
    }
}

// RFC 3550 section 5.1: a payload may be all padding (bandwidth probes).
// It authenticates and decrypts to an empty payload, for the statistics to
// count; padding that claims more than the payload is refused. Before, the
// all-padding packet was refused too, and counted as lost by the receiver.
TEST(SrtpTransform, PaddingOnlyPayloadIsAcceptedOverlongPaddingIsNot) {
    for (int auth : {0, int{RCE_SRTP_AUTH_TAG}}) {
        SCOPED_TRACE(auth);
        srtp_pair p(auth);
        bytes got = {1};
        EXPECT_EQ(p.unprotect(p.protect(5, {0, 0, 0, 4}, true), &got), RTP_PKT_CHANGED);
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(p.unprotect(p.protect(6, {0, 0, 0, 5}, true)), RTP_FAILED);
    }
}

TEST(SrtpTransform, ReplayedPacketsAreDroppedOnlyWithAntiReplay) {
    for (int replay : {0, int{RCE_SRTP_ANTI_REPLAY}}) {
        SCOPED_TRACE(replay);
        srtp_pair p(RCE_SRTP_AUTH_TAG | replay);
        const bytes first = p.protect(10, plaintext(50, 1));
        const bytes second = p.protect(11, plaintext(50, 2));
        stderr_capture cap;
        EXPECT_EQ(p.unprotect(second), RTP_PKT_CHANGED);
        EXPECT_EQ(p.unprotect(first), RTP_PKT_CHANGED) << "late, not replayed";
        const RTP_ERROR again = p.unprotect(first);
        const RTP_ERROR third = p.unprotect(second);
        const std::string out = cap.stop();
        if (replay) {
            EXPECT_EQ(again, RTP_FAILED);
            EXPECT_EQ(third, RTP_FAILED);
            EXPECT_NE(out.find("Replayed packet received, discarding!"), std::string::npos);
        } else {
            EXPECT_EQ(again, RTP_PKT_CHANGED);
            EXPECT_EQ(third, RTP_PKT_CHANGED);
        }
    }
}

// Regression: the receiver's roll-over counter moved only when 0xFFFF itself
// arrived, and the sender's only when it sent 0xFFFF, so one lost, duplicated
// or reordered packet at a wrap broke the rest of the session.
TEST(SrtpRollOver, ThreeWrapsWithLossDuplicatesReorderingAndLatePackets) {
    struct Case {
        const char *name;
        // Offsets from each wrap (0 = first packet after 0xFFFF) in arrival
        // order; those in `not_sent` are skipped by the sender as well.
        std::vector<int> arrival;
        std::vector<int> not_sent;
    } cases[] = {
        {"in order", {-3, -2, -1, 0, 1, 2}, {}},
        {"0xFFFF lost", {-3, -2, 0, 1, 2}, {}},
        {"0xFFFF duplicated", {-3, -2, -1, -1, 0, 1}, {}},
        {"reordered across the wrap", {-3, -2, 0, -1, 2, 1}, {}},
        {"late packet of the previous cycle", {-3, -1, 0, 1, 2, 3, -2}, {}},
        {"sender never sent 0xFFFF", {-3, -2, 0, 1}, {-1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        srtp_pair p(RCE_SRTP_AUTH_TAG | RCE_SRTP_ANTI_REPLAY);
        for (int wrap = 1; wrap <= 3; ++wrap) {
            // The sender sends every sequence number from 0xFFF0 up to +3 in
            // order (minus `not_sent`); the network delivers in `arrival`.
            std::map<int, bytes> sent;
            for (int off = -16; off <= 3; ++off) {
                if (std::find(c.not_sent.begin(), c.not_sent.end(), off) != c.not_sent.end()) {
                    continue;
                }
                const auto seq = static_cast<uint16_t>(off);
                sent[off] = p.protect(seq, plaintext(40, static_cast<uint8_t>(off + 16 * wrap)));
            }
            // The packets before the ones under test arrive in order.
            for (int off = -16; off < -3; ++off) {
                ASSERT_EQ(p.unprotect(sent[off]), RTP_PKT_CHANGED) << off;
            }
            std::map<int, int> times;
            for (int off : c.arrival) {
                bytes got;
                const RTP_ERROR r = p.unprotect(sent[off], &got);
                if (times[off]++ == 0) {
                    EXPECT_EQ(r, RTP_PKT_CHANGED) << "wrap " << wrap << " offset " << off;
                    EXPECT_EQ(got, plaintext(40, static_cast<uint8_t>(off + 16 * wrap)));
                } else {
                    EXPECT_EQ(r, RTP_FAILED) << "a duplicate is a replay";
                }
            }
            // Fill in what the arrival list skipped so that the next cycle
            // starts cleanly.
            for (int off = 4; off < 0x7000; off += 0x1000) {
                EXPECT_EQ(p.unprotect(p.protect(static_cast<uint16_t>(off), plaintext(8, 1))),
                          RTP_PKT_CHANGED);
            }
            for (int off = 0x7000; off <= 0xFFEF; off += 0x1000) {
                EXPECT_EQ(p.unprotect(p.protect(static_cast<uint16_t>(off), plaintext(8, 1))),
                          RTP_PKT_CHANGED);
            }
        }
        EXPECT_EQ(p.rx.received_roc(0xDEADBEEF), 3u);
        EXPECT_EQ(p.tx.get_local_ctx().roc, 3u);
    }
}

TEST(SrtpRollOver, SenderCountsWrapsEvenWithAGapAt0xFFFF) {
    srtp s(RCE_SRTP);
    s.init(0, RCE_SRTP, k_key.data(), k_key.data(), k_salt.data(), k_salt.data());
    uint32_t roc = 99;
    uint8_t byte = 0;
    struct Step {
        uint16_t seq;
        uint32_t roc;
    } steps[] = {{0xFFFD, 0}, {0xFFFE, 0}, {0x0002, 1}, {0x0003, 1},
                 {0x8000, 1}, {0xFFF0, 1}, {0x0001, 2}};
    for (const Step &step : steps) {
        ASSERT_EQ(s.encrypt(1, step.seq, &byte, 1, &roc), RTP_SUCCESS);
        EXPECT_EQ(roc, step.roc) << "seq " << step.seq;
    }
}

// RFC 3711 section 3.3.2 window over the index.
// --- refusals and per-sender state -----------------------------------------------

// Without RCE_SRTP_AUTH_TAG the null cipher protects nothing and the replay
// window runs over indices anyone can forge: SRTP refuses both (the old
// behaviour took them and reported success). SRTCP always carries its tag.
TEST(SrtpFlags, UnauthenticatedChoicesAreRefused) {
    const struct Case {
        const char *name;
        int flags;
        RTP_ERROR srtp_result;
    } cases[] = {
        {"encrypted, no tag (warned)", 0, RTP_SUCCESS},
        {"null cipher, no tag", RCE_SRTP_NO_ENCRYPTION, RTP_BAD_ARGUMENT},
        {"anti-replay, no tag", RCE_SRTP_ANTI_REPLAY, RTP_BAD_ARGUMENT},
        {"null cipher and anti-replay, no tag", RCE_SRTP_NO_ENCRYPTION | RCE_SRTP_ANTI_REPLAY,
         RTP_BAD_ARGUMENT},
        {"null cipher with tag", RCE_SRTP_NO_ENCRYPTION | RCE_SRTP_AUTH_TAG, RTP_SUCCESS},
        {"anti-replay with tag", RCE_SRTP_ANTI_REPLAY | RCE_SRTP_AUTH_TAG, RTP_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int flags = RCE_SRTP | c.flags;
        srtp s(flags);
        EXPECT_EQ(s.init(0, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data()),
                  c.srtp_result);
        EXPECT_EQ(s.keyed(), c.srtp_result == RTP_SUCCESS);
        srtcp rtcp;
        EXPECT_EQ(rtcp.init(1, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data()),
                  RTP_SUCCESS);
    }
}

// Regression: one key serves both directions, so a packet of our own sent
// back verified and was delivered as the peer's, its far-ahead index moving
// the receive state. It is dropped, counted, and nothing moves.
TEST(SrtpReceive, OwnSsrcIsDroppedBeforeAnyStateMoves) {
    constexpr uint32_t k_own = 0x0BADF00D;
    constexpr uint32_t k_peer = 0xDEADBEEF;
    srtp_pair p(RCE_SRTP_AUTH_TAG | RCE_SRTP_ANTI_REPLAY);
    p.rx.set_local_ssrc(make_shared_ssrc(k_own));
    srtp own_sender(p.flags);
    ASSERT_EQ(own_sender.init(0, p.flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data()),
              RTP_SUCCESS);
    ASSERT_EQ(p.unprotect(p.protect(100, plaintext(30, 1))), RTP_PKT_CHANGED);
    for (uint16_t seq : {uint16_t{30000}, uint16_t{60000}, uint16_t{10}}) {
        EXPECT_EQ(p.unprotect(p.protect_as(own_sender, k_own, seq, plaintext(30, 2))), RTP_FAILED);
    }
    // An SSRC this object sent with earlier (the local one changed since,
    // on a collision) is its own too.
    const bytes sent_earlier = p.protect_as(p.rx, 0x5555, 7, plaintext(30, 4));
    EXPECT_EQ(p.unprotect(sent_earlier), RTP_FAILED);
    EXPECT_EQ(p.rx.drops().own, 4u);
    EXPECT_EQ(p.rx.drops().auth, 0u);
    EXPECT_EQ(p.rx.received_roc(k_own), 0u);
    bytes got;
    EXPECT_EQ(p.unprotect(p.protect(101, plaintext(30, 3)), &got), RTP_PKT_CHANGED);
    EXPECT_EQ(got, plaintext(30, 3));
    EXPECT_EQ(p.rx.received_roc(k_peer), 0u);
}

// Regression: the roll-over estimate and the replay window were one per
// context, so another sender's packets under the same key (a reflected or a
// cross stream) wrapped them and the real peer's next packets failed. Each
// sender SSRC now has its own.
TEST(SrtpReceive, AnotherSendersPacketsLeaveThePeersStateAlone) {
    for (int replay : {0, int{RCE_SRTP_ANTI_REPLAY}}) {
        SCOPED_TRACE(replay ? "anti-replay" : "no anti-replay");
        srtp_pair p(RCE_SRTP_AUTH_TAG | replay);
        srtp other(p.flags);
        ASSERT_EQ(other.init(0, p.flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data()),
                  RTP_SUCCESS);
        ASSERT_EQ(p.unprotect(p.protect(100, plaintext(30, 1))), RTP_PKT_CHANGED);
        // Far ahead, then across the wrap: the other sender's ROC becomes 1.
        for (uint16_t seq : {uint16_t{30000}, uint16_t{60000}, uint16_t{10}}) {
            ASSERT_EQ(p.unprotect(p.protect_as(other, 0x2222, seq, plaintext(30, 2))),
                      RTP_PKT_CHANGED);
        }
        EXPECT_EQ(p.rx.received_roc(0x2222), 1u);
        for (uint16_t seq = 101; seq < 104; ++seq) {
            bytes got;
            EXPECT_EQ(p.unprotect(p.protect(seq, plaintext(30, 3)), &got), RTP_PKT_CHANGED) << seq;
            EXPECT_EQ(got, plaintext(30, 3));
        }
        EXPECT_EQ(p.rx.received_roc(0xDEADBEEF), 0u);
        EXPECT_EQ(p.rx.drops().auth, 0u);
        EXPECT_EQ(p.rx.drops().replay, 0u);
    }
}

// The receive state is bounded: a sender beyond k_srtp_max_remote_ssrcs is
// dropped (counted as malformed), the known ones go on.
TEST(SrtpReceive, SendersBeyondTheBoundAreDropped) {
    srtp_pair p(RCE_SRTP_AUTH_TAG);
    for (uint32_t ssrc = 1; ssrc <= k_srtp_max_remote_ssrcs; ++ssrc) {
        ASSERT_EQ(p.unprotect(p.protect_as(p.tx, ssrc, 1, plaintext(8, 1))), RTP_PKT_CHANGED);
    }
    EXPECT_EQ(p.unprotect(p.protect_as(p.tx, 0x7777, 1, plaintext(8, 1))), RTP_FAILED);
    EXPECT_EQ(p.rx.drops().malformed, 1u);
    EXPECT_EQ(p.unprotect(p.protect_as(p.tx, 1, 2, plaintext(8, 1))), RTP_PKT_CHANGED);
}

// base_srtp.hh: SSRC and index share IV bytes 6-7, so a sender whose SSRC
// has our low 16 bits can meet our keystream. No counter exists for it: the
// warning is the result.
TEST(SrtpReceive, SenderSharingTheLow16BitsOfOurSsrcIsWarnedAbout) {
    const struct Case {
        const char *name;
        uint32_t peer;
        bool warned;
    } cases[] = {{"same low 16 bits", 0x1234BEEF, true}, {"different low bits", 0xDEAD0001, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        srtp_pair p(RCE_SRTP_AUTH_TAG);
        p.rx.set_local_ssrc(make_shared_ssrc(0xDEADBEEF));
        stderr_capture cap;
        EXPECT_EQ(p.unprotect(p.protect_as(p.tx, c.peer, 1, plaintext(8, 1))), RTP_PKT_CHANGED);
        const std::string out = cap.stop();
        EXPECT_EQ(out.find("shares its low 16 bits") != std::string::npos, c.warned) << out;
    }
}

// A context overwrites its keys and salts when it is destroyed. Built in
// storage of our own so that the bytes can be read after the destructor.
TEST(SrtpKeys, ContextWipesItsKeysWhenDestroyed) {
    alignas(srtp_ctx) unsigned char storage[sizeof(srtp_ctx)];
    auto *ctx = new (storage) srtp_ctx;
    ASSERT_EQ(base_srtp::init_srtp_context(*ctx, 0, RCE_SRTP_AES256, k_key.data(), k_salt.data()),
              RTP_SUCCESS);
    struct field {
        const char *name;
        size_t offset;
        size_t size;
    };
    auto at = [&](const uint8_t *p, size_t n, const char *name) {
        return field{name, static_cast<size_t>(p - reinterpret_cast<const uint8_t *>(storage)), n};
    };
    const field fields[] = {
        at(ctx->master_key.data(), ctx->master_key.size(), "master key"),
        at(ctx->master_salt.data(), ctx->master_salt.size(), "master salt"),
        at(ctx->enc_key.data(), ctx->enc_key.size(), "session key"),
        at(ctx->auth_key.data(), ctx->auth_key.size(), "authentication key"),
        at(ctx->salt_key.data(), ctx->salt_key.size(), "session salt"),
    };
    for (const field &f : fields) {
        EXPECT_NE(std::count(storage + f.offset, storage + f.offset + f.size, 0), long(f.size))
            << f.name << " was keyed";
    }
    ctx->~srtp_ctx();
    for (const field &f : fields) {
        EXPECT_EQ(std::count(storage + f.offset, storage + f.offset + f.size, 0), long(f.size))
            << f.name;
    }
}

TEST(SrtpReplayWindow, SlidingWindowTable) {
    replay_window w;
    EXPECT_FALSE(w.is_replayed(10000));
    w.accept(10000);
    struct Case {
        const char *name;
        uint64_t index;
        bool replayed_before_accept;
    } cases[] = {
        {"same index", 10000, true},
        {"newer", 10001, false},
        {"63 behind the highest", 10001 - 63, false},
        {"64 behind: still inside", 10001 - 64, false},
        {"1023 behind the highest", 10001 - 1023, false},
        {"1024 behind the highest: too old", 10001 - 1024, true},
        {"far ahead", 15000, false},
        {"the old highest, now far behind", 10001, true},
        {"just below the new highest", 14999, false},
        {"65 ahead: across a word", 15065, false},
        {"what 65 moved into the second word is remembered", 15000, true},
        {"and its neighbour behind is not", 14998, false},
        {"moved 130 into the third word", 15195, false},
        {"remembered there", 15065, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(w.is_replayed(c.index), c.replayed_before_accept);
        if (!c.replayed_before_accept) {
            w.accept(c.index);
            EXPECT_TRUE(w.is_replayed(c.index));
        }
    }
}

// --- SRTCP --------------------------------------------------------------------

struct srtcp_pair {
    int flags;
    srtcp tx;
    srtcp rx;
    explicit srtcp_pair(int f) : flags(RCE_SRTP | f) {
        tx.init(1, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data());
        rx.init(1, flags, k_key.data(), k_key.data(), k_salt.data(), k_salt.data());
    }
};

// A receiver report with one report block, plus the 14-byte trailer space.
bytes rtcp_packet(uint8_t fill) {
    bytes p = {0x81, 201, 0, 7, 0x11, 0x22, 0x33, 0x44};
    for (int i = 0; i < 24; ++i) {
        p.push_back(static_cast<uint8_t>(fill + i));
    }
    p.resize(p.size() + k_srtcp_trailer_size, 0);
    return p;
}

TEST(SrtcpTransform, ProtectVerifyDecryptAndTheIndexWord) {
    for (int null : {0, int{RCE_SRTP_NO_ENCRYPTION}}) {
        SCOPED_TRACE(null);
        srtcp_pair p(null);
        const bytes plain = rtcp_packet(3);
        bytes wire = plain;
        ASSERT_EQ(p.tx.handle_rtcp_encryption(p.flags, 7, 0x11223344, wire.data(),
                                              static_cast<uint32_t>(wire.size())),
                  RTP_SUCCESS);
        uint32_t word = 0;
        std::memcpy(&word, wire.data() + wire.size() - 14, 4);  // host order
        EXPECT_EQ(word, null ? 7u : 0x80000007u);
        EXPECT_EQ(bytes(wire.begin(), wire.begin() + 8), bytes(plain.begin(), plain.begin() + 8));
        if (null) {
            EXPECT_EQ(bytes(wire.begin() + 8, wire.end() - 14),
                      bytes(plain.begin() + 8, plain.end() - 14));
        } else {
            EXPECT_NE(bytes(wire.begin() + 8, wire.end() - 14),
                      bytes(plain.begin() + 8, plain.end() - 14));
        }
        bytes copy = wire;
        ASSERT_EQ(p.rx.handle_rtcp_decryption(p.flags, 0x11223344, copy.data(), copy.size()),
                  RTP_SUCCESS);
        EXPECT_EQ(bytes(copy.begin(), copy.end() - 14), bytes(plain.begin(), plain.end() - 14));

        stderr_capture cap;
        bytes bad = wire;
        bad[10] ^= 1;
        EXPECT_EQ(p.rx.handle_rtcp_decryption(p.flags, 0x11223344, bad.data(), bad.size()),
                  RTP_AUTH_FAILED);
        bytes short_packet(21, 0x80);
        EXPECT_EQ(p.rx.handle_rtcp_decryption(p.flags, 1, short_packet.data(), short_packet.size()),
                  RTP_AUTH_FAILED);
        EXPECT_NE(cap.stop().find("Failed to verify RTCP authentication tag!"), std::string::npos);
    }
}

TEST(SrtcpTransform, ReplayedIndexIsRefusedWithAntiReplay) {
    srtcp_pair p(RCE_SRTP_ANTI_REPLAY);
    bytes wire = rtcp_packet(1);
    ASSERT_EQ(p.tx.handle_rtcp_encryption(p.flags, 1, 5, wire.data(), uint32_t(wire.size())),
              RTP_SUCCESS);
    bytes first = wire;
    EXPECT_EQ(p.rx.handle_rtcp_decryption(p.flags, 5, first.data(), first.size()), RTP_SUCCESS);
    stderr_capture cap;
    bytes again = wire;
    EXPECT_EQ(p.rx.handle_rtcp_decryption(p.flags, 5, again.data(), again.size()), RTP_AUTH_FAILED);
    EXPECT_NE(cap.stop().find("Replayed packet received, discarding!"), std::string::npos);
}

// Regression: a decryption failure was reported as success and the
// ciphertext parsed as RTCP.
TEST(SrtcpTransform, DecryptionFailureIsReported) {
    srtcp_pair p(0);
    bytes wire = rtcp_packet(2);
    ASSERT_EQ(p.tx.handle_rtcp_encryption(p.flags, 1, 5, wire.data(), uint32_t(wire.size())),
              RTP_SUCCESS);
    p.rx.get_remote_ctx().key_len = 17;  // an AES key AES refuses
    stderr_capture cap;
    EXPECT_NE(p.rx.handle_rtcp_decryption(p.flags, 5, wire.data(), wire.size()), RTP_SUCCESS);
    EXPECT_NE(cap.stop().find("Failed to decrypt RTCP Sender Report"), std::string::npos);
}

TEST(SrtcpTransform, WithoutSrtpNothingChanges) {
    srtcp_pair p(0);
    bytes wire = rtcp_packet(4);
    const bytes before = wire;
    EXPECT_EQ(p.tx.handle_rtcp_encryption(0, 1, 5, wire.data(), uint32_t(wire.size())),
              RTP_SUCCESS);
    EXPECT_EQ(p.rx.handle_rtcp_decryption(0, 5, wire.data(), wire.size()), RTP_SUCCESS);
    EXPECT_EQ(wire, before);
}

}  // namespace
