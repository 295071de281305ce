// RFC 4588 retransmissions as received: any bytes restore to a well-formed
// original or are refused, and a restored original retransmits back to the
// same bytes (padding aside, which restoring drops).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtp/rtx.hh"

using namespace tessal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> original(size);
    const size_t n = rtx_decode(data, size, 96, 0x01020304, original.data(), original.size());
    if (n == 0) {
        return 0;
    }
    rtp_layout l;
    if (!parse_rtp_layout(original.data(), n, l) || l.header + l.payload != n) {
        __builtin_trap();  // what was restored is an RTP packet without padding
    }
    std::vector<uint8_t> again(rtx_size_bound(n));
    const size_t m =
        rtx_encode(original.data(), n, static_cast<uint8_t>(data[1] & 0x7F), 0x05060708,
                   static_cast<uint16_t>((data[2] << 8) | data[3]), again.data(), again.size());
    rtp_layout r;
    if (m != n + 2 || !parse_rtp_layout(data, size, r) ||
        std::memcmp(again.data() + 12, data + 12, m - 12) != 0) {
        __builtin_trap();  // the retransmission's header tail, OSN and payload come back
    }
    return 0;
}
