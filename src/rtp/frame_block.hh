#pragma once

// Received frames are allocated in one block: the frame record, a few bytes
// of headroom, then the payload. One allocation per frame instead of two,
// and a start code (or any short prefix) is put in front of a payload by
// moving its pointer back into the headroom, without a copy. The record's
// layout and frame::dealloc_frame are unchanged for callers: a payload
// pointer that points into the record's own block is simply not freed on
// its own.

#include <cstddef>
#include <cstdint>

#include "tessal/frame.hh"

namespace tessal {
namespace frame {

// Room in front of the payload of a frame from alloc_rtp_frame(n).
constexpr size_t k_payload_headroom = 8;

// True when the payload lies in the frame's own block.
bool payload_is_inline(const rtp_frame *frame) noexcept;

// Grows the payload by `bytes` at its front, into the headroom; false (and
// nothing changed) when the payload is not in the block or the headroom left
// is too small. The caller writes the new bytes.
bool extend_payload_front(rtp_frame *frame, size_t bytes) noexcept;

// Makes `bytes` (from new[], owned from here) the payload, releasing the
// old one unless it was the block's own.
void replace_payload(rtp_frame *frame, uint8_t *bytes, size_t length) noexcept;

}  // namespace frame
}  // namespace tessal
