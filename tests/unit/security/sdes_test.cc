// RFC 4568 crypto attributes: the accepted forms, what is refused, and a
// format-then-parse round trip for every profile.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "security/sdes.hh"

using namespace tessal;

namespace {

// RFC 4568 section 9.1 example key: 30 bytes, base64.
const char *const k_key = "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";

TEST(Sdes, AcceptedForms) {
    struct Case {
        const char *name;
        std::string text;
        RTP_SRTP_PROFILE profile;
    };
    const Case cases[] = {
        {"full attribute", std::string("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:") + k_key,
         SRTP_AES_CM_128_HMAC_SHA1_80},
        {"value with lifetime and line end",
         std::string("1 AES_CM_128_HMAC_SHA1_32 inline:") + k_key + "|2^20\r\n",
         SRTP_AES_CM_128_HMAC_SHA1_32},
        {"no tag", std::string("AES_CM_128_HMAC_SHA1_80 inline:") + k_key,
         SRTP_AES_CM_128_HMAC_SHA1_80},
        {"tool form", std::string("AES_CM_128_HMAC_SHA1_80:inline:") + k_key,
         SRTP_AES_CM_128_HMAC_SHA1_80},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sdes_crypto out;
        ASSERT_EQ(parse_sdes_crypto(c.text.c_str(), out), RTP_SUCCESS);
        ASSERT_NE(out.profile, nullptr);
        EXPECT_EQ(out.profile->id, c.profile);
        ASSERT_EQ(out.master_len, 30U);
        EXPECT_EQ(std::string(out.master.begin(), out.master.begin() + 30),
                  "YS___semctl () {\t220;}\n}\nunles");
    }
}

TEST(Sdes, RefusedForms) {
    struct Case {
        const char *name;
        std::string text;
        RTP_ERROR expected;
    };
    const std::string k(k_key);
    const Case cases[] = {
        {"unknown suite", "1 F8_128_HMAC_SHA1_80 inline:" + k, RTP_BAD_ARGUMENT},
        {"no inline", "1 AES_CM_128_HMAC_SHA1_80 " + k, RTP_BAD_ARGUMENT},
        {"key too short for the suite", "1 AES_256_CM_HMAC_SHA1_80 inline:" + k, RTP_BAD_ARGUMENT},
        {"key too long", "1 AES_CM_128_HMAC_SHA1_80 inline:" + k + "AAAA", RTP_BAD_ARGUMENT},
        {"not base64", "1 AES_CM_128_HMAC_SHA1_80 inline:" + k.substr(0, 36) + "!!!!",
         RTP_BAD_ARGUMENT},
        {"bad padding",
         "1 AES_CM_128_HMAC_SHA1_80 inline:" + k.substr(0, 36) + "A=A=", RTP_BAD_ARGUMENT},
        {"MKI", "1 AES_CM_128_HMAC_SHA1_80 inline:" + k + "|2^20|1:4", RTP_UNSUPPORTED},
        {"two keys", "1 AES_CM_128_HMAC_SHA1_80 inline:" + k + ";inline:" + k, RTP_UNSUPPORTED},
        {"session parameter", "1 AES_CM_128_HMAC_SHA1_80 inline:" + k + " KDR=1", RTP_UNSUPPORTED},
        {"empty", "", RTP_BAD_ARGUMENT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sdes_crypto out;
        EXPECT_EQ(parse_sdes_crypto(c.text.c_str(), out), c.expected);
        EXPECT_EQ(out.profile, nullptr);
    }
    sdes_crypto out;
    EXPECT_EQ(parse_sdes_crypto(nullptr, out), RTP_BAD_ARGUMENT);
}

TEST(Sdes, FormatThenParseForEveryProfile) {
    for (int id = SRTP_AES_CM_128_HMAC_SHA1_80; id <= SRTP_AEAD_AES_256_GCM; ++id) {
        const srtp_profile_info *p = find_srtp_profile(id);
        ASSERT_NE(p, nullptr);
        SCOPED_TRACE(p->name);
        std::vector<uint8_t> master(p->key_len + p->salt_len);
        for (size_t i = 0; i < master.size(); ++i) {
            master[i] = static_cast<uint8_t>(0xF0 - 5 * i);
        }
        const std::string line = format_sdes_crypto(7, *p, master.data());
        EXPECT_EQ(line.rfind(std::string("7 ") + p->name + " inline:", 0), 0U) << line;
        sdes_crypto out;
        ASSERT_EQ(parse_sdes_crypto(("a=crypto:" + line).c_str(), out), RTP_SUCCESS);
        EXPECT_EQ(out.profile, p);
        EXPECT_EQ(std::vector<uint8_t>(out.master.begin(),
                                       out.master.begin() + static_cast<long>(out.master_len)),
                  master);
    }
}

TEST(Sdes, Base64MatchesRfc4648Examples) {
    const char *const expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    const std::string text = "foobar";
    for (size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE(n);
        const auto *data = reinterpret_cast<const uint8_t *>(text.data());
        EXPECT_EQ(base64_encode(data, n), expected[n]);
        uint8_t back[8];
        size_t len = 0;
        ASSERT_TRUE(
            base64_decode(expected[n], std::string(expected[n]).size(), back, sizeof(back), len));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), len), text.substr(0, n));
    }
}

}  // namespace
