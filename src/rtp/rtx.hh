#pragma once

// RFC 4588 retransmission packets. A retransmission travels in a stream of
// its own: its own payload type and SSRC (session multiplexing by SSRC,
// section 4) and its own sequence numbers, with the original sequence number
// (OSN) as the first two bytes of its payload; timestamp, marker, CSRC list
// and header extension stay the original's. Pure: bytes in, bytes out.

#include <cstddef>
#include <cstdint>

namespace tessal {

// The parts of a received RTP packet a retransmission needs.
struct rtp_layout {
    size_t header = 0;   // fixed header, CSRCs and extension
    size_t payload = 0;  // without padding
};

// The layout of an RTP packet; false if it is not one (too short, another
// version, CSRCs, extension or padding running past its end).
bool parse_rtp_layout(const uint8_t *packet, size_t size, rtp_layout &out) noexcept;

// Bytes a retransmission of an original of `size` bytes needs at most.
constexpr size_t rtx_size_bound(size_t size) noexcept {
    return size + 2;
}

// Writes the retransmission of `original` into `out` (room for
// rtx_size_bound(size)): payload type `pt`, SSRC `ssrc`, sequence number
// `seq`. The original's padding is not carried (section 4: a retransmission
// pads for itself if it must). Returns its size, 0 if `original` is not an
// RTP packet or `out` is too small.
size_t rtx_encode(const uint8_t *original, size_t size, uint8_t pt, uint32_t ssrc, uint16_t seq,
                  uint8_t *out, size_t capacity) noexcept;

// Restores the original packet from a retransmission: payload type
// `original_pt`, SSRC `original_ssrc`, sequence number the OSN. Returns its
// size, 0 if `rtx` is not an RTP packet with an OSN or `out` is too small
// (at least `size` - 2 bytes are needed). A retransmission with nothing after
// the OSN is valid (section 4: an empty original payload).
size_t rtx_decode(const uint8_t *rtx, size_t size, uint8_t original_pt, uint32_t original_ssrc,
                  uint8_t *out, size_t capacity) noexcept;

}  // namespace tessal
