#pragma once

// SRTCP for one stream's RTCP compound packets (RFC 3711 section 3.4
// structure, this library's byte-level choices of base_srtp.hh). An RTCP
// sender leaves 14 bytes at the end of each compound packet; protection
// fills them:
//
//   +-----------------------------+---------------+-------------------+
//   | RTCP compound packet        | E | index     | tag (10 bytes)    |
//   | bytes 8.. encrypted when E  | host order    | HMAC-SHA1, 80 bit |
//   +-----------------------------+---------------+-------------------+
//
// The E/index word is a host-order 32-bit value (least significant byte
// first on the wire of little-endian hosts); the tag covers everything
// before it followed by four zero bytes. Received packets are checked
// against a replay window over the SRTCP index.
//
// Thread contract: protection runs on the RTCP sending thread, verification
// on the RTCP receiving thread.

#include <cstddef>
#include <cstdint>

#include "security/base_srtp.hh"

namespace tessal {

constexpr size_t k_srtcp_trailer_size = 4 + k_srtp_tag_size;

class srtcp : public base_srtp {
public:
    srtcp() = default;

    // Bytes an RTCP sender reserves at the end of each compound packet (and
    // a receiver removes after decryption): 14 here; the standard profiles
    // (srtcp_standard.hh) override it.
    virtual size_t trailer_size() const noexcept { return k_srtcp_trailer_size; }
    // Protects a finished compound packet of `size` bytes whose last
    // trailer_size() are reserved. RTP_SUCCESS without RCE_SRTP (nothing
    // changes).
    virtual RTP_ERROR handle_rtcp_encryption(int rce_flags, uint32_t packet_index, uint32_t ssrc,
                                             uint8_t *packet, uint32_t size);
    // Verifies and decrypts in place; the caller removes the trailer.
    // RTP_AUTH_FAILED for a bad tag or a replay, RTP_FAILED when decryption
    // fails, RTP_SUCCESS otherwise (and without RCE_SRTP).
    virtual RTP_ERROR handle_rtcp_decryption(int rce_flags, uint32_t ssrc, uint8_t *packet,
                                             size_t size);

    RTP_ERROR encrypt(uint32_t ssrc, uint64_t index, uint8_t *data, size_t len);
    RTP_ERROR decrypt(uint32_t ssrc, uint32_t index, uint8_t *packet, size_t size);
    RTP_ERROR add_auth_tag(uint8_t *packet, size_t size);
    RTP_ERROR verify_auth_tag(uint8_t *packet, size_t size);

private:
    void compute_tag(srtp_ctx &ctx, const uint8_t *packet, size_t size, uint8_t *tag);
};

}  // namespace tessal
