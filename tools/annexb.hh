#pragma once

// Cuts an Annex-B byte stream (H.264, H.265 or H.266) into access units, one
// push each. A new access unit begins at an access unit delimiter, at a
// parameter set, SEI or picture header that follows a coded slice, or at a
// slice that starts a new picture (first_mb_in_slice == 0 for H.264,
// first_slice_segment_in_pic_flag for H.265, a picture header in the slice
// header for H.266).

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessal_tools {

enum class video_codec { h264, h265, h266 };

struct nal_span {
    size_t start;   // first byte of the start code
    size_t header;  // first byte of the NAL unit header
    size_t end;     // one past the last byte
};

// The NAL units of `data` (start codes 00 00 01 and 00 00 00 01).
inline std::vector<nal_span> find_nal_units(const uint8_t *data, size_t size) {
    std::vector<nal_span> nals;
    size_t i = 0;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const size_t start = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
            if (!nals.empty()) {
                nals.back().end = start;
            }
            nals.push_back({start, i + 3, size});
            i += 3;
        } else {
            ++i;
        }
    }
    // Trailing zero bytes belong to no NAL unit.
    for (auto &n : nals) {
        while (n.end > n.header && data[n.end - 1] == 0) {
            --n.end;
        }
    }
    return nals;
}

// Whether the NAL unit at `h` (its header) is a coded slice, and whether it
// starts a new picture; whether it is a unit that precedes the slices of a
// new access unit.
inline void classify(video_codec codec, const uint8_t *h, size_t len, bool &is_slice,
                     bool &first_slice, bool &prefix) {
    is_slice = first_slice = prefix = false;
    if (len < 3) {
        return;
    }
    switch (codec) {
        case video_codec::h264: {
            const int type = h[0] & 0x1F;
            is_slice = type >= 1 && type <= 5;
            first_slice = is_slice && (h[1] & 0x80) != 0;  // first_mb_in_slice ue(v) == 0
            prefix = type == 9 || type == 7 || type == 8 || type == 6 || (type >= 14 && type <= 18);
            break;
        }
        case video_codec::h265: {
            const int type = (h[0] >> 1) & 0x3F;
            is_slice = type <= 31;
            first_slice = is_slice && (h[2] & 0x80) != 0;  // first_slice_segment_in_pic_flag
            prefix = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                     (type >= 48 && type <= 55);
            break;
        }
        case video_codec::h266: {
            const int type = h[1] >> 3;
            is_slice = type <= 11;
            first_slice = is_slice && (h[2] & 0x80) != 0;  // picture header in slice header
            prefix = (type >= 12 && type <= 17) || type == 19 || type == 20 || type == 23;
            break;
        }
    }
}

// Access units as (offset, length) in `data`, start codes included.
inline std::vector<std::pair<size_t, size_t>> split_access_units(video_codec codec,
                                                                 const uint8_t *data, size_t size) {
    std::vector<std::pair<size_t, size_t>> units;
    const std::vector<nal_span> nals = find_nal_units(data, size);
    bool have_slice = false;  // the current access unit has a coded slice
    size_t begin = nals.empty() ? 0 : nals.front().start;
    for (const nal_span &n : nals) {
        bool is_slice = false;
        bool first_slice = false;
        bool prefix = false;
        classify(codec, data + n.header, n.end - n.header, is_slice, first_slice, prefix);
        if (have_slice && (prefix || first_slice)) {
            units.emplace_back(begin, n.start - begin);
            begin = n.start;
            have_slice = false;
        }
        have_slice = have_slice || is_slice;
    }
    if (!nals.empty() && size > begin) {
        units.emplace_back(begin, size - begin);
    }
    return units;
}

}  // namespace tessal_tools
