#include "tessal/frame.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "rtp/frame_block.hh"

namespace tessal {
namespace frame {

// Every block starts with this prefix, then the frame record: a block from a
// pool goes back there when the frame is released.
struct block_prefix {
    frame_pool *pool;
};
static_assert(sizeof(block_prefix) % alignof(rtp_frame) == 0,
              "the frame record after the prefix must stay aligned");

namespace {

// Every frame record is allocated with at least this much room after it, so
// that a payload pointer into that room is known to be the record's own.
constexpr size_t k_min_block_tail = k_payload_headroom + 1;

uint8_t *inline_start(const rtp_frame *frame) noexcept {
    return const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(frame)) + sizeof(rtp_frame);
}

block_prefix *prefix_of(rtp_frame *frame) noexcept {
    return reinterpret_cast<block_prefix *>(frame) - 1;
}

size_t block_bytes(size_t capacity) noexcept {
    return sizeof(block_prefix) + sizeof(rtp_frame) +
           std::max(k_payload_headroom + capacity, k_min_block_tail);
}

// A fresh frame record in `block`; with a payload, it lies in the block
// after the headroom.
rtp_frame *frame_in(void *block, frame_pool *pool, bool with_payload, size_t payload_len) noexcept {
    auto *prefix = static_cast<block_prefix *>(block);
    prefix->pool = pool;
    auto *frame = new (prefix + 1) rtp_frame();
    if (with_payload) {
        frame->payload = inline_start(frame) + k_payload_headroom;
        frame->payload_length = payload_len;
    }
    return frame;
}

// A heap block with room for `capacity` payload bytes.
rtp_frame *alloc_block(size_t capacity, bool with_payload) noexcept {
    if (capacity > SIZE_MAX - sizeof(block_prefix) - sizeof(rtp_frame) - k_min_block_tail) {
        return nullptr;
    }
    void *block = ::operator new(block_bytes(capacity), std::nothrow);
    if (block == nullptr) {
        return nullptr;
    }
    return frame_in(block, nullptr, with_payload, capacity);
}

}  // namespace

frame_pool *frame_pool::create(size_t capacity, size_t max_cached) noexcept {
    return new (std::nothrow) frame_pool(capacity, max_cached);
}

frame_pool::frame_pool(size_t capacity, size_t max_cached)
    : capacity_(capacity), max_cached_(max_cached) {}

frame_pool::~frame_pool() {
    ::operator delete(hot_.exchange(nullptr));
    for (void *block : cache_) {
        ::operator delete(block);
    }
}

rtp_frame *frame_pool::alloc(size_t payload_len) noexcept {
    if (payload_len > capacity_) {
        return alloc_block(payload_len, true);
    }
    void *block = hot_.exchange(nullptr, std::memory_order_acquire);
    if (block != nullptr) {
        cached_.fetch_sub(1, std::memory_order_relaxed);
    } else {
        std::lock_guard<std::mutex> guard(lock_);
        if (!cache_.empty()) {
            block = cache_.back();
            cache_.pop_back();
            cached_.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    if (block == nullptr) {
        block = ::operator new(block_bytes(capacity_), std::nothrow);
        if (block == nullptr) {
            return nullptr;
        }
    }
    refs_.fetch_add(1, std::memory_order_relaxed);
    return frame_in(block, this, true, payload_len);
}

void frame_pool::give_back(void *block) noexcept {
    bool kept = false;
    if (!closed_.load(std::memory_order_acquire) && max_cached_ > 0) {
        // A place is reserved in the count before the block is placed, so
        // that the bound holds however many threads release at once.
        size_t count = cached_.load(std::memory_order_relaxed);
        while (count < max_cached_ &&
               !cached_.compare_exchange_weak(count, count + 1, std::memory_order_relaxed)) {
        }
        if (count < max_cached_) {
            void *expected = nullptr;
            if (hot_.compare_exchange_strong(expected, block, std::memory_order_release,
                                             std::memory_order_relaxed)) {
                kept = true;
            } else {
                std::lock_guard<std::mutex> guard(lock_);
                if (!closed_.load(std::memory_order_relaxed)) {
                    try {
                        cache_.push_back(block);
                        kept = true;
                    } catch (const std::bad_alloc &) {
                    }
                }
            }
            if (!kept) {
                cached_.fetch_sub(1, std::memory_order_relaxed);
            }
        }
    }
    if (!kept) {
        ::operator delete(block);
    }
    unref();
}

void frame_pool::close() noexcept {
    std::vector<void *> cached;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_.store(true, std::memory_order_release);
        cached.swap(cache_);
    }
    // A block released while this runs may still land in hot_: the pool's
    // destructor frees it.
    if (void *hot = hot_.exchange(nullptr, std::memory_order_acquire)) {
        cached_.fetch_sub(1, std::memory_order_relaxed);
        ::operator delete(hot);
    }
    cached_.fetch_sub(cached.size(), std::memory_order_relaxed);
    for (void *block : cached) {
        ::operator delete(block);
    }
    unref();
}

size_t frame_pool::cached() const noexcept {
    return cached_.load(std::memory_order_relaxed);
}

void frame_pool::unref() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

rtp_frame *alloc_rtp_frame() noexcept {
    return alloc_block(0, false);
}

rtp_frame *alloc_rtp_frame(size_t payload_len) noexcept {
    return alloc_block(payload_len, true);
}

bool payload_is_inline(const rtp_frame *frame) noexcept {
    const uint8_t *start = inline_start(frame);
    return frame->payload >= start && frame->payload <= start + k_payload_headroom;
}

bool extend_payload_front(rtp_frame *frame, size_t bytes) noexcept {
    if (frame->payload == nullptr || !payload_is_inline(frame) ||
        static_cast<size_t>(frame->payload - inline_start(frame)) < bytes) {
        return false;
    }
    frame->payload -= bytes;
    frame->payload_length += bytes;
    return true;
}

void replace_payload(rtp_frame *frame, uint8_t *bytes, size_t length) noexcept {
    if (!payload_is_inline(frame)) {
        delete[] frame->payload;
    }
    frame->payload = bytes;
    frame->payload_length = length;
}

zrtp_frame *alloc_zrtp_frame(size_t size) noexcept {
    if (size == 0) {
        return nullptr;
    }
    // A byte array viewed through the header layout; zrtp_frame has alignment
    // 4, which operator new[] exceeds.
    return reinterpret_cast<zrtp_frame *>(new (std::nothrow) uint8_t[size]());
}

RTP_ERROR dealloc_frame(rtp_frame *frame) noexcept {
    if (frame == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    delete[] frame->csrc_list;
    if (frame->extension_header != nullptr) {
        delete[] frame->extension_header->bytes;
        delete frame->extension_header;
    }
    if (!payload_is_inline(frame)) {
        delete[] frame->payload;
    }
    block_prefix *prefix = prefix_of(frame);
    frame->~rtp_frame();
    if (prefix->pool != nullptr) {
        prefix->pool->give_back(prefix);
    } else {
        ::operator delete(prefix);
    }
    return RTP_SUCCESS;
}

RTP_ERROR dealloc_frame(zrtp_frame *frame) noexcept {
    if (frame == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    delete[] reinterpret_cast<uint8_t *>(frame);
    return RTP_SUCCESS;
}

RTP_ERROR dealloc_sr(rtcp_sr *sr) noexcept {
    if (sr == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    delete[] sr->reports;
    sr->reports = nullptr;
    return RTP_SUCCESS;
}

RTP_ERROR dealloc_rr(rtcp_rr *rr) noexcept {
    if (rr == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    delete[] rr->reports;
    rr->reports = nullptr;
    return RTP_SUCCESS;
}

RTP_ERROR dealloc_sdes(rtcp_sdes *sdes) noexcept {
    if (sdes == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (sdes->chunks != nullptr) {
        for (size_t i = 0; i < sdes->header.count; ++i) {
            delete[] sdes->chunks[i].items;
        }
        delete[] sdes->chunks;
        sdes->chunks = nullptr;
    }
    return RTP_SUCCESS;
}

}  // namespace frame
}  // namespace tessal
