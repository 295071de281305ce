// Feeds a run of datagrams through the RTP reception handler and the H.26x
// depacketizer, draining the frame getter after RTP_FRAMES_READY as the
// reception flow does. Whatever comes back is released, and the format object
// must release what it keeps, so LeakSanitizer sees every path.
//
// Input: a byte choosing the codec (bits 0-1: H.264, H.265, H.266; bit 4:
// V3C instead), omitted start codes (bit 2) and resync on key frames (bit 3);
// then datagrams, each preceded by its length (2 bytes, big-endian).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/h26x.hh"

namespace {
tessal::clock::hrc::hrc_t g_now{};
// Forty milliseconds per datagram, so collections run within one input.
tessal::clock::hrc::hrc_t fake_now() {
    return g_now += std::chrono::milliseconds(40);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    if (size == 0) {
        return 0;
    }
    const int flags = ((data[0] & 4) ? RCE_H26X_OMIT_START_CODE : 0) |
                      ((data[0] & 8) ? RCE_H26X_RESYNC_ON_KEY_FRAME : 0);
    const bool v3c = (data[0] & 16) != 0;
    const unsigned codec = (data[0] & 3u) % 3u;
    const RTP_FORMAT formats[] = {FMT_H264, FMT_H265, FMT_H266};
    auto state = std::make_shared<rtp>(v3c ? FMT_V3C : formats[codec], make_shared_ssrc(1), false);
    std::unique_ptr<formats::h26x> format;
    if (v3c) {
        format = std::make_unique<formats::v3c>(nullptr, state, flags);
    } else if (codec == 0) {
        format = std::make_unique<formats::h264>(nullptr, state, flags);
    } else if (codec == 1) {
        format = std::make_unique<formats::h265>(nullptr, state, flags);
    } else {
        format = std::make_unique<formats::h266>(nullptr, state, flags);
    }
    format->set_time_source(fake_now);
    for (size_t pos = 1; pos + 2 <= size;) {
        const size_t len = std::min<size_t>(size_t{data[pos]} << 8 | data[pos + 1], size - pos - 2);
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + pos + 2, data + pos + 2 + len);
        pos += 2 + len;
        frame::rtp_frame *out = nullptr;
        if (rtp::packet_handler(nullptr, flags, datagram.data(), len, &out) != RTP_PKT_CHANGED) {
            continue;
        }
        const RTP_ERROR rc =
            formats::h26x::packet_handler(format.get(), flags, datagram.data(), len, &out);
        if ((rc == RTP_FRAME_READY) != (out != nullptr)) {
            __builtin_trap();  // a kept or freed packet left in the caller's slot
        }
        frame::dealloc_frame(out);
        frame::rtp_frame *ready = nullptr;
        while (rc == RTP_FRAMES_READY && format->frame_getter(&ready) == RTP_FRAME_READY) {
            frame::dealloc_frame(ready);
        }
    }
    return 0;
}
