#pragma once

// Standard SRTCP (RFC 3711 section 3.4, RFC 7714 section 9) for the profiles
// of srtp_standard.hh, in place of the library's own SRTCP on a stream with
// RCE_SRTP_STANDARD. Keys derive with labels 3-5. On the wire:
//
//   AES-CM + HMAC-SHA1:
//   +----------+---------------------------+---+-----------+---------------+
//   | 8 bytes  | rest of the compound,     | E | index     | tag, 10 bytes |
//   | in clear | AES-CM encrypted when E   |   | (31 bits) | HMAC-SHA1     |
//   +----------+---------------------------+---+-----------+---------------+
//   tag over everything before it, E/index word included
//
//   AEAD AES-GCM:
//   +----------+---------------------------+----------------+---+-----------+
//   | 8 bytes  | rest, AES-GCM encrypted   | tag, 16 bytes  | E | index     |
//   +----------+---------------------------+----------------+---+-----------+
//   AAD = first 8 bytes || E/index word (E = 1), or the whole compound ||
//   E/index word with nothing encrypted (E = 0)
//
// The E/index word is big-endian. Outgoing packets are numbered 0, 1, 2, ...
// and always encrypted; incoming ones may carry E = 0. A 1024-packet replay
// window runs per sender SSRC.
//
// Thread contract: protection on the RTCP sending thread, verification on
// the RTCP receiving thread; init before either.

#include <cstddef>
#include <cstdint>
#include <map>

#include "security/srtcp.hh"
#include "security/srtp_standard.hh"

namespace tessal {

class srtcp_standard final : public srtcp {
public:
    srtcp_standard() = default;

    // As srtp_standard::init, for SRTCP.
    RTP_ERROR init_standard(int profile, const uint8_t *send_master, size_t send_len,
                            const uint8_t *recv_master, size_t recv_len);

    // 4 + the profile's SRTCP tag (14, or 20 for AES-GCM).
    size_t trailer_size() const noexcept override;

    // Protects `size` bytes in place, the last trailer_size() of them
    // reserved, as SRTCP packet `index` (31 bits); `encrypt` false sends the
    // compound in clear with E = 0 (tag only). RTP_BAD_ARGUMENT without send
    // keys or for a packet too short, RTP_FAILED when the cipher fails.
    RTP_ERROR protect(uint8_t *packet, size_t size, uint32_t index, bool encrypt);
    // Verifies and decrypts in place; `plain_size` is the compound without
    // its trailer. RTP_AUTH_FAILED for a malformed, forged or replayed
    // packet (counted).
    RTP_ERROR unprotect(uint8_t *packet, size_t size, size_t *plain_size);

    // The RTCP engine's hooks: the next index, always encrypted. Without
    // RCE_SRTP in `rce_flags` nothing changes. Past index 2^31 - 1 the keys
    // are exhausted and nothing more is sent (RTP_FAILED).
    RTP_ERROR handle_rtcp_encryption(int rce_flags, uint32_t packet_index, uint32_t ssrc,
                                     uint8_t *packet, uint32_t size) override;
    RTP_ERROR handle_rtcp_decryption(int rce_flags, uint32_t ssrc, uint8_t *packet,
                                     size_t size) override;

    srtp_drop_counts drops() const noexcept override;
    srtp_std_keys &send_keys() noexcept { return send_; }
    srtp_std_keys &recv_keys() noexcept { return recv_; }

private:
    bool verify(uint8_t *packet, size_t size, uint32_t word, size_t plain);
    RTP_ERROR drop(log::limiter &lim, const char *what);

    const srtp_profile_info *profile_ = nullptr;
    srtp_std_keys send_;
    srtp_std_keys recv_;
    uint32_t next_index_ = 0;
    std::map<uint32_t, replay_window> windows_;
    log::limiter malformed_log_;
    log::limiter auth_log_;
    log::limiter replay_log_;
};

}  // namespace tessal
