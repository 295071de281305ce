#pragma once

// Self-checking test frames shared by tessal-send and tessal-recv:
//
//   0       4       8      12      16
//   +-------+-------+-------+-------+---------------------
//   | 'TSLF'| index | size  | check | payload (size - 16)
//   +-------+-------+-------+-------+---------------------
//
// All fields big-endian; `check` is a 32-bit FNV-1a over the payload, which is
// a pseudo-random sequence derived from the index. A receiver can tell lost,
// reordered and corrupted frames apart without knowing what was sent.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tessal_tools {

constexpr size_t k_test_header = 16;

inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t get32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t fnv1a(const uint8_t *p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 16777619u;
    }
    return h;
}

// Fills `frame` (at least k_test_header bytes) as test frame `index`.
inline void make_test_frame(std::vector<uint8_t> &frame, uint32_t index) {
    uint32_t x = index * 2654435761u + 1;
    for (size_t i = k_test_header; i < frame.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        frame[i] = static_cast<uint8_t>(x);
    }
    std::memcpy(frame.data(), "TSLF", 4);
    put32(frame.data() + 4, index);
    put32(frame.data() + 8, static_cast<uint32_t>(frame.size()));
    put32(frame.data() + 12, fnv1a(frame.data() + k_test_header, frame.size() - k_test_header));
}

// The one-packet frame a sender of fragmented test frames leads with: a
// receiver proves where a fragmented generic frame starts only once it has
// seen the end of an earlier frame. Not a test frame; receivers skip it.
inline std::vector<uint8_t> make_lead_frame() {
    std::vector<uint8_t> frame(k_test_header, 0);
    std::memcpy(frame.data(), "TSLS", 4);
    return frame;
}

enum class test_frame_status { not_a_test_frame, lead, intact, corrupt };

inline test_frame_status check_test_frame(const uint8_t *p, size_t n, uint32_t *index) {
    if (n == k_test_header && std::memcmp(p, "TSLS", 4) == 0) {
        return test_frame_status::lead;
    }
    if (n < k_test_header || std::memcmp(p, "TSLF", 4) != 0) {
        return test_frame_status::not_a_test_frame;
    }
    *index = get32(p + 4);
    if (get32(p + 8) != n || get32(p + 12) != fnv1a(p + k_test_header, n - k_test_header)) {
        return test_frame_status::corrupt;
    }
    return test_frame_status::intact;
}

}  // namespace tessal_tools
