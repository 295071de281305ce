// Feeds arbitrary datagrams to the RTP reception handler. The handler must
// never read outside the datagram and must release everything it allocates.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtp/rtp.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so any over-read hits the sanitizer's redzone.
    std::vector<uint8_t> datagram(data, data + size);
    tessal::frame::rtp_frame *out = nullptr;
    tessal::RTP_ERROR rc =
        tessal::rtp::packet_handler(nullptr, 0, datagram.data(), datagram.size(), &out);
    if (rc == tessal::RTP_PKT_CHANGED) {
        if (out == nullptr || out->payload_length + out->padding_length + 12 > size) {
            __builtin_trap();
        }
        tessal::frame::dealloc_frame(out);
    } else if (out != nullptr) {
        __builtin_trap();
    }
    return 0;
}
