#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace tessal {

// A 32-bit SSRC cell shared by every component of a stream, so that a change
// made through configuration reaches all of them at once. Components that key
// tables by the cell compare the pointer, not the value.
using shared_ssrc = std::shared_ptr<std::atomic<uint32_t>>;

inline shared_ssrc make_shared_ssrc(uint32_t value) {
    return std::make_shared<std::atomic<uint32_t>>(value);
}

}  // namespace tessal
