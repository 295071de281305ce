#include "tessal/frame.hh"

#include <new>

namespace tessal {
namespace frame {

rtp_frame *alloc_rtp_frame() noexcept {
    return new (std::nothrow) rtp_frame();
}

rtp_frame *alloc_rtp_frame(size_t payload_len) noexcept {
    rtp_frame *frame = alloc_rtp_frame();
    if (frame == nullptr) {
        return nullptr;
    }
    frame->payload = new (std::nothrow) uint8_t[payload_len];
    if (frame->payload == nullptr) {
        delete frame;
        return nullptr;
    }
    frame->payload_length = payload_len;
    return frame;
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
    delete[] frame->payload;
    delete frame;
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
