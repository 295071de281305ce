#pragma once

// SDP security descriptions (RFC 4568): the crypto attribute that carries a
// standard SRTP profile and its master key and salt inline,
//
//   a=crypto:<tag> <crypto-suite> inline:<base64 key || salt>[|<lifetime>]
//
// Parsing accepts the attribute with or without "a=crypto:" and without the
// tag, and "<crypto-suite>:inline:<key>" as the command-line tools take it.
// A lifetime is accepted and not enforced; an MKI, several keys or session
// parameters are refused (no MKI: RFC 3711 section 3.1 makes it optional).
// Pure functions over text; key bytes never reach a log line.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "security/srtp_standard.hh"
#include "tessal/util.hh"

namespace tessal {

struct sdes_crypto {
    const srtp_profile_info *profile = nullptr;
    std::array<uint8_t, k_std_srtp_max_master> master{};  // key || salt
    size_t master_len = 0;
};

// Parses `text` into `out`. RTP_BAD_ARGUMENT for malformed text, an unknown
// suite or a key of the wrong length; RTP_UNSUPPORTED for an MKI, several
// keys or session parameters.
RTP_ERROR parse_sdes_crypto(const char *text, sdes_crypto &out);

// "<tag> <suite> inline:<base64>", the value of an a=crypto attribute.
std::string format_sdes_crypto(unsigned tag, const srtp_profile_info &profile,
                               const uint8_t *master);

// RFC 4648 section 4 base64 with padding. decode returns false for any
// character outside the alphabet, bad padding or more than `cap` bytes.
std::string base64_encode(const uint8_t *data, size_t len);
bool base64_decode(const char *text, size_t len, uint8_t *out, size_t cap, size_t &out_len);

}  // namespace tessal
