#pragma once

// What a datagram received on an RTP port is, told from its first bytes
// alone (RFC 5761 section 4, RFC 6189 section 5), and whose it is: the SSRC
// each kind carries at its own place. Pure: nothing here reads a clock or a
// socket.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/byte_reader.hh"

namespace tessal {

enum class datagram_kind : uint8_t {
    not_rtp,  // too short, another version, or a payload type RTCP reserves
    rtp,
    rtcp,  // multiplexed on the RTP port
    zrtp,
};

struct datagram_class {
    datagram_kind kind = datagram_kind::not_rtp;
    uint32_t ssrc = 0;  // the sender's: RTCP's at bytes 4-7, RTP's and ZRTP's at 8-11
    uint16_t seq = 0;   // RTP's sequence number
};

// The shortest datagram of any kind: a fixed RTP header.
constexpr size_t k_min_datagram_size = 12;

// RFC 5761 section 4: packet types 192-223 (feedback and XR included) are
// RTCP, here only when the first packet's length fits the datagram.
inline bool looks_like_rtcp(const uint8_t *packet, size_t size) noexcept {
    const uint8_t b1 = packet[1];
    return b1 >= 192 && b1 <= 223 && (size_t{read_be16(packet + 2)} + 1) * 4 <= size;
}

inline datagram_class classify_datagram(const uint8_t *packet, size_t size) noexcept {
    if (packet == nullptr || size < k_min_datagram_size) {
        return {};
    }
    if (looks_like_rtcp(packet, size)) {
        return {datagram_kind::rtcp, read_be32(packet + 4), 0};
    }
    const uint8_t b0 = packet[0];
    if (b0 < 64 && std::memcmp(packet + 4, "ZRTP", 4) == 0) {
        // RFC 6189 section 5: version bits 00 and the magic cookie.
        return {datagram_kind::zrtp, read_be32(packet + 8), 0};
    }
    const uint8_t pt = packet[1] & 0x7F;
    if ((b0 >> 6) == 2 && !(pt >= 72 && pt <= 76)) {
        // Payload types 72-76 would collide with RTCP (RFC 5761 section 4).
        return {datagram_kind::rtp, read_be32(packet + 8), read_be16(packet + 2)};
    }
    return {};
}

}  // namespace tessal
