// Feeds a run of datagrams through the RTP reception handler and the generic
// reassembly of one stream, draining the frame getter after RTP_FRAMES_READY
// as the reception flow does. Whatever comes back is released, and the table
// must release what it keeps, so LeakSanitizer sees every path.
//
// Input: datagrams, each preceded by its length (2 bytes, big-endian).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/media.hh"

namespace {
tessal::clock::hrc::hrc_t g_now{};
// Ten milliseconds per datagram, so records expire within one input.
tessal::clock::hrc::hrc_t fake_now() {
    return g_now += std::chrono::milliseconds(10);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    formats::media format(nullptr, std::make_shared<rtp>(FMT_OPUS, make_shared_ssrc(1), false),
                          RCE_FRAGMENT_GENERIC);
    auto *table = static_cast<formats::media_frame_table *>(format.get_media_frame_info());
    table->now = fake_now;
    for (size_t pos = 0; pos + 2 <= size;) {
        const size_t len = std::min<size_t>(size_t{data[pos]} << 8 | data[pos + 1], size - pos - 2);
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + pos + 2, data + pos + 2 + len);
        pos += 2 + len;
        frame::rtp_frame *out = nullptr;
        if (rtp::packet_handler(nullptr, 0, datagram.data(), len, &out) != RTP_PKT_CHANGED) {
            continue;
        }
        const RTP_ERROR rc =
            formats::media::packet_handler(table, RCE_FRAGMENT_GENERIC, nullptr, 0, &out);
        if ((rc == RTP_FRAME_READY) != (out != nullptr)) {
            __builtin_trap();  // a kept or freed packet left in the caller's slot
        }
        frame::dealloc_frame(out);
        frame::rtp_frame *ready = nullptr;
        while (rc == RTP_FRAMES_READY && format.frame_getter(&ready) == RTP_FRAME_READY) {
            frame::dealloc_frame(ready);
        }
    }
    return 0;
}
