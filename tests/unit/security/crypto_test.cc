#include <cryptopp/cryptlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "security/aes.hh"
#include "security/b32.hh"
#include "security/crc32.hh"
#include "security/crypto.hh"
#include "security/dh.hh"
#include "security/hmac.hh"
#include "security/random.hh"
#include "security/sha256.hh"

using namespace tessal;

namespace {

using bytes = std::vector<uint8_t>;

// Hex as the documents print it; spaces only group bytes.
bytes hex(const char *text) {
    bytes out;
    int high = -1;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == ' ') {
            continue;
        }
        const int nibble = std::isdigit(static_cast<unsigned char>(*c))
                               ? *c - '0'
                               : std::tolower(static_cast<unsigned char>(*c)) - 'a' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    EXPECT_EQ(high, -1) << "odd number of hex digits in " << text;
    return out;
}

bytes ascii(const char *text) {
    return bytes(text, text + std::strlen(text));
}

bytes repeat(uint8_t value, size_t count) {
    return bytes(count, value);
}

// A pattern that differs from byte to byte, for round trips.
bytes pattern(size_t len) {
    bytes out(len);
    for (size_t i = 0; i < len; ++i) {
        out[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    return out;
}

TEST(Crypto, IsAlwaysEnabled) {
    static_assert(crypto::enabled(), "the library always carries Crypto++");
    EXPECT_TRUE(crypto::enabled());
}

// ---------------------------------------------------------------- AES-ECB

TEST(AesEcb, KnownAnswers) {
    struct Case {
        const char *name;
        const char *key;
        const char *plaintext;
        const char *ciphertext;
    };
    const Case cases[] = {
        {"FIPS-197 C.1 AES-128", "000102030405060708090a0b0c0d0e0f",
         "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"FIPS-197 C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617",
         "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"FIPS-197 C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        {"NIST SP 800-38A F.1.1 ECB-AES128 block 1", "2b7e151628aed2a6abf7158809cf4f3c",
         "6bc1bee22e409f96e93d7e117393172a", "3ad77bb40d7a3660a89ecaf32466ef97"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.key);
        const bytes pt = hex(c.plaintext);
        const bytes ct = hex(c.ciphertext);
        crypto::aes::ecb ecb(key.data(), key.size());

        bytes out(pt.size());
        ecb.encrypt(out.data(), pt.data(), pt.size());
        EXPECT_EQ(out, ct);

        ecb.decrypt(out.data(), out.data(), out.size());  // in place
        EXPECT_EQ(out, pt);
    }
}

TEST(AesEcb, LengthNotAMultipleOfTheBlockThrows) {
    const bytes key = hex("000102030405060708090a0b0c0d0e0f");
    crypto::aes::ecb ecb(key.data(), key.size());
    bytes buf = pattern(17);
    const bytes before = buf;
    EXPECT_THROW(ecb.encrypt(buf.data(), buf.data(), buf.size()), CryptoPP::InvalidArgument);
    EXPECT_THROW(ecb.decrypt(buf.data(), buf.data(), 15), CryptoPP::InvalidArgument);
    EXPECT_EQ(buf, before);
}

// ---------------------------------------------------------------- AES-CTR

TEST(AesCtr, KnownAnswers) {
    struct Case {
        const char *name;
        const char *key;
        const char *iv;
        const char *plaintext;
        const char *ciphertext;
    };
    // Keystream vectors encrypt zero bytes, so the ciphertext is the keystream.
    const Case cases[] = {
        {"NIST SP 800-38A F.5.1 CTR-AES128.Encrypt block 1", "2b7e151628aed2a6abf7158809cf4f3c",
         "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", "6bc1bee22e409f96e93d7e117393172a",
         "874d6191b620e3261bef6864990db6ce"},
        {"RFC 3711 B.2 AES-CM keystream, first blocks", "2B7E151628AED2A6ABF7158809CF4F3C",
         "F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000",
         "00000000000000000000000000000000 00000000000000000000000000000000"
         "00000000000000000000000000000000",
         "E03EAD0935C95E80E166B16DD92B4EB4 D23513162B02D0F72A43A2FE4A5F97AB"
         "41E95B3BB0A2E8DD477901E4FCA894C0"},
        // The counter carries from its low byte into the next one.
        {"RFC 3711 B.2 AES-CM keystream, last blocks", "2B7E151628AED2A6ABF7158809CF4F3C",
         "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF",
         "00000000000000000000000000000000 00000000000000000000000000000000"
         "00000000000000000000000000000000",
         "EC8CDF7398607CB0F2D21675EA9EA1E4 362B7C3C6773516318A077D7FC5073AE"
         "6A2CC3787889374FBEB4C81B17BA6C44"},
        {"RFC 6188 7.1 AES-256-CM keystream",
         "57f82fe3613fd170a85ec93c40b1f092 2ec4cb0dc025b58272147cc438944a98",
         "f0f1f2f3f4f5f6f7f8f9fafbfcfd0000",
         "00000000000000000000000000000000 00000000000000000000000000000000"
         "00000000000000000000000000000000",
         "92bdd28a93c3f52511c677d08b5515a4 9da71b2378a854f67050756ded165bac"
         "63c4868b7096d88421b563b8c94c9a31"},
        {"RFC 6188 7.3 AES-192-CM keystream", "eab234764e517b2d3d160d587d8c8621 9740f65f99b6bcf7",
         "f0f1f2f3f4f5f6f7f8f9fafbfcfd0000",
         "00000000000000000000000000000000 00000000000000000000000000000000"
         "00000000000000000000000000000000",
         "35096cba4610028dc1b57503804ce37c 5de986291dcce161d5165ec4568f5c9a"
         "474a40c77894bc17180202272a4c264d"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.key);
        const bytes iv = hex(c.iv);
        const bytes pt = hex(c.plaintext);
        const bytes ct = hex(c.ciphertext);

        crypto::aes::ctr ctr(key.data(), key.size(), iv.data());
        bytes out(pt.size());
        ctr.encrypt(out.data(), pt.data(), pt.size());
        EXPECT_EQ(out, ct);

        // The decrypting stream has its own counter, still at the start.
        ctr.decrypt(out.data(), out.data(), out.size());
        EXPECT_EQ(out, pt);
    }
}

TEST(AesCtr, KeystreamContinuesAcrossCalls) {
    // RFC 3711 B.2: the three first keystream blocks, requested in odd pieces.
    const bytes key = hex("2B7E151628AED2A6ABF7158809CF4F3C");
    const bytes iv = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000");
    const bytes keystream =
        hex("E03EAD0935C95E80E166B16DD92B4EB4 D23513162B02D0F72A43A2FE4A5F97AB"
            "41E95B3BB0A2E8DD477901E4FCA894C0");
    crypto::aes::ctr ctr(key.data(), key.size(), iv.data());
    bytes out(keystream.size(), 0);
    const size_t pieces[] = {1, 14, 17, 0, 16};
    size_t at = 0;
    for (size_t n : pieces) {
        ctr.encrypt(out.data() + at, out.data() + at, n);
        at += n;
    }
    ASSERT_EQ(at, out.size());
    EXPECT_EQ(out, keystream);
}

TEST(AesCtr, InPlaceRoundTripWithASecondObject) {
    struct Case {
        const char *name;
        size_t key_len;
        size_t len;
    };
    const Case cases[] = {
        {"AES-128, empty", 16, 0},        {"AES-128, one byte", 16, 1},
        {"AES-128, one block", 16, 16},   {"AES-128, block plus one", 16, 17},
        {"AES-192, RTP-sized", 24, 1172}, {"AES-256, block minus one", 32, 15},
        {"AES-256, RTP-sized", 32, 1400},
    };
    const bytes iv = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = pattern(c.key_len);
        const bytes original = pattern(c.len);
        bytes buf = original;

        crypto::aes::ctr sender(key.data(), key.size(), iv.data());
        sender.encrypt(buf.data(), buf.data(), buf.size());
        if (c.len >= 16) {
            EXPECT_NE(buf, original);
        }

        crypto::aes::ctr receiver(key.data(), key.size(), iv.data());
        receiver.decrypt(buf.data(), buf.data(), buf.size());
        EXPECT_EQ(buf, original);
    }
}

TEST(AesCtr, ResyncMatchesAFreshObjectPerPacket) {
    // One keyed object re-started per packet gives what a fresh object per
    // packet gives.
    const bytes key = pattern(16);
    crypto::aes::ctr kept(key.data(), key.size(), hex("00000000000000000000000000000000").data());
    for (uint8_t seq = 0; seq < 4; ++seq) {
        SCOPED_TRACE(static_cast<int>(seq));
        bytes iv = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000");
        iv[13] = static_cast<uint8_t>(iv[13] ^ seq);
        const bytes payload = pattern(40u + seq);

        bytes expected = payload;
        crypto::aes::ctr fresh(key.data(), key.size(), iv.data());
        fresh.encrypt(expected.data(), expected.data(), expected.size());

        bytes got = payload;
        kept.resync(iv.data());
        kept.encrypt(got.data(), got.data(), got.size());
        EXPECT_EQ(got, expected);

        kept.decrypt(got.data(), got.data(), got.size());
        EXPECT_EQ(got, payload);
    }
}

// ---------------------------------------------------------------- AES-CFB

TEST(AesCfb, KnownAnswer) {
    struct Case {
        const char *name;
        const char *key;
        const char *iv;
        const char *plaintext;
        const char *ciphertext;
    };
    const Case cases[] = {
        {"NIST SP 800-38A F.3.13 CFB128-AES128.Encrypt block 1", "2b7e151628aed2a6abf7158809cf4f3c",
         "000102030405060708090a0b0c0d0e0f", "6bc1bee22e409f96e93d7e117393172a",
         "3b3fd92eb72dad20333449f8e83cfb4a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.key);
        const bytes iv = hex(c.iv);
        const bytes pt = hex(c.plaintext);
        const bytes ct = hex(c.ciphertext);
        crypto::aes::cfb cfb(key.data(), key.size(), iv.data());

        bytes out = pt;
        cfb.encrypt(out.data(), out.data(), out.size());
        EXPECT_EQ(out, ct);
        cfb.decrypt(out.data(), out.data(), out.size());
        EXPECT_EQ(out, pt);
    }
}

TEST(AesCfb, InPlaceRoundTripWithASecondObject) {
    struct Case {
        const char *name;
        size_t key_len;
        size_t len;
    };
    // ZRTP encrypts the 40-byte tail of a Confirm message with a 16-byte key.
    const Case cases[] = {
        {"AES-128, Confirm body", 16, 40},
        {"AES-128, one byte", 16, 1},
        {"AES-256, block plus one", 32, 17},
    };
    const bytes iv = pattern(16);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = pattern(c.key_len);
        const bytes original = pattern(c.len);
        bytes buf = original;
        crypto::aes::cfb sender(key.data(), key.size(), iv.data());
        sender.encrypt(buf.data(), buf.data(), buf.size());
        EXPECT_NE(buf, original);
        crypto::aes::cfb receiver(key.data(), key.size(), iv.data());
        receiver.decrypt(buf.data(), buf.data(), buf.size());
        EXPECT_EQ(buf, original);

        // resync() starts over from the IV.
        sender.resync(iv.data());
        bytes again = original;
        sender.encrypt(again.data(), again.data(), again.size());
        receiver.resync(iv.data());
        receiver.decrypt(again.data(), again.data(), again.size());
        EXPECT_EQ(again, original);
    }
}

TEST(Aes, InvalidKeyLengthThrows) {
    struct Case {
        const char *name;
        size_t key_len;
    };
    const Case cases[] = {{"empty", 0}, {"15 bytes", 15}, {"20 bytes", 20}, {"33 bytes", 33}};
    const bytes key = pattern(33);
    const bytes iv = pattern(16);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(crypto::aes::ctr(key.data(), c.key_len, iv.data()),
                     CryptoPP::InvalidKeyLength);
        EXPECT_THROW(crypto::aes::cfb(key.data(), c.key_len, iv.data()),
                     CryptoPP::InvalidKeyLength);
        EXPECT_THROW(crypto::aes::ecb(key.data(), c.key_len), CryptoPP::InvalidKeyLength);
    }
}

// ---------------------------------------------------------------- HMAC

TEST(HmacSha1, Rfc2202KnownAnswers) {
    struct Case {
        const char *name;
        bytes key;
        bytes data;
        const char *mac;
    };
    const Case cases[] = {
        {"RFC 2202 case 1", hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"), ascii("Hi There"),
         "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"RFC 2202 case 2", ascii("Jefe"), ascii("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"RFC 2202 case 3", hex("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), repeat(0xdd, 50),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"RFC 2202 case 5", hex("0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c"),
         ascii("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        crypto::hmac::sha1 mac(c.key.data(), c.key.size());
        mac.update(c.data.data(), c.data.size());
        bytes digest(crypto::hmac::sha1::digest_size);
        mac.final(digest.data());
        EXPECT_EQ(digest, hex(c.mac));

        // final() restarted the state: the same key gives the same MAC again,
        // also when the message comes in two pieces.
        const size_t half = c.data.size() / 2;
        mac.update(c.data.data(), half);
        mac.update(c.data.data() + half, c.data.size() - half);
        bytes again(crypto::hmac::sha1::digest_size);
        mac.final(again.data());
        EXPECT_EQ(again, digest);
    }
}

TEST(HmacSha1, TruncatedFinalGivesTheLeadingBytes) {
    struct Case {
        const char *name;
        size_t n;
        const char *expected;
    };
    // RFC 2202 case 5 ("Test With Truncation"), full MAC
    // 4c1a03424b55e07fe7f27be1d58bb9324a9a5a04.
    const Case cases[] = {
        {"80-bit SRTP tag", 10, "4c1a03424b55e07fe7f2"},
        {"RFC 2202 case 5 first 96 bits", 12, "4c1a03424b55e07fe7f27be1"},
        {"full length", 20, "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    };
    const bytes key = hex("0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c");
    const bytes data = ascii("Test With Truncation");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        crypto::hmac::sha1 mac(key.data(), key.size());
        mac.update(data.data(), data.size());
        bytes out(24, 0xEE);
        mac.final(out.data(), c.n);
        const bytes expected = hex(c.expected);
        EXPECT_EQ(bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.n)), expected);
        // Nothing is written past the first n bytes.
        EXPECT_EQ(bytes(out.begin() + static_cast<std::ptrdiff_t>(c.n), out.end()),
                  repeat(0xEE, 24 - c.n));
    }
}

TEST(HmacSha1, TruncationLongerThanTheDigestThrows) {
    const bytes key = hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b");
    crypto::hmac::sha1 mac(key.data(), key.size());
    bytes out(32);
    EXPECT_THROW(mac.final(out.data(), 21), CryptoPP::InvalidArgument);
}

TEST(HmacSha1, RestartDropsPendingInput) {
    // RFC 2202 case 2 after some discarded input.
    const bytes key = ascii("Jefe");
    const bytes data = ascii("what do ya want for nothing?");
    crypto::hmac::sha1 mac(key.data(), key.size());
    const bytes junk = pattern(100);
    mac.update(junk.data(), junk.size());
    mac.restart();
    mac.update(data.data(), data.size());
    bytes digest(crypto::hmac::sha1::digest_size);
    mac.final(digest.data());
    EXPECT_EQ(digest, hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
}

TEST(HmacSha256, Rfc4231KnownAnswers) {
    struct Case {
        const char *name;
        const char *key;
        const char *data;
        const char *mac;
    };
    const Case cases[] = {
        {"RFC 4231 4.2 test case 1", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "4869205468657265",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"RFC 4231 4.3 test case 2", "4a656665",
         "7768617420646f2079612077616e7420666f72206e6f7468696e673f",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes key = hex(c.key);
        const bytes data = hex(c.data);
        const bytes expected = hex(c.mac);
        crypto::hmac::sha256 mac(key.data(), key.size());
        mac.update(data.data(), data.size());
        bytes digest(crypto::hmac::sha256::digest_size);
        mac.final(digest.data());
        EXPECT_EQ(digest, expected);

        // A 64-bit MAC is the first 8 bytes; the state restarted after final().
        mac.update(data.data(), data.size());
        bytes mac64(8);
        mac.final(mac64.data(), mac64.size());
        EXPECT_EQ(mac64, bytes(expected.begin(), expected.begin() + 8));
    }
}

// ---------------------------------------------------------------- SHA-256

TEST(Sha256, Fips180AbcAndReuse) {
    struct Case {
        const char *name;
        std::vector<const char *> pieces;
    };
    const Case cases[] = {
        {"FIPS 180-2 B.1 \"abc\" in one piece", {"abc"}},
        {"FIPS 180-2 B.1 \"abc\" in pieces", {"a", "", "bc"}},
    };
    const bytes expected = hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    crypto::sha256 hasher;  // one state for every case: final() resets it
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *piece : c.pieces) {
            const bytes b = ascii(piece);
            hasher.update(b.data(), b.size());
        }
        bytes digest(crypto::sha256::digest_size);
        hasher.final(digest.data());
        EXPECT_EQ(digest, expected);
    }
}

// ---------------------------------------------------------------- CRC-32

TEST(Crc32, CheckValue) {
    // Check value of the common CRC-32 (ISO-HDLC), as zlib computes it.
    const bytes message = ascii("123456789");
    const uint32_t value = crypto::crc32::calculate_crc32(message.data(), message.size());

    uint32_t out = 0;
    crypto::crc32::get_crc32(message.data(), message.size(), &out);
    EXPECT_EQ(out, value);

    // The word holds the little-endian image of the CRC on every host.
    uint8_t image[4];
    std::memcpy(image, &value, sizeof(image));
    EXPECT_EQ(bytes(image, image + 4), hex("26 39 F4 CB"));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_EQ(value, 0xCBF43926u);
#endif
}

TEST(Crc32, Verify) {
    struct Case {
        const char *name;
        uint32_t expected;
        bool valid;
    };
    const Case cases[] = {
        {"the check value", 0xCBF43926u, true},
        {"CRC-32C check value", 0xE3069283u, false},
        {"byte-swapped", 0x2639F4CBu, false},
        {"one bit off", 0xCBF43927u, false},
        {"zero", 0u, false},
    };
    const bytes message = ascii("123456789");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t expected = c.expected;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        expected = __builtin_bswap32(expected);
#endif
        EXPECT_EQ(crypto::crc32::verify_crc32(message.data(), message.size(), expected), c.valid);
    }
}

TEST(Crc32, EmptyInputIsZero) {
    EXPECT_EQ(crypto::crc32::calculate_crc32(nullptr, 0), 0u);
}

// ---------------------------------------------------------------- Diffie-Hellman

// RFC 3526 section 4, 3072-bit MODP group (id 15).
const char *const rfc3526_prime_3072 =
    "FFFFFFFF FFFFFFFF C90FDAA2 2168C234 C4C6628B 80DC1CD1"
    "29024E08 8A67CC74 020BBEA6 3B139B22 514A0879 8E3404DD"
    "EF9519B3 CD3A431B 302B0A6D F25F1437 4FE1356D 6D51C245"
    "E485B576 625E7EC6 F44C42E9 A637ED6B 0BFF5CB6 F406B7ED"
    "EE386BFB 5A899FA5 AE9F2411 7C4B1FE6 49286651 ECE45B3D"
    "C2007CB8 A163BF05 98DA4836 1C55D39A 69163FA8 FD24CF5F"
    "83655D23 DCA3AD96 1C62F356 208552BB 9ED52907 7096966D"
    "670C354E 4ABC9804 F1746C08 CA18217C 32905E46 2E36CE3B"
    "E39E772C 180E8603 9B2783A2 EC07A28F B5C55DF0 6F4C52C9"
    "DE2BCBF6 95581718 3995497C EA956AE5 15D22618 98FA0510"
    "15728E5A 8AAAC42D AD33170D 04507A33 A85521AB DF1CBA64"
    "ECFB8504 58DBEF0A 8AEA7157 5D060C7D B3970F85 A6E1E4C7"
    "ABF5AE8C DB0933D7 1E8C94E0 4A25619D CEE3D226 1AD2EE6B"
    "F12FFA06 D98A0864 D8760273 3EC86A64 521F2B18 177B200C"
    "BBE11757 7A615D6C 770988C0 BAD946E2 08E24FA0 74E5AB31"
    "43DB5BFC E0FD108E 4B82D120 A93AD2CA FFFFFFFF FFFFFFFF";

// `value` as a big-endian integer of dh::key_size bytes.
bytes be_integer(uint8_t value) {
    bytes out(crypto::dh::key_size, 0);
    out.back() = value;
    return out;
}

bytes prime_minus_one() {
    bytes p = hex(rfc3526_prime_3072);
    p.back() = static_cast<uint8_t>(p.back() - 1);  // p ends in 0xFF: no borrow
    return p;
}

// (p - 1) / 2: p is odd, so this is p shifted right by one bit.
bytes half_prime_minus_one() {
    const bytes p = hex(rfc3526_prime_3072);
    bytes out(p.size());
    uint8_t carry = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        out[i] = static_cast<uint8_t>(carry << 7 | p[i] >> 1);
        carry = static_cast<uint8_t>(p[i] & 1);
    }
    return out;
}

TEST(Dh, GroupIsTheRfc3526Prime) {
    const bytes expected = hex(rfc3526_prime_3072);
    ASSERT_EQ(expected.size(), crypto::dh::key_size);
    crypto::dh dh;
    bytes prime(crypto::dh::key_size);
    dh.get_prime(prime.data(), prime.size());
    EXPECT_EQ(prime, expected);
}

TEST(Dh, PublicValuesOfFixedExponents) {
    struct Case {
        const char *name;
        bytes private_key;
        bytes public_key;
    };
    // The generator is 2, and it generates the subgroup of prime order
    // (p - 1) / 2 (RFC 3526 section 4; a safe prime).
    const Case cases[] = {
        {"x = 1 gives g, left-padded with zeros", bytes{0x01}, be_integer(0x02)},
        {"x = 7 gives 2^7", bytes{0x07}, be_integer(0x80)},
        {"x = (p - 1) / 2 gives 1", half_prime_minus_one(), be_integer(0x01)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        crypto::dh dh;
        dh.set_private_key(c.private_key.data(), c.private_key.size());
        bytes pk(crypto::dh::key_size, 0xAA);
        dh.get_pk(pk.data(), pk.size());
        EXPECT_EQ(pk, c.public_key);
        EXPECT_EQ(pk[0], 0x00);  // the top byte is written, as zero
    }
}

TEST(Dh, SharedSecretOfFixedExponent) {
    struct Case {
        const char *name;
        bytes private_key;
        bytes remote;
        bytes secret;
    };
    const Case cases[] = {
        {"2^3 = 8", bytes{0x03}, bytes{0x02}, be_integer(0x08)},
        {"Fermat: 2^(p-1) = 1 mod p", prime_minus_one(), bytes{0x02}, be_integer(0x01)},
        {"remote given as 384 bytes", bytes{0x02}, be_integer(0x0F), be_integer(0xE1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        crypto::dh dh;
        dh.set_private_key(c.private_key.data(), c.private_key.size());
        dh.set_remote_pk(c.remote.data(), c.remote.size());
        bytes secret(crypto::dh::key_size, 0xAA);
        dh.get_shared_secret(secret.data(), secret.size());
        EXPECT_EQ(secret, c.secret);
    }
}

TEST(Dh, TwoPartiesAgreeOnTheSharedSecret) {
    crypto::dh alice;
    crypto::dh bob;
    alice.generate_keys();
    bob.generate_keys();

    bytes alice_pk(crypto::dh::key_size);
    bytes bob_pk(crypto::dh::key_size);
    alice.get_pk(alice_pk.data(), alice_pk.size());
    bob.get_pk(bob_pk.data(), bob_pk.size());
    EXPECT_NE(alice_pk, bob_pk);

    alice.set_remote_pk(bob_pk.data(), bob_pk.size());
    bob.set_remote_pk(alice_pk.data(), alice_pk.size());
    EXPECT_TRUE(alice.remote_pk_is_valid());
    EXPECT_TRUE(bob.remote_pk_is_valid());

    bytes alice_secret(crypto::dh::key_size, 0x11);
    bytes bob_secret(crypto::dh::key_size, 0x22);
    alice.get_shared_secret(alice_secret.data(), alice_secret.size());
    bob.get_shared_secret(bob_secret.data(), bob_secret.size());
    EXPECT_EQ(alice_secret, bob_secret);
    EXPECT_NE(alice_secret, be_integer(0x00));
    EXPECT_NE(alice_secret, be_integer(0x01));
    EXPECT_NE(alice_secret, alice_pk);
    EXPECT_NE(alice_secret, bob_pk);

    // A fresh key pair is a different one.
    alice.generate_keys();
    bytes renewed(crypto::dh::key_size);
    alice.get_pk(renewed.data(), renewed.size());
    EXPECT_NE(renewed, alice_pk);
}

TEST(Dh, RemotePublicValueRange) {
    struct Case {
        const char *name;
        bytes remote;
        bool valid;
    };
    const Case cases[] = {
        {"0", be_integer(0x00), false},
        {"1", be_integer(0x01), false},
        {"2", be_integer(0x02), true},
        {"p - 2",
         [] {
             bytes v = prime_minus_one();
             v.back() = static_cast<uint8_t>(v.back() - 1);
             return v;
         }(),
         true},
        {"p - 1", prime_minus_one(), false},
        {"p", hex(rfc3526_prime_3072), false},
    };
    crypto::dh dh;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dh.set_remote_pk(c.remote.data(), c.remote.size());
        EXPECT_EQ(dh.remote_pk_is_valid(), c.valid);
    }
}

// ---------------------------------------------------------------- random

TEST(CryptoRandom, FillsTheWholeBuffer) {
    // Two 32-byte draws that are equal, or a draw that leaves a buffer
    // unchanged, happen with probability 2^-256.
    bytes a(32, 0);
    bytes b(32, 0);
    crypto::random::generate_random(a.data(), a.size());
    crypto::random::generate_random(b.data(), b.size());
    EXPECT_NE(a, repeat(0x00, 32));
    EXPECT_NE(b, repeat(0x00, 32));
    EXPECT_NE(a, b);

    bytes sentinel(4, 0x5A);
    crypto::random::generate_random(sentinel.data(), 0);
    EXPECT_EQ(sentinel, repeat(0x5A, 4));
}

// ---------------------------------------------------------------- Base32

TEST(B32, EncodesWithTheDefaultAlphabetAndTruncates) {
    struct Case {
        const char *name;
        const char *input;
        const char *output;  // the first `len` characters of the encoding
    };
    // Crypto++'s default Base32 digits are those of draft-ietf-idn-dude-02:
    // "ABCDEFGHIJKMNPQRSTUVWXYZ23456789". Five bytes are eight 5-bit digits.
    const Case cases[] = {
        {"digits 0..7 (ABCDEFGH)", "00 44 32 14 C7", "ABCDE"},
        {"digits 8..15 (IJKMNPQR)", "42 54 B6 35 CF", "IJKMN"},
        {"digit 31 (9)", "FF FF FF FF FF", "99999"},
        {"ten bytes", "00 44 32 14 C7 42 54 B6 35 CF", "ABCDEFGHIJ"},
    };
    crypto::b32 encoder;  // one encoder for every case: each call starts afresh
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bytes in = hex(c.input);
        bytes out(in.size() + 4, '#');
        encoder.encode(in.data(), out.data(), in.size());
        EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(in.size())),
                  c.output);
        EXPECT_EQ(std::string(out.begin() + static_cast<std::ptrdiff_t>(in.size()), out.end()),
                  "####");
    }
}

}  // namespace

// --- constant-time comparison -----------------------------------------------------

// Every tag, MAC and hash check goes through crypto::equal_constant_time.
TEST(CryptoCompare, EqualConstantTimeTable) {
    const uint8_t a[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t first[16];
    uint8_t last[16];
    std::memcpy(first, a, sizeof(a));
    std::memcpy(last, a, sizeof(a));
    first[0] ^= 0x80;
    last[15] ^= 0x01;
    const struct Case {
        const char *name;
        const uint8_t *x;
        size_t x_len;
        const uint8_t *y;
        size_t y_len;
        bool equal;
    } cases[] = {
        {"equal", a, 16, a, 16, true},
        {"one empty", a, 10, first, 0, false},
        {"differ at the first byte", a, 16, first, 16, false},
        {"differ at the last byte", a, 16, last, 16, false},
        {"equal prefix, shorter", a, 15, last, 15, true},
        {"lengths differ", a, 16, a, 15, false},
        {"both empty", a, 0, last, 0, true},
        {"empty and null", nullptr, 0, nullptr, 0, true},
        {"null with a length", nullptr, 4, a, 4, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crypto::equal_constant_time(c.x, c.x_len, c.y, c.y_len), c.equal);
        EXPECT_EQ(crypto::equal_constant_time(c.y, c.y_len, c.x, c.x_len), c.equal);
    }
}

TEST(CryptoCompare, WipeZeroesTheBytes) {
    uint8_t key[32];
    std::memset(key, 0xA5, sizeof(key));
    crypto::wipe(key, sizeof(key));
    EXPECT_EQ(std::count(std::begin(key), std::end(key), 0), 32);
    crypto::wipe(nullptr, 4);  // nothing to do
}
