#pragma once

// The NAL units of an Annex-B stream, for the benchmarks that push clips.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessal_bench {

// Where a NAL unit's start code begins and where its header does.
struct nal_ref {
    size_t start;  // of the start code (3 or 4 bytes)
    size_t body;   // of the NAL header
};

inline std::vector<nal_ref> nal_units(const std::vector<uint8_t> &s) {
    std::vector<nal_ref> out;
    for (size_t i = 0; i + 3 <= s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            const size_t start = i > 0 && s[i - 1] == 0 ? i - 1 : i;
            out.push_back({start, i + 3});
            i += 2;
        }
    }
    return out;
}

}  // namespace tessal_bench
