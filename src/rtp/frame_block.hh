#pragma once

// Received frames are allocated in one block: the frame record, a few bytes
// of headroom, then the payload. One allocation per frame instead of two,
// and a start code (or any short prefix) is put in front of a payload by
// moving its pointer back into the headroom, without a copy. The record's
// layout and frame::dealloc_frame are unchanged for callers: a payload
// pointer that points into the record's own block is simply not freed on
// its own.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tessal/frame.hh"

namespace tessal {
namespace frame {

// Frames of one fixed capacity for one stream's received packets, kept for
// reuse once released: in steady state a packet costs no allocation. Any
// thread may release a frame (frame::dealloc_frame gives it back here); the
// pool lives until its owner closed it and the last of its frames came back.
class frame_pool {
public:
    // Null when memory runs out. The caller owns one reference: close().
    static frame_pool *create(size_t capacity, size_t max_cached) noexcept;
    frame_pool(const frame_pool &) = delete;
    frame_pool &operator=(const frame_pool &) = delete;

    // A frame with a payload of `payload_len` bytes (larger than the pool's
    // capacity: from the heap). Null when memory runs out.
    rtp_frame *alloc(size_t payload_len) noexcept;
    // The owner is done: cached blocks go, later ones are freed on release.
    void close() noexcept;
    size_t cached() const noexcept;
    // A released block of this pool (frame::dealloc_frame).
    void give_back(void *block) noexcept;

private:
    frame_pool(size_t capacity, size_t max_cached);
    ~frame_pool();
    void unref() noexcept;

    const size_t capacity_;
    const size_t max_cached_;
    // The block released last, taken first: a stream that releases each
    // frame before the next arrives reuses one block without a lock, and that
    // block is still in the cache. Counted in cached(); freed at close() or,
    // if it came back later, with the pool.
    std::atomic<void *> hot_{nullptr};
    mutable std::mutex lock_;
    std::vector<void *> cache_;
    std::atomic<size_t> cached_{0};  // blocks in hot_ and cache_
    std::atomic<bool> closed_{false};
    std::atomic<size_t> refs_{1};  // the owner and every frame out of the pool
};

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
