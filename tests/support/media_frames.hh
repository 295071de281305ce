#pragma once

// Frames for end-to-end tests: reproducible random payloads, an H.265
// access unit with a unit that needs fragmentation, and pulling the bytes
// one push delivers.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "tessal/tessal.hh"

namespace tessal {
namespace test {

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> b(n);
    for (auto &x : b) {
        x = static_cast<uint8_t>(gen());
    }
    return b;
}

// A VPS-like unit, a small slice and one that needs fragmentation, each
// after a 4-byte start code; the bodies contain no start code.
inline std::vector<uint8_t> h265_access_unit(uint32_t seed) {
    std::vector<uint8_t> au;
    const auto add = [&au](uint8_t type, size_t len, uint32_t s) {
        au.insert(au.end(), {0, 0, 0, 1, static_cast<uint8_t>(type << 1), 1});
        std::vector<uint8_t> body = random_bytes(len, s);
        for (auto &b : body) {
            b |= 0x04;
        }
        au.insert(au.end(), body.begin(), body.end());
    };
    add(32, 20, seed);
    add(1, 300, seed + 1);
    add(1, 4000, seed + 2);
    return au;
}

// The payloads of the frames pulled until `expected_bytes` arrived or a
// pull waited `wait_ms` in vain, joined.
inline std::vector<uint8_t> pull_bytes(media_stream *rx, size_t expected_bytes, size_t wait_ms) {
    std::vector<uint8_t> got;
    while (got.size() < expected_bytes) {
        frame::rtp_frame *f = rx->pull_frame(wait_ms);
        if (f == nullptr) {
            break;
        }
        got.insert(got.end(), f->payload, f->payload + f->payload_length);
        frame::dealloc_frame(f);
    }
    return got;
}

}  // namespace test
}  // namespace tessal
