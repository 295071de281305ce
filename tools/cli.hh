#pragma once

// Small helpers shared by the command-line tools: argument parsing, payload
// format names, and human-readable rates.

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tessal/tessal.hh"

namespace tessal_tools {

inline std::atomic<bool> &interrupt_flag() {
    static std::atomic<bool> flag{false};
    return flag;
}

// SIGINT and SIGTERM end the tool's loop gracefully, so it prints its summary.
inline void stop_on_signals() {
    auto on_signal = [](int) { interrupt_flag().store(true); };
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

inline bool interrupted() {
    return interrupt_flag().load();
}

// Parses an unsigned decimal number in [min, max]; false on anything else.
inline bool parse_number(const char *text, unsigned long long min, unsigned long long max,
                         unsigned long long *out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

inline bool parse_double(const char *text, double *out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != '\0' || !(v > 0)) {
        return false;
    }
    *out = v;
    return true;
}

inline bool parse_port(const char *text, uint16_t *out) {
    unsigned long long port = 0;
    if (!parse_number(text, 1, 65535, &port)) {
        return false;
    }
    *out = static_cast<uint16_t>(port);
    return true;
}

// Walks a command line: `--name value` options, flags and positional words.
// Errors are printed as "<tool>: <message>".
class arg_reader {
public:
    arg_reader(const char *tool, int argc, char **argv) : tool_(tool), argc_(argc), argv_(argv) {}

    // Moves to the next word; false at the end.
    bool next() {
        if (++i_ >= argc_) {
            return false;
        }
        arg_ = argv_[i_];
        return true;
    }
    bool is(const char *name) const { return arg_ == name; }
    bool is_option() const { return !arg_.empty() && arg_[0] == '-'; }
    const char *word() const { return argv_[i_]; }

    // The current option's value, or null after "needs a value".
    const char *value() {
        if (i_ + 1 >= argc_) {
            fail((arg_ + " needs a value").c_str());
            return nullptr;
        }
        return argv_[++i_];
    }

    bool fail(const char *message) const {
        std::fprintf(stderr, "%s: %s\n", tool_, message);
        return false;
    }

private:
    const char *tool_;
    int argc_;
    char **argv_;
    int i_ = 0;
    std::string arg_;
};

// A standard SRTP profile by its SDP name, with what GStreamer's srtpenc and
// srtpdec call its ciphers and tags.
struct srtp_suite {
    const char *name;
    size_t master_len;  // key || salt
    const char *cipher;
    const char *auth;
    const char *rtcp_auth;
};

inline const srtp_suite *find_srtp_suite(const std::string &name) {
    static const srtp_suite suites[] = {
        {"AES_CM_128_HMAC_SHA1_80", 30, "aes-128-icm", "hmac-sha1-80", "hmac-sha1-80"},
        {"AES_CM_128_HMAC_SHA1_32", 30, "aes-128-icm", "hmac-sha1-32", "hmac-sha1-80"},
        {"AES_256_CM_HMAC_SHA1_80", 46, "aes-256-icm", "hmac-sha1-80", "hmac-sha1-80"},
        {"AEAD_AES_128_GCM", 28, "aes-128-gcm", "null", "null"},
        {"AEAD_AES_256_GCM", 44, "aes-256-gcm", "null", "null"},
    };
    for (const srtp_suite &s : suites) {
        if (name == s.name) {
            return &s;
        }
    }
    return nullptr;
}

// RFC 4648 base64 with padding; false for anything else.
inline bool decode_base64(const std::string &text, std::vector<uint8_t> *out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out->clear();
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t word = 0;
        size_t pad = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const size_t v = alphabet.find(c);
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++pad;
            } else if (v == std::string::npos || pad != 0) {
                return false;
            }
            word = (word << 6) | (c == '=' ? 0 : static_cast<uint32_t>(v));
        }
        for (size_t j = 0; j < 3 - pad; ++j) {
            out->push_back(static_cast<uint8_t>(word >> (16 - 8 * j)));
        }
    }
    return true;
}

// SRTP keyed by the user, in one of two forms:
//  - the library's own (--srtp-key HEX --srtp-salt HEX): the key's length
//    (16, 24 or 32 bytes) chooses AES-128/192/256; the salt is 14 bytes.
//    Both ends use the same key and salt, and tag every packet;
//  - standard SRTP (--srtp PROFILE:inline:BASE64, RCE_SRTP_STANDARD), as SDP
//    carries it (RFC 4568): the one key serves both directions, as
//    GStreamer's srtpenc/srtpdec use one key per element;
//  - or keys agreed with the peer by ZRTP (--zrtp, Diffie-Hellman mode): the
//    tool prints the short authentication string for the users to compare.
struct srtp_options {
    std::vector<uint8_t> key;
    std::vector<uint8_t> salt;
    std::string standard;                  // "PROFILE:inline:BASE64"
    const srtp_suite *suite = nullptr;     // of `standard`
    std::vector<uint8_t> standard_master;  // its key || salt
    bool zrtp = false;
    bool enabled() const { return !key.empty() || suite != nullptr; }
    int flags() const {
        if (zrtp) {
            return tessal::RCE_SRTP | tessal::RCE_SRTP_KEYS_FROM_ZRTP | tessal::RCE_ZRTP_FULL_DH;
        }
        if (suite != nullptr) {
            return tessal::RCE_SRTP | tessal::RCE_SRTP_KEYS_FROM_USER | tessal::RCE_SRTP_STANDARD;
        }
        if (!enabled()) {
            return 0;
        }
        int f = tessal::RCE_SRTP | tessal::RCE_SRTP_KEYS_FROM_USER | tessal::RCE_SRTP_AUTH_TAG;
        f |= key.size() == 24 ? tessal::RCE_SRTP_AES192 : 0;
        f |= key.size() == 32 ? tessal::RCE_SRTP_AES256 : 0;
        return f;
    }
};

inline bool parse_hex(const char *text, std::vector<uint8_t> *out) {
    out->clear();
    const size_t len = std::strlen(text);
    if (len == 0 || len % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < len; i += 2) {
        const char pair[3] = {text[i], text[i + 1], '\0'};
        char *end = nullptr;
        const unsigned long byte = std::strtoul(pair, &end, 16);
        if (end != pair + 2) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

// --srtp PROFILE:inline:BASE64, e.g.
// AES_CM_128_HMAC_SHA1_80:inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz
inline bool parse_standard_srtp(const char *text, srtp_options &o) {
    if (text == nullptr) {
        return false;
    }
    const std::string value(text);
    const size_t colon = value.find(':');
    if (colon == std::string::npos || value.compare(colon, 8, ":inline:") != 0) {
        return false;
    }
    o.suite = find_srtp_suite(value.substr(0, colon));
    if (o.suite == nullptr || !decode_base64(value.substr(colon + 8), &o.standard_master) ||
        o.standard_master.size() != o.suite->master_len) {
        o.suite = nullptr;
        return false;
    }
    o.standard = value;
    return true;
}

// Takes --srtp, --srtp-key and --srtp-salt; true when the current word was
// one of them (`ok` then tells whether its value was good).
inline bool parse_srtp_option(arg_reader &args, srtp_options &o, bool *ok) {
    if (args.is("--zrtp")) {
        o.zrtp = true;
        *ok = true;
        return true;
    }
    if (args.is("--srtp")) {
        *ok = parse_standard_srtp(args.value(), o);
        if (!*ok) {
            args.fail(
                "--srtp needs PROFILE:inline:BASE64 with a profile of AES_CM_128_HMAC_SHA1_80, "
                "AES_CM_128_HMAC_SHA1_32, AES_256_CM_HMAC_SHA1_80, AEAD_AES_128_GCM or "
                "AEAD_AES_256_GCM and its master key || salt (30, 30, 46, 28 or 44 bytes)");
        }
        return true;
    }
    const bool is_key = args.is("--srtp-key");
    if (!is_key && !args.is("--srtp-salt")) {
        return false;
    }
    const char *v = args.value();
    std::vector<uint8_t> &target = is_key ? o.key : o.salt;
    *ok = v != nullptr && parse_hex(v, &target) &&
          (is_key ? (target.size() == 16 || target.size() == 24 || target.size() == 32)
                  : target.size() == 14);
    if (!*ok) {
        args.fail(is_key ? "--srtp-key needs 32, 48 or 64 hex digits"
                         : "--srtp-salt needs 28 hex digits");
    }
    return true;
}

inline bool check_srtp_options(const arg_reader &args, const srtp_options &o) {
    if (o.key.empty() != o.salt.empty()) {
        return args.fail("--srtp-key and --srtp-salt go together");
    }
    if (!o.key.empty() && o.suite != nullptr) {
        return args.fail("--srtp (standard SRTP) and --srtp-key are two modes; choose one");
    }
    if (o.zrtp && o.enabled()) {
        return args.fail("--zrtp agrees the keys; it takes no --srtp or --srtp-key");
    }
    return true;
}

inline std::string to_hex(const std::vector<uint8_t> &bytes) {
    std::string out;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", b);
        out += pair;
    }
    return out;
}

// What a GStreamer peer needs for the --srtp key: the caps of srtpdec's sink
// pad (to add to the udpsrc caps) and the srtpenc properties; and the SDP
// attribute.
inline void print_standard_srtp(const srtp_options &o) {
    const srtp_suite &s = *o.suite;
    const std::string key = to_hex(o.standard_master);
    std::printf(
        "srtp: gstreamer caps: srtp-key=(buffer)%s,srtp-cipher=(string)%s,srtp-auth=(string)%s,"
        "srtcp-cipher=(string)%s,srtcp-auth=(string)%s\n",
        key.c_str(), s.cipher, s.auth, s.cipher, s.rtcp_auth);
    std::printf(
        "srtp: gstreamer srtpenc: key=%s rtp-cipher=%s rtp-auth=%s rtcp-cipher=%s "
        "rtcp-auth=%s\n",
        key.c_str(), s.cipher, s.auth, s.cipher, s.rtcp_auth);
    const size_t colon = o.standard.find(':');
    std::printf("srtp: sdp: a=crypto:1 %s %s\n", s.name, o.standard.c_str() + colon + 1);
    std::fflush(stdout);
}

// Keys a stream created with srtp_options::flags(); starts it.
inline bool key_stream(tessal::media_stream *stream, srtp_options &o) {
    if (o.zrtp) {
        // The agreement ran inside create_stream.
        char sas[5] = {};
        if (stream->get_zrtp_sas(sas) != tessal::RTP_SUCCESS) {
            return false;
        }
        std::printf("zrtp: sas %s (compare it with the peer's)\n", sas);
        std::fflush(stdout);
        return true;
    }
    if (o.suite != nullptr) {
        // The same key both ways: what this stream sends and what it takes in.
        if (stream->add_srtp_crypto(o.standard.c_str(), o.standard.c_str()) !=
            tessal::RTP_SUCCESS) {
            return false;
        }
        print_standard_srtp(o);
        return true;
    }
    return !o.enabled() || stream->add_srtp_ctx(o.key.data(), o.salt.data()) == tessal::RTP_SUCCESS;
}

// --set KEY=VALUE: a configuration key by its RCC_ name without the prefix,
// in any case, applied once the stream has started.
struct config_setting {
    int key;
    long long value;
    std::string text;  // as given, for messages
};

struct key_name {
    const char *name;
    int key;
};

inline const key_name *known_keys(size_t *count) {
    static const key_name keys[] = {
        {"SOCKET_RECV_BUFFER", tessal::RCC_SOCKET_RECV_BUFFER},
        {"SOCKET_SEND_BUFFER", tessal::RCC_SOCKET_SEND_BUFFER},
        {"RECEIVE_RING_BYTES", tessal::RCC_RECEIVE_RING_BYTES},
        {"PACKET_DELAY_LIMIT", tessal::RCC_PACKET_DELAY_LIMIT},
        {"DYNAMIC_PT", tessal::RCC_DYNAMIC_PT},
        {"RTP_CLOCK_RATE", tessal::RCC_RTP_CLOCK_RATE},
        {"PATH_MTU", tessal::RCC_PATH_MTU},
        {"FRAME_RATE_NUM", tessal::RCC_FRAME_RATE_NUM},
        {"FRAME_RATE_DEN", tessal::RCC_FRAME_RATE_DEN},
        {"LOCAL_SSRC", tessal::RCC_LOCAL_SSRC},
        {"PEER_SSRC", tessal::RCC_PEER_SSRC},
        {"SESSION_BANDWIDTH", tessal::RCC_SESSION_BANDWIDTH},
        {"RECV_POLL_MS", tessal::RCC_RECV_POLL_MS},
        {"MCAST_TTL", tessal::RCC_MCAST_TTL},
        {"PACING_NUM", tessal::RCC_PACING_NUM},
        {"PACING_DEN", tessal::RCC_PACING_DEN},
        {"H266_RFC9328_AGGREGATION", tessal::RCC_H266_RFC9328_AGGREGATION},
        {"RTCP_TRR_INTERVAL", tessal::RCC_RTCP_TRR_INTERVAL},
        {"RTX_PAYLOAD_TYPE", tessal::RCC_RTX_PAYLOAD_TYPE},
        {"RTX_SSRC", tessal::RCC_RTX_SSRC},
        {"RETRANSMIT_STORE_MS", tessal::RCC_RETRANSMIT_STORE_MS},
        {"RETRANSMIT_STORE_BYTES", tessal::RCC_RETRANSMIT_STORE_BYTES},
        {"RETRANSMIT_SHARE", tessal::RCC_RETRANSMIT_SHARE},
        {"KEY_FRAME_REQUEST", tessal::RCC_KEY_FRAME_REQUEST},
    };
    *count = sizeof(keys) / sizeof(keys[0]);
    return keys;
}

// Parses "KEY=VALUE"; on failure `error` says why.
inline bool parse_setting(const char *text, config_setting *out, std::string *error) {
    const char *eq = std::strchr(text, '=');
    if (eq == nullptr || eq == text || eq[1] == '\0') {
        *error = std::string("--set needs KEY=VALUE, got \"") + text + "\"";
        return false;
    }
    std::string name(text, static_cast<size_t>(eq - text));
    for (char &c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (name.rfind("RCC_", 0) == 0) {
        name.erase(0, 4);
    }
    size_t count = 0;
    const key_name *keys = known_keys(&count);
    const key_name *found = nullptr;
    for (size_t i = 0; i < count && found == nullptr; ++i) {
        if (name == keys[i].name) {
            found = &keys[i];
        }
    }
    if (found == nullptr) {
        *error = "unknown configuration key " + std::string(text, static_cast<size_t>(eq - text)) +
                 " (known: ";
        for (size_t i = 0; i < count; ++i) {
            *error += std::string(i ? ", " : "") + keys[i].name;
        }
        *error += ")";
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(eq + 1, &end, 0);
    if (errno != 0 || end == eq + 1 || *end != '\0') {
        *error = std::string("--set ") + found->name + ": \"" + (eq + 1) + "\" is not a number";
        return false;
    }
    *out = config_setting{found->key, value, text};
    return true;
}

// The value of --rtx: an RFC 4588 payload type, 96 to 127.
inline bool parse_rtx_option(arg_reader &args, int *pt) {
    const char *v = args.value();
    unsigned long long value = 0;
    if (v == nullptr || !parse_number(v, 96, 127, &value)) {
        return args.fail("--rtx needs a payload type of 96 to 127");
    }
    *pt = static_cast<int>(value);
    return true;
}

// With RTCP feedback the RTCP bandwidth decides how soon a NACK goes out
// (RFC 4585 3.5: one early packet between regular reports): unless the user
// set them, a video-sized session bandwidth, and regular reports thinned to
// ten a second (T_rr_interval) while feedback goes out at once.
inline void add_feedback_defaults(std::vector<config_setting> &settings) {
    const auto has = [&settings](int key) {
        for (const config_setting &s : settings) {
            if (s.key == key) {
                return true;
            }
        }
        return false;
    };
    if (!has(tessal::RCC_SESSION_BANDWIDTH)) {
        settings.insert(settings.begin(), config_setting{tessal::RCC_SESSION_BANDWIDTH, 20000,
                                                         "session_bandwidth=20000"});
    }
    if (!has(tessal::RCC_RTCP_TRR_INTERVAL)) {
        settings.insert(settings.begin(), config_setting{tessal::RCC_RTCP_TRR_INTERVAL, 100,
                                                         "rtcp_trr_interval=100"});
    }
}

// Applies the settings to a started stream; false (with a message) at the
// first value the stream refuses.
inline bool apply_settings(const char *tool, tessal::media_stream *stream,
                           const std::vector<config_setting> &settings) {
    for (const config_setting &s : settings) {
        const tessal::RTP_ERROR rc = stream->configure_ctx(s.key, static_cast<ssize_t>(s.value));
        if (rc != tessal::RTP_SUCCESS) {
            std::fprintf(stderr, "%s: the stream refused --set %s (error %d)\n", tool,
                         s.text.c_str(), static_cast<int>(rc));
            return false;
        }
    }
    return true;
}

// The stream options both tools take: --srtp, --srtp-key, --srtp-salt and
// --set.
// True when the current word was one of them (`ok` then tells whether its
// value was good; a message has been printed when not).
inline bool parse_stream_option(arg_reader &args, srtp_options &srtp,
                                std::vector<config_setting> &settings, bool *ok) {
    if (parse_srtp_option(args, srtp, ok)) {
        return true;
    }
    if (!args.is("--set")) {
        return false;
    }
    const char *v = args.value();
    config_setting setting{};
    std::string error;
    *ok = v != nullptr && parse_setting(v, &setting, &error);
    if (v != nullptr && !*ok) {
        args.fail(error.c_str());
    }
    if (*ok) {
        settings.push_back(setting);
    }
    return true;
}

struct format_name {
    const char *name;
    tessal::RTP_FORMAT format;
};

// Formats the tools know by name; "generic" is dynamic payload type 96.
inline const format_name *known_formats(size_t *count) {
    static const format_name formats[] = {
        {"generic", tessal::FMT_G726_40}, {"pcmu", tessal::FMT_PCMU},    {"pcma", tessal::FMT_PCMA},
        {"opus", tessal::FMT_OPUS},       {"l16", tessal::FMT_L16_MONO}, {"h264", tessal::FMT_H264},
        {"h265", tessal::FMT_H265},       {"h266", tessal::FMT_H266},    {"v3c", tessal::FMT_V3C},
    };
    *count = sizeof(formats) / sizeof(formats[0]);
    return formats;
}

inline bool parse_format(const char *text, tessal::RTP_FORMAT *out) {
    size_t count = 0;
    const format_name *formats = known_formats(&count);
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(text, formats[i].name) == 0) {
            *out = formats[i].format;
            return true;
        }
    }
    return false;
}

inline bool is_video(tessal::RTP_FORMAT format) {
    return format == tessal::FMT_H264 || format == tessal::FMT_H265 || format == tessal::FMT_H266;
}

inline std::string human_bytes(double bytes) {
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof(text), u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

inline std::string human_rate(double bits_per_second) {
    char text[32];
    if (bits_per_second >= 1e9) {
        std::snprintf(text, sizeof(text), "%.2f Gbit/s", bits_per_second / 1e9);
    } else if (bits_per_second >= 1e6) {
        std::snprintf(text, sizeof(text), "%.1f Mbit/s", bits_per_second / 1e6);
    } else {
        std::snprintf(text, sizeof(text), "%.0f kbit/s", bits_per_second / 1e3);
    }
    return text;
}

}  // namespace tessal_tools
