#pragma once

// Helpers the H.26x depacketizers share: the kind of a fragmentation unit
// from its FU header, and received frames with an Annex-B start code in
// front. Used only on the reception flow's processing thread.

#include <cstddef>
#include <cstdint>

#include "formats/h26x.hh"
#include "tessal/frame.hh"

namespace tessal {
namespace formats {

// RFC 6184 section 5.8, RFC 7798 section 4.4.3, RFC 9328 section 4.3.3: the
// FU header starts with the S (start) and E (end) bits.
//
//   +---------------+
//   |0|1|2|3|4|5|6|7|
//   +-+-+-----------+
//   |S|E|  ... type |
//   +---------------+
inline fragment_kind fu_fragment_kind(uint8_t fu_header) noexcept {
    constexpr uint8_t k_start = 0x80;
    constexpr uint8_t k_end = 0x40;
    if ((fu_header & k_start) != 0 && (fu_header & k_end) != 0) {
        return FRAGMENT_INVALID;  // a NAL unit is never both begun and ended by one FU
    }
    if ((fu_header & k_start) != 0) {
        return FRAGMENT_FIRST;
    }
    return (fu_header & k_end) != 0 ? FRAGMENT_LAST : FRAGMENT_MIDDLE;
}

// A frame with `header`, no CSRC list or extension, and a payload of
// `start_code_len` start-code bytes (00 .. 00 01; 0 for none) followed by
// `size` bytes left for the caller; write_pos is advanced past the start
// code. Null when memory runs out.
frame::rtp_frame *alloc_frame_with_start_code(size_t start_code_len,
                                              const frame::rtp_header &header, size_t size,
                                              size_t &write_pos) noexcept;

// Puts a start code of `start_code_len` bytes in front of the frame's
// payload. The frame is left as it was when memory runs out.
void prepend_start_code_bytes(frame::rtp_frame *frame, size_t start_code_len) noexcept;

}  // namespace formats
}  // namespace tessal
