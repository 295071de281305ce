#include "tessal/frame.hh"

#include <algorithm>
#include <cstdint>
#include <new>

#include "rtp/frame_block.hh"

namespace tessal {
namespace frame {

namespace {

// Every frame record is allocated with at least this much room after it, so
// that a payload pointer into that room is known to be the record's own.
constexpr size_t k_min_block_tail = k_payload_headroom + 1;

uint8_t *inline_start(const rtp_frame *frame) noexcept {
    return const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(frame)) + sizeof(rtp_frame);
}

rtp_frame *alloc_block(size_t capacity) noexcept {
    if (capacity > SIZE_MAX - sizeof(rtp_frame) - k_min_block_tail) {
        return nullptr;
    }
    const size_t tail = k_payload_headroom + capacity;
    void *block =
        ::operator new(sizeof(rtp_frame) + std::max(tail, k_min_block_tail), std::nothrow);
    if (block == nullptr) {
        return nullptr;
    }
    return new (block) rtp_frame();
}

}  // namespace

rtp_frame *alloc_rtp_frame() noexcept {
    return alloc_block(0);
}

rtp_frame *alloc_rtp_frame(size_t payload_len) noexcept {
    rtp_frame *frame = alloc_block(payload_len);
    if (frame == nullptr) {
        return nullptr;
    }
    frame->payload = inline_start(frame) + k_payload_headroom;
    frame->payload_length = payload_len;
    return frame;
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
    frame->~rtp_frame();
    ::operator delete(frame);
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
