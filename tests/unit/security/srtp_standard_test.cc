// Standard SRTP/SRTCP as pure code: RFC 3711 appendix B and RFC 6188 section
// 7 (keystream, key derivation), RFC 7714 sections 16 and 17 (AES-GCM), then
// round trips of every profile, the roll-over counter across a wrap, replays,
// forgeries and a truncation sweep.

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "security/aes.hh"
#include "security/srtcp_standard.hh"
#include "security/srtp_standard.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"

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

const srtp_profile_info &profile(RTP_SRTP_PROFILE id) {
    const srtp_profile_info *p = find_srtp_profile(id);
    EXPECT_NE(p, nullptr);
    return *p;
}

// --- RFC 3711 B.2, RFC 6188 7.1 / 7.3: AES-CM keystream ---------------------

struct keystream_case {
    const char *name;
    const char *key;
    bytes first;  // blocks at counters ...0000, 0001, 0002
    bytes last;   // blocks at counters ...FEFF, FF00, FF01
};

TEST(SrtpStandardVectors, AesCmKeystreamOfTheWholeSegment) {
    const keystream_case cases[] = {
        {"RFC 3711 B.2 (AES-128)", "2B7E151628AED2A6ABF7158809CF4F3C",
         hex("E03EAD0935C95E80E166B16DD92B4EB4 D23513162B02D0F72A43A2FE4A5F97AB"
             "41E95B3BB0A2E8DD477901E4FCA894C0"),
         hex("EC8CDF7398607CB0F2D21675EA9EA1E4 362B7C3C6773516318A077D7FC5073AE"
             "6A2CC3787889374FBEB4C81B17BA6C44")},
        {"RFC 6188 7.1 (AES-256)",
         "57f82fe3613fd170a85ec93c40b1f0922ec4cb0dc025b58272147cc438944a98",
         hex("92bdd28a93c3f52511c677d08b5515a4 9da71b2378a854f67050756ded165bac"
             "63c4868b7096d88421b563b8c94c9a31"),
         hex("cea518c90fd91ced9cbb18c078a54711 3dbc4814f4da5f00a08772b63c6a046d"
             "6eb246913062a16891433e97dd01a57f")},
    };
    const bytes salt = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD");
    const bytes auth(20, 0);
    for (const keystream_case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.key);
        const srtp_profile_info &p =
            profile(key.size() == 16 ? SRTP_AES_CM_128_HMAC_SHA1_80 : SRTP_AES_256_CM_HMAC_SHA1_80);
        srtp_std_keys keys;
        ASSERT_EQ(keys.init_session(p, key.data(), salt.data(), auth.data()), RTP_SUCCESS);
        uint8_t iv[16];
        keys.cm_iv(0, 0, iv);
        EXPECT_EQ(bytes(iv, iv + 16), hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000"));
        bytes segment(65282 * 16, 0);
        keys.ctr().resync(iv);
        keys.ctr().encrypt(segment.data(), segment.data(), segment.size());
        EXPECT_EQ(bytes(segment.begin(), segment.begin() + 48), c.first);
        EXPECT_EQ(bytes(segment.end() - 48, segment.end()), c.last);
    }
}

// --- RFC 3711 B.3, RFC 6188 7.2 / 7.4: key derivation, kdr 0 ----------------

struct derivation_case {
    const char *name;
    const char *master_key;
    const char *master_salt;
    const char *cipher_key;
    const char *cipher_salt;
    const char *auth_key;  // first 20 bytes
};

TEST(SrtpStandardVectors, KeyDerivationByLabel) {
    const derivation_case cases[] = {
        {"RFC 3711 B.3", "E1F97A0D3E018BE0D64FA32C06DE4139", "0EC675AD498AFEEBB6960B3AABE6",
         "C61E7A93744F39EE10734AFE3FF7A087", "30CBBC08863D8C85D49DB34A9AE1",
         "CEBE321F6FF7716B6FD4AB49AF256A156D38BAA4"},
        {"RFC 6188 7.2", "f0f04914b513f2763a1b1fa130f10e2998f6f6e43e4309d1e622a0e332b9f1b6",
         "3b04803de51ee7c96423ab5b78d2",
         "5ba1064e30ec51613cad926c5a28ef731ec7fb397f70a960653caf06554cd8c4",
         "fa31791685ca444a9e07c6c64e93", "fd9c32d39ed5fbb5a9dc96b30818454d1313dc05"},
        {"RFC 6188 7.4", "73edc66c4fa15776fb57f9505c17136550ffda71f3e8e5f1",
         "c8522f3acd4ce86d5add78edbb11", "31874736a8f1143870c26e4857d8a5b2c4a354407faadabb",
         "2372b82d639b6d8503a47adc0a6c", "355b10973cd95b9eacf4061c7e1a7151e7cfbfcb"},
    };
    for (const derivation_case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.master_key);
        const bytes salt = hex(c.master_salt);
        const bytes want_key = hex(c.cipher_key);
        bytes out_key(want_key.size());
        bytes out_salt(14);
        bytes out_auth(20);
        ASSERT_EQ(srtp_std_derive(key.data(), key.size(), salt.data(), 14, 0, out_key.data(),
                                  out_key.size()),
                  RTP_SUCCESS);
        ASSERT_EQ(srtp_std_derive(key.data(), key.size(), salt.data(), 14, 2, out_salt.data(), 14),
                  RTP_SUCCESS);
        ASSERT_EQ(srtp_std_derive(key.data(), key.size(), salt.data(), 14, 1, out_auth.data(), 20),
                  RTP_SUCCESS);
        EXPECT_EQ(out_key, want_key);
        EXPECT_EQ(out_salt, hex(c.cipher_salt));
        EXPECT_EQ(out_auth, hex(c.auth_key));
    }
    // The 94-byte authentication key of B.3 continues the same keystream.
    const bytes key = hex(cases[0].master_key);
    const bytes salt = hex(cases[0].master_salt);
    bytes auth94(94);
    ASSERT_EQ(srtp_std_derive(key.data(), 16, salt.data(), 14, 1, auth94.data(), auth94.size()),
              RTP_SUCCESS);
    EXPECT_EQ(bytes(auth94.end() - 14, auth94.end()), hex("6B68642C59BBFC2F34DB60DBDFB2"));
}

TEST(SrtpStandardVectors, DerivationRejectsBadLengths) {
    const bytes key(16, 1);
    const bytes salt(14, 2);
    bytes out(16);
    EXPECT_EQ(srtp_std_derive(key.data(), 16, salt.data(), 13, 0, out.data(), 16),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(srtp_std_derive(key.data(), 15, salt.data(), 14, 0, out.data(), 16), RTP_FAILED);
    EXPECT_EQ(srtp_std_derive(nullptr, 16, salt.data(), 14, 0, out.data(), 16), RTP_BAD_ARGUMENT);
}

// --- RFC 7714 sections 16 and 17: AES-GCM ------------------------------------

const char *const k_gcm_key128 = "000102030405060708090a0b0c0d0e0f";
const char *const k_gcm_key256 = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const char *const k_gcm_salt = "517569642070726f2071756f";
const char *const k_rtp_plain =
    "8040f17b8041f8d35501a0b247616c6c696120657374206f6d6e697320646976"
    "69736120696e207061727465732074726573";
const char *const k_rtcp_plain =
    "81c8000d4d6172734e5450314e54503252545020"
    "0000042a0000e9304c756e61deadbeefdeadbeefdeadbeefdeadbeefdeadbeef";

struct gcm_rtp_case {
    const char *name;
    RTP_SRTP_PROFILE id;
    const char *key;
    const char *protected_packet;
};

const gcm_rtp_case k_gcm_rtp_cases[] = {
    {"RFC 7714 16.1.1 AEAD_AES_128_GCM", SRTP_AEAD_AES_128_GCM, k_gcm_key128,
     "8040f17b8041f8d35501a0b2f24de3a3fb34de6cacba861c9d7e4bcabe633bd5"
     "0d294e6f42a5f47a51c7d19b36de3adf8833899d7f27beb16a9152cf765ee439"
     "0cce"},
    {"RFC 7714 16.2.1 AEAD_AES_256_GCM", SRTP_AEAD_AES_256_GCM, k_gcm_key256,
     "8040f17b8041f8d35501a0b232b1de78a822fe12ef9f78fa332e33aab1801238"
     "9a58e2f3b50b2a0276ffae0f1ba63799b87b7aa3db36dfffd6b0f9bb7878d7a7"
     "6c13"},
};

// An srtp_standard of `id` whose session keys are replaced by the vector's.
void key_with_session(srtp_standard &s, RTP_SRTP_PROFILE id, const bytes &key) {
    const srtp_profile_info &p = profile(id);
    const bytes master(p.key_len + p.salt_len, 0x5A);
    ASSERT_EQ(s.init(id, master.data(), master.size(), master.data(), master.size()), RTP_SUCCESS);
    const bytes salt = hex(k_gcm_salt);
    ASSERT_EQ(s.send_keys().init_session(p, key.data(), salt.data(), nullptr), RTP_SUCCESS);
    ASSERT_EQ(s.recv_keys().init_session(p, key.data(), salt.data(), nullptr), RTP_SUCCESS);
}

TEST(SrtpStandardVectors, Rfc7714SrtpEncryptionAndDecryption) {
    for (const gcm_rtp_case &c : k_gcm_rtp_cases) {
        SCOPED_TRACE(c.name);
        srtp_standard s;
        key_with_session(s, c.id, hex(c.key));
        bytes packet = hex(k_rtp_plain);
        bytes tag(k_std_srtp_max_tag, 0);
        buffer_vector pieces = {{12, packet.data()},
                                {packet.size() - 12, packet.data() + 12},
                                {tag.size(), tag.data()}};
        ASSERT_EQ(s.protect(pieces), RTP_SUCCESS);
        ASSERT_EQ(pieces[2].first, 16U);
        bytes wire = packet;
        wire.insert(wire.end(), tag.begin(), tag.end());
        EXPECT_EQ(wire, hex(c.protected_packet));

        // Decryption of the printed packet, by a receiver of its own.
        srtp_standard r;
        key_with_session(r, c.id, hex(c.key));
        bytes in = hex(c.protected_packet);
        size_t plain = 0;
        ASSERT_EQ(r.unprotect(in.data(), in.size(), &plain), RTP_SUCCESS);
        in.resize(plain);
        EXPECT_EQ(in, hex(k_rtp_plain));
    }
}

struct gcm_rtcp_case {
    const char *name;
    RTP_SRTP_PROFILE id;
    const char *key;
    bool encrypted;
    const char *srtcp;
};

const gcm_rtcp_case k_gcm_rtcp_cases[] = {
    {"RFC 7714 17.1 AEAD_AES_128_GCM, E=1", SRTP_AEAD_AES_128_GCM, k_gcm_key128, true,
     "81c8000d4d61727363e94885dcdab67ca727d7662f6b7e997ff5c0f76c06f32d"
     "c676a5f1730d6fda4ce09b4686303ded0bb9275bc84aa45896cf4d2fc5abf872"
     "45d9eade800005d4"},
    {"RFC 7714 17.2 AEAD_AES_256_GCM, E=1", SRTP_AEAD_AES_256_GCM, k_gcm_key256, true,
     "81c8000d4d617273d50ae4d1f5ce5d304ba297e47d470c282c3ece5dbffe0a50"
     "a2eaa5c1110555be8415f658c61de0476f1b6fad1d1eb30c4446839f57ff6f6c"
     "b26ac3be800005d4"},
    {"RFC 7714 17.3 AEAD_AES_128_GCM, E=0", SRTP_AEAD_AES_128_GCM, k_gcm_key128, false,
     "81c8000d4d6172734e5450314e545032525450200000042a0000e9304c756e61"
     "deadbeefdeadbeefdeadbeefdeadbeefdeadbeef841dd9683dd78ec92ae58790"
     "125f62b3000005d4"},
    {"RFC 7714 17.4 AEAD_AES_256_GCM, E=0", SRTP_AEAD_AES_256_GCM, k_gcm_key256, false,
     "81c8000d4d6172734e5450314e545032525450200000042a0000e9304c756e61"
     "deadbeefdeadbeefdeadbeefdeadbeefdeadbeef91db4afbfeee5a978fab4393"
     "ed2615fe000005d4"},
};

void key_with_session(srtcp_standard &s, RTP_SRTP_PROFILE id, const bytes &key) {
    const srtp_profile_info &p = profile(id);
    const bytes master(p.key_len + p.salt_len, 0x5A);
    ASSERT_EQ(s.init_standard(id, master.data(), master.size(), master.data(), master.size()),
              RTP_SUCCESS);
    const bytes salt = hex(k_gcm_salt);
    ASSERT_EQ(s.send_keys().init_session(p, key.data(), salt.data(), nullptr), RTP_SUCCESS);
    ASSERT_EQ(s.recv_keys().init_session(p, key.data(), salt.data(), nullptr), RTP_SUCCESS);
}

TEST(SrtpStandardVectors, Rfc7714SrtcpProtectAndVerify) {
    for (const gcm_rtcp_case &c : k_gcm_rtcp_cases) {
        SCOPED_TRACE(c.name);
        srtcp_standard s;
        key_with_session(s, c.id, hex(c.key));
        ASSERT_EQ(s.trailer_size(), 20U);
        bytes packet = hex(k_rtcp_plain);
        packet.resize(packet.size() + s.trailer_size());
        ASSERT_EQ(s.protect(packet.data(), packet.size(), 0x5d4, c.encrypted), RTP_SUCCESS);
        EXPECT_EQ(packet, hex(c.srtcp));

        srtcp_standard r;
        key_with_session(r, c.id, hex(c.key));
        bytes in = hex(c.srtcp);
        size_t plain = 0;
        ASSERT_EQ(r.unprotect(in.data(), in.size(), &plain), RTP_SUCCESS);
        in.resize(plain);
        EXPECT_EQ(in, hex(k_rtcp_plain));
    }
}

// --- round trips of every profile --------------------------------------------

struct profile_case {
    RTP_SRTP_PROFILE id;
    size_t rtp_tag;
    size_t rtcp_trailer;
};

const profile_case k_profiles[] = {
    {SRTP_AES_CM_128_HMAC_SHA1_80, 10, 14}, {SRTP_AES_CM_128_HMAC_SHA1_32, 4, 14},
    {SRTP_AES_256_CM_HMAC_SHA1_80, 10, 14}, {SRTP_AEAD_AES_128_GCM, 16, 20},
    {SRTP_AEAD_AES_256_GCM, 16, 20},
};

bytes master_of(RTP_SRTP_PROFILE id, uint8_t seed) {
    const srtp_profile_info &p = profile(id);
    bytes m(p.key_len + p.salt_len);
    for (size_t i = 0; i < m.size(); ++i) {
        m[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return m;
}

// A sender keyed with `a` and a receiver with the same key as its receive key.
struct pair_of_ends {
    srtp_standard tx;
    srtp_standard rx;
    RTP_SRTP_PROFILE id;

    explicit pair_of_ends(RTP_SRTP_PROFILE profile_id) : id(profile_id) {
        const bytes a = master_of(id, 1);
        const bytes b = master_of(id, 2);
        EXPECT_EQ(tx.init(id, a.data(), a.size(), b.data(), b.size()), RTP_SUCCESS);
        EXPECT_EQ(rx.init(id, b.data(), b.size(), a.data(), a.size()), RTP_SUCCESS);
    }

    // The datagram the sender puts on the wire for (ssrc, seq, payload).
    bytes send(uint32_t ssrc, uint16_t seq, const bytes &payload) {
        bytes packet = test::rtp_packet(ssrc, seq, payload);
        bytes tag(k_std_srtp_max_tag, 0);
        buffer_vector pieces = {{12, packet.data()},
                                {packet.size() - 12, packet.data() + 12},
                                {tag.size(), tag.data()}};
        EXPECT_EQ(tx.protect(pieces), RTP_SUCCESS);
        packet.insert(packet.end(), tag.begin(), tag.begin() + static_cast<long>(pieces[2].first));
        return packet;
    }

    // True and the plaintext packet when the receiver accepts `wire`.
    bool receive(bytes wire, bytes *plain = nullptr) {
        size_t n = 0;
        if (rx.unprotect(wire.data(), wire.size(), &n) != RTP_SUCCESS) {
            return false;
        }
        wire.resize(n);
        if (plain != nullptr) {
            *plain = wire;
        }
        return true;
    }
};

TEST(SrtpStandard, EveryProfileRoundTripsAndHidesThePayload) {
    for (const profile_case &c : k_profiles) {
        const srtp_profile_info &p = profile(c.id);
        SCOPED_TRACE(p.name);
        pair_of_ends ends(c.id);
        for (size_t len :
             {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1200}}) {
            SCOPED_TRACE(len);
            bytes payload(len);
            for (size_t i = 0; i < len; ++i) {
                payload[i] = static_cast<uint8_t>(i * 3);
            }
            const bytes wire = ends.send(0x11223344, static_cast<uint16_t>(100 + len), payload);
            ASSERT_EQ(wire.size(), 12 + len + c.rtp_tag);
            if (len >= 16) {
                EXPECT_NE(bytes(wire.begin() + 12, wire.begin() + 12 + static_cast<long>(len)),
                          payload);
            }
            bytes plain;
            ASSERT_TRUE(ends.receive(wire, &plain));
            EXPECT_EQ(plain,
                      test::rtp_packet(0x11223344, static_cast<uint16_t>(100 + len), payload));
        }
        srtcp_standard rtcp;
        const bytes m = master_of(c.id, 3);
        ASSERT_EQ(rtcp.init_standard(c.id, m.data(), m.size(), m.data(), m.size()), RTP_SUCCESS);
        EXPECT_EQ(rtcp.trailer_size(), c.rtcp_trailer);
    }
}

// Keys of one direction do not open the other: sending and receiving keys
// differ in every standard signalling.
TEST(SrtpStandard, DirectionsHaveTheirOwnKeys) {
    pair_of_ends ends(SRTP_AES_CM_128_HMAC_SHA1_80);
    const bytes wire = ends.send(7, 1, bytes(40, 0x55));
    size_t n = 0;
    bytes copy = wire;
    EXPECT_NE(ends.tx.unprotect(copy.data(), copy.size(), &n), RTP_SUCCESS);
    EXPECT_TRUE(ends.receive(wire));
}

// RFC 3711 section 3.3.1: across the wrap of the sequence number the
// receiver's estimate of the roll-over counter follows the sender's, late
// packets of the old cycle included; a wrong estimate fails authentication.
TEST(SrtpStandard, RollOverCounterAcrossTheWrap) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        pair_of_ends ends(c.id);
        const uint16_t seqs[] = {65530, 65531, 65532, 65533, 65534, 65535, 0, 1, 2, 3};
        std::vector<bytes> wire;
        for (uint16_t seq : seqs) {
            wire.push_back(ends.send(42, seq, bytes(20, static_cast<uint8_t>(seq))));
        }
        // In order, but 65534 arrives after 1.
        for (size_t i : {0, 1, 2, 3, 5, 6, 7, 4, 8, 9}) {
            SCOPED_TRACE(seqs[i]);
            bytes plain;
            ASSERT_TRUE(ends.receive(wire[i], &plain));
            EXPECT_EQ(plain.back(), static_cast<uint8_t>(seqs[i]));
        }
        EXPECT_EQ(ends.rx.drops().auth, 0U);
    }
}

// The packet after a wrap (ROC 1, a non-zero SSRC and index), against the
// RFC formulas written out here over Crypto++ alone: session keys by the
// PRF of section 4.3 (checked against appendix B.3 above), the AES-CM IV of
// section 4.1.1 and the tag over header || payload || ROC (big-endian) of
// section 4.2, or RFC 7714's IV and AAD.
TEST(SrtpStandard, PacketAfterTheWrapMatchesAReferenceOfTheRfcFormulas) {
    for (const profile_case &c : k_profiles) {
        const srtp_profile_info &p = profile(c.id);
        SCOPED_TRACE(p.name);
        const bytes master = master_of(c.id, 1);
        srtp_standard tx;
        ASSERT_EQ(tx.init(c.id, master.data(), master.size(), nullptr, 0), RTP_SUCCESS);
        const uint32_t ssrc = 0xCAFEF00D;
        bytes payload(100);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(i);
        }
        bytes wire;
        for (uint16_t seq : {uint16_t{65535}, uint16_t{0}}) {
            bytes packet = test::rtp_packet(ssrc, seq, payload);
            bytes tag(k_std_srtp_max_tag);
            buffer_vector pieces = {{12, packet.data()},
                                    {packet.size() - 12, packet.data() + 12},
                                    {tag.size(), tag.data()}};
            ASSERT_EQ(tx.protect(pieces), RTP_SUCCESS);
            packet.insert(packet.end(), tag.begin(),
                          tag.begin() + static_cast<long>(pieces[2].first));
            wire = packet;
        }

        // Session keys: label 0 (cipher), 1 (auth), 2 (salt), PRF input
        // (salt, zero-padded to 14 bytes, ^ label at byte 7) || 00 00.
        const auto prf = [&](uint8_t label, size_t len) {
            uint8_t x[16] = {};
            std::memcpy(x, master.data() + p.key_len, p.salt_len);
            x[7] ^= label;
            CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption ctr(master.data(), p.key_len, x);
            bytes out(len, 0);
            ctr.ProcessData(out.data(), out.data(), len);
            return out;
        };
        const bytes key = prf(0, p.key_len);
        const bytes salt = prf(2, p.salt_len);
        const uint32_t roc = 1;
        const uint16_t seq = 0;
        bytes expected = test::rtp_packet(ssrc, seq, payload);
        if (p.aead) {
            uint8_t iv[12] = {0, 0, 0xCA, 0xFE, 0xF0, 0x0D, 0, 0, 0, 1, 0, 0};
            for (size_t i = 0; i < 12; ++i) {
                iv[i] ^= salt[i];
            }
            CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
            gcm.SetKeyWithIV(key.data(), key.size(), iv, sizeof(iv));
            bytes tag(16);
            gcm.EncryptAndAuthenticate(expected.data() + 12, tag.data(), tag.size(), iv, sizeof(iv),
                                       expected.data(), 12, expected.data() + 12, payload.size());
            expected.insert(expected.end(), tag.begin(), tag.end());
        } else {
            // IV = salt * 2^16 ^ SSRC * 2^64 ^ (ROC * 2^16 + SEQ) * 2^16.
            uint8_t iv[16] = {};
            std::memcpy(iv, salt.data(), 14);
            const uint8_t ssrc_bytes[4] = {0xCA, 0xFE, 0xF0, 0x0D};
            for (size_t i = 0; i < 4; ++i) {
                iv[4 + i] ^= ssrc_bytes[i];
            }
            iv[11] ^= static_cast<uint8_t>(roc);  // index = 0x0000'0001'0000
            CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption ctr(key.data(), key.size(), iv);
            ctr.ProcessData(expected.data() + 12, expected.data() + 12, payload.size());
            const bytes auth = prf(1, 20);
            CryptoPP::HMAC<CryptoPP::SHA1> mac(auth.data(), auth.size());
            const uint8_t roc_be[4] = {0, 0, 0, 1};
            mac.Update(expected.data(), expected.size());
            mac.Update(roc_be, sizeof(roc_be));
            uint8_t digest[20];
            mac.Final(digest);
            expected.insert(expected.end(), digest, digest + c.rtp_tag);
        }
        EXPECT_EQ(wire, expected);
    }
}

// Regression: the sender kept one roll-over counter and reset it to 0 on a
// change of SSRC, so A -> B -> A after A wrapped numbered A's packets with
// an index A had used already: the same IV, the same keystream. With a zero
// payload the ciphertext is the keystream, so a repeated IV shows as two
// equal ciphertexts.
TEST(SrtpStandard, SwitchingSsrcBackAfterAWrapNeverReusesAnIv) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        pair_of_ends ends(c.id);
        const struct {
            uint32_t ssrc;
            uint16_t seq;
        } sent[] = {{0xA, 1}, {0xA, 0x4000}, {0xA, 0x8000}, {0xA, 0xC000},
                    {0xA, 0}, {0xB, 1},      {0xA, 1},      {0xA, 2}};
        std::set<bytes> keystreams;
        for (const auto &p : sent) {
            SCOPED_TRACE(testing::Message() << p.ssrc << " " << p.seq);
            const bytes wire = ends.send(p.ssrc, p.seq, bytes(32, 0));
            EXPECT_TRUE(keystreams.insert(bytes(wire.begin() + 12, wire.begin() + 44)).second);
            EXPECT_TRUE(ends.receive(wire));
        }
        EXPECT_EQ(ends.rx.drops().auth, 0U);
    }
}

// The same as a property over random switches between three SSRCs, each
// with its own sequence numbers stepping by multiples of 0x1000 (so that
// sequence numbers come round again often): no keystream is ever repeated
// and the receiver takes every packet.
TEST(SrtpStandard, RandomSsrcSwitchesNeverRepeatAKeystream) {
    std::mt19937 gen(20261211);
    auto rng = [&gen] { return static_cast<uint32_t>(gen()); };
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        for (int trial = 0; trial < 10; ++trial) {
            SCOPED_TRACE(trial);
            pair_of_ends ends(c.id);
            std::map<uint32_t, uint16_t> next_seq = {{0x100, 0}, {0x200, 0x3000}, {0x300, 0xF000}};
            std::set<bytes> keystreams;
            size_t repeated = 0;
            size_t refused = 0;
            for (int segment = 0; segment < 40; ++segment) {
                const uint32_t ssrc = 0x100 * (1 + rng() % 3);
                for (uint32_t n = 1 + rng() % 6; n > 0; --n) {
                    uint16_t &seq = next_seq[ssrc];
                    const bytes wire = ends.send(ssrc, seq, bytes(16, 0));
                    repeated +=
                        keystreams.insert(bytes(wire.begin() + 12, wire.begin() + 28)).second ? 0
                                                                                              : 1;
                    refused += ends.receive(wire) ? 0 : 1;
                    seq = static_cast<uint16_t>(seq + 0x1000 * (1 + rng() % 7));
                }
            }
            EXPECT_EQ(repeated, 0U);
            EXPECT_EQ(refused, 0U);
        }
    }
}

// The send state is bounded like the receive state: an SSRC beyond
// k_std_srtp_max_ssrcs is refused rather than one forgotten (which would
// restart its index).
TEST(SrtpStandard, SenderRefusesMoreSsrcsThanItKeeps) {
    srtp_standard tx;
    const bytes m = master_of(SRTP_AES_CM_128_HMAC_SHA1_80, 1);
    ASSERT_EQ(tx.init(SRTP_AES_CM_128_HMAC_SHA1_80, m.data(), m.size(), nullptr, 0), RTP_SUCCESS);
    auto protect = [&tx](uint32_t ssrc) {
        bytes packet = test::rtp_packet(ssrc, 1, bytes(8, 0));
        bytes tag(k_std_srtp_max_tag, 0);
        buffer_vector pieces = {
            {12, packet.data()}, {8, packet.data() + 12}, {tag.size(), tag.data()}};
        return tx.protect(pieces);
    };
    for (uint32_t ssrc = 1; ssrc <= k_std_srtp_max_ssrcs; ++ssrc) {
        ASSERT_EQ(protect(ssrc), RTP_SUCCESS);
    }
    EXPECT_EQ(protect(k_std_srtp_max_ssrcs + 1), RTP_FAILED);
    EXPECT_EQ(protect(1), RTP_SUCCESS);
}

TEST(SrtpStandard, ReplaysAndPacketsOlderThanTheWindowAreDroppedAndCounted) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        pair_of_ends ends(c.id);
        const bytes first = ends.send(9, 1000, bytes(30, 1));
        ASSERT_TRUE(ends.receive(first));
        EXPECT_FALSE(ends.receive(first));
        std::vector<bytes> later;
        for (uint16_t seq = 1001; seq < 1001 + 1030; ++seq) {
            later.push_back(ends.send(9, seq, bytes(30, 2)));
        }
        const bytes old = later[2];      // seq 1003, left out for now
        const bytes late = later[1000];  // seq 2001, too
        for (size_t i = 0; i < later.size(); ++i) {
            if (i != 2 && i != 1000) {
                ASSERT_TRUE(ends.receive(later[i]));
            }
        }
        EXPECT_FALSE(ends.receive(old));  // 1027 behind the highest: outside the window
        EXPECT_TRUE(ends.receive(late));  // 29 behind: a retransmission's lateness
        const bytes recent = ends.send(9, 2031, bytes(30, 3));
        const bytes skipped = ends.send(9, 2032, bytes(30, 4));
        ASSERT_TRUE(ends.receive(skipped));
        EXPECT_TRUE(ends.receive(recent));  // late, inside the window, first time
        EXPECT_FALSE(ends.receive(recent));
        EXPECT_EQ(ends.rx.drops().replay, 3U);
        EXPECT_EQ(ends.rx.drops().auth, 0U);
    }
}

// Every byte of the datagram is covered: flipping any of them drops the
// packet alone, and the next genuine packet still passes.
TEST(SrtpStandard, AnyFlippedByteIsRejected) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        pair_of_ends ends(c.id);
        const bytes wire = ends.send(5, 10, bytes(50, 0x77));
        // Byte 0 holds the version: a flip there is a malformed header.
        for (size_t i = 1; i < wire.size(); ++i) {
            bytes forged = wire;
            forged[i] ^= 0x01;
            EXPECT_FALSE(ends.receive(forged)) << "byte " << i;
        }
        EXPECT_EQ(ends.rx.drops().auth, wire.size() - 1);
        EXPECT_TRUE(ends.receive(wire));
    }
}

// Cut at every length: a clean drop, never a read past the datagram.
TEST(SrtpStandard, TruncationSweep) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        pair_of_ends ends(c.id);
        bytes wire = ends.send(5, 10, bytes(40, 0x66));
        wire[0] |= 0x10;  // claims an extension: the header parse must stay in bounds
        for (size_t len = 1; len < wire.size(); ++len) {
            bytes cut(wire.begin(), wire.begin() + static_cast<long>(len));
            cut.shrink_to_fit();
            size_t n = 0;
            EXPECT_NE(ends.rx.unprotect(cut.data(), cut.size(), &n), RTP_SUCCESS) << len;
        }
        const srtp_drop_counts d = ends.rx.drops();
        EXPECT_EQ(d.malformed + d.auth, wire.size() - 1);
    }
}

TEST(SrtpStandard, DropsAreLoggedAtALimitedRateWithoutKeyBytes) {
    pair_of_ends ends(SRTP_AES_CM_128_HMAC_SHA1_80);
    const bytes wire = ends.send(5, 10, bytes(50, 0x77));
    stderr_capture capture;
    for (int i = 0; i < 100; ++i) {
        bytes forged = wire;
        forged[20] ^= 0xFF;
        EXPECT_FALSE(ends.receive(forged));
    }
    const std::string log = capture.stop();
    size_t lines = 0;
    for (size_t at = log.find("authentication failed"); at != std::string::npos;
         at = log.find("authentication failed", at + 1)) {
        ++lines;
    }
    EXPECT_GE(lines, 1U);
    EXPECT_LT(lines, 10U);
    EXPECT_EQ(ends.rx.drops().auth, 100U);
}

TEST(SrtpStandard, InitRefusesWrongProfilesAndLengths) {
    srtp_standard s;
    const bytes m30 = master_of(SRTP_AES_CM_128_HMAC_SHA1_80, 1);
    EXPECT_EQ(s.init(0, m30.data(), m30.size(), m30.data(), m30.size()), RTP_BAD_ARGUMENT);
    EXPECT_EQ(s.init(SRTP_AEAD_AES_128_GCM, m30.data(), m30.size(), nullptr, 0), RTP_BAD_ARGUMENT);
    EXPECT_EQ(s.init(SRTP_AES_CM_128_HMAC_SHA1_80, nullptr, 0, nullptr, 0), RTP_BAD_ARGUMENT);
    EXPECT_FALSE(s.keyed());
    // Receive keys only: nothing can be sent.
    ASSERT_EQ(s.init(SRTP_AES_CM_128_HMAC_SHA1_80, nullptr, 0, m30.data(), m30.size()),
              RTP_SUCCESS);
    bytes packet = test::rtp_packet(1, 1, bytes(10, 1));
    bytes tag(16);
    buffer_vector pieces = {{12, packet.data()}, {10, packet.data() + 12}, {16, tag.data()}};
    EXPECT_EQ(s.protect(pieces), RTP_BAD_ARGUMENT);
    EXPECT_EQ(bytes(packet.begin() + 12, packet.end()), bytes(10, 1));  // untouched
}

// --- SRTCP -------------------------------------------------------------------

TEST(SrtcpStandard, RoundTripReplayAndForgeryForEveryProfile) {
    for (const profile_case &c : k_profiles) {
        SCOPED_TRACE(profile(c.id).name);
        const bytes a = master_of(c.id, 4);
        const bytes b = master_of(c.id, 5);
        srtcp_standard tx;
        srtcp_standard rx;
        ASSERT_EQ(tx.init_standard(c.id, a.data(), a.size(), b.data(), b.size()), RTP_SUCCESS);
        ASSERT_EQ(rx.init_standard(c.id, b.data(), b.size(), a.data(), a.size()), RTP_SUCCESS);
        const bytes rtcp = hex(k_rtcp_plain);
        std::vector<bytes> sent;
        for (int i = 0; i < 4; ++i) {
            bytes packet = rtcp;
            packet.resize(rtcp.size() + tx.trailer_size());
            ASSERT_EQ(tx.handle_rtcp_encryption(RCE_SRTP, 0, 0, packet.data(),
                                                static_cast<uint32_t>(packet.size())),
                      RTP_SUCCESS);
            EXPECT_NE(bytes(packet.begin() + 8, packet.begin() + 52),
                      bytes(rtcp.begin() + 8, rtcp.end()));
            sent.push_back(packet);
        }
        // Indices 0, 1, 2 with E set, where the profile puts the word.
        const size_t word_at = profile(c.id).aead ? sent[2].size() - 4 : rtcp.size();
        EXPECT_EQ(bytes(sent[2].begin() + static_cast<long>(word_at),
                        sent[2].begin() + static_cast<long>(word_at) + 4),
                  hex("80000002"));
        for (size_t i = 0; i < 3; ++i) {
            bytes in = sent[i];
            ASSERT_EQ(rx.handle_rtcp_decryption(RCE_SRTP, 0, in.data(), in.size()), RTP_SUCCESS);
            EXPECT_EQ(bytes(in.begin(), in.begin() + 52), rtcp);
        }
        bytes replay = sent[1];
        EXPECT_EQ(rx.handle_rtcp_decryption(RCE_SRTP, 0, replay.data(), replay.size()),
                  RTP_AUTH_FAILED);
        EXPECT_EQ(rx.drops().replay, 1U);
        // Packet 3, never received: every flipped byte fails.
        for (size_t i = 0; i < sent[3].size(); ++i) {
            bytes forged = sent[3];
            forged[i] ^= 0x40;
            EXPECT_EQ(rx.handle_rtcp_decryption(RCE_SRTP, 0, forged.data(), forged.size()),
                      RTP_AUTH_FAILED)
                << "byte " << i;
        }
        for (size_t len = 1; len < sent[3].size(); ++len) {
            bytes cut(sent[3].begin(), sent[3].begin() + static_cast<long>(len));
            cut.shrink_to_fit();
            EXPECT_EQ(rx.handle_rtcp_decryption(RCE_SRTP, 0, cut.data(), cut.size()),
                      RTP_AUTH_FAILED);
        }
        bytes last = sent[3];
        EXPECT_EQ(rx.handle_rtcp_decryption(RCE_SRTP, 0, last.data(), last.size()), RTP_SUCCESS);
    }
}

TEST(SrtcpStandard, WithoutSendKeysNothingIsProtected) {
    const bytes m = master_of(SRTP_AEAD_AES_128_GCM, 6);
    srtcp_standard s;
    ASSERT_EQ(s.init_standard(SRTP_AEAD_AES_128_GCM, nullptr, 0, m.data(), m.size()), RTP_SUCCESS);
    bytes packet = hex(k_rtcp_plain);
    packet.resize(packet.size() + s.trailer_size());
    EXPECT_NE(s.handle_rtcp_encryption(RCE_SRTP, 0, 0, packet.data(),
                                       static_cast<uint32_t>(packet.size())),
              RTP_SUCCESS);
}

}  // namespace
