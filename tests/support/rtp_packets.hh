#pragma once

// Golden RTP packets shared by the parser tests and the fuzz seed corpus.

#include <cstdint>
#include <vector>

namespace tessal {
namespace test {

// V=2 P=1 X=1 CC=2, M=1 PT=96, seq 0x1234, ts 0xDEADBEEF, SSRC 0x01020304,
// two CSRCs, a 2-word extension, 5 payload bytes, 3 bytes of padding.
inline std::vector<uint8_t> full_featured_packet() {
    return {
        0xB2, 0xE0, 0x12, 0x34,       // V=2 P=1 X=1 CC=2 | M=1 PT=96 | sequence
        0xDE, 0xAD, 0xBE, 0xEF,       // timestamp
        0x01, 0x02, 0x03, 0x04,       // SSRC
        0xAA, 0xBB, 0xCC, 0xDD,       // CSRC 1
        0x11, 0x22, 0x33, 0x44,       // CSRC 2
        0xBE, 0xDE, 0x00, 0x02,       // extension: profile 0xBEDE, 2 words
        0x10, 0x20, 0x30, 0x40,       // extension data
        0x50, 0x60, 0x70, 0x80,       //
        'h',  'e',  'l',  'l',  'o',  // payload
        0x00, 0x00, 0x03,             // padding, last byte counts it
    };
}

}  // namespace test
}  // namespace tessal
