#include "security/sdes.hh"

#include <cryptopp/misc.h>

#include <cstring>

namespace tessal {

namespace {

constexpr char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

bool starts_with(const std::string &s, size_t at, const char *prefix) {
    return s.compare(at, std::strlen(prefix), prefix) == 0;
}

}  // namespace

std::string base64_encode(const uint8_t *data, size_t len) {
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    for (size_t i = 0; i < len; i += 3) {
        const uint32_t b0 = data[i];
        const uint32_t b1 = i + 1 < len ? data[i + 1] : 0;
        const uint32_t b2 = i + 2 < len ? data[i + 2] : 0;
        const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += k_alphabet[(v >> 18) & 63];
        out += k_alphabet[(v >> 12) & 63];
        out += i + 1 < len ? k_alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < len ? k_alphabet[v & 63] : '=';
    }
    return out;
}

bool base64_decode(const char *text, size_t len, uint8_t *out, size_t cap, size_t &out_len) {
    out_len = 0;
    if (text == nullptr || len % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < len; i += 4) {
        int v[4];
        size_t pad = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && i + 4 == len && j >= 2) {
                v[j] = 0;
                ++pad;
            } else if (pad != 0 || (v[j] = base64_value(c)) < 0) {
                return false;
            }
        }
        const uint32_t word = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                              (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        const size_t n = 3 - pad;
        if (out_len + n > cap) {
            return false;
        }
        for (size_t j = 0; j < n; ++j) {
            out[out_len++] = static_cast<uint8_t>(word >> (16 - 8 * j));
        }
    }
    return true;
}

// RFC 4568 section 9.1:
//   a=crypto:<tag> 1*WSP <crypto-suite> 1*WSP <key-params> *(1*WSP <session-param>)
//   key-params = "inline:" <key||salt> ["|" lifetime] ["|" MKI ":" length]
RTP_ERROR parse_sdes_crypto(const char *text, sdes_crypto &out) {
    if (text == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    std::string s(text);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    size_t at = 0;
    if (starts_with(s, 0, "a=crypto:")) {
        at = 9;
    }
    // An optional numeric tag.
    size_t digits = at;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
        ++digits;
    }
    if (digits > at && digits < s.size() && s[digits] == ' ') {
        at = digits;
    }
    while (at < s.size() && s[at] == ' ') {
        ++at;
    }
    const size_t suite_end = s.find_first_of(" :", at);
    if (suite_end == std::string::npos) {
        return RTP_BAD_ARGUMENT;
    }
    const srtp_profile_info *profile = find_srtp_profile(s.data() + at, suite_end - at);
    if (profile == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    at = suite_end + 1;
    while (at < s.size() && s[at] == ' ') {
        ++at;
    }
    if (!starts_with(s, at, "inline:")) {
        return RTP_BAD_ARGUMENT;
    }
    at += 7;
    const size_t key_end = s.find_first_of("|; ", at);
    const size_t end = key_end == std::string::npos ? s.size() : key_end;
    if (key_end != std::string::npos) {
        if (s[key_end] != '|') {
            return RTP_UNSUPPORTED;  // several keys or session parameters
        }
        // Only a lifetime may follow; an MKI has a ':'.
        const std::string rest = s.substr(key_end + 1);
        if (rest.empty() || rest.find_first_of(":|; ") != std::string::npos) {
            return RTP_UNSUPPORTED;
        }
    }
    sdes_crypto parsed;
    if (!base64_decode(s.data() + at, end - at, parsed.master.data(), parsed.master.size(),
                       parsed.master_len) ||
        parsed.master_len != profile->key_len + profile->salt_len) {
        CryptoPP::SecureWipeBuffer(parsed.master.data(), parsed.master.size());
        CryptoPP::SecureWipeBuffer(&s[0], s.size());
        return RTP_BAD_ARGUMENT;
    }
    parsed.profile = profile;
    out = parsed;
    CryptoPP::SecureWipeBuffer(parsed.master.data(), parsed.master.size());
    CryptoPP::SecureWipeBuffer(&s[0], s.size());
    return RTP_SUCCESS;
}

std::string format_sdes_crypto(unsigned tag, const srtp_profile_info &profile,
                               const uint8_t *master) {
    return std::to_string(tag) + " " + profile.name +
           " inline:" + base64_encode(master, profile.key_len + profile.salt_len);
}

}  // namespace tessal
