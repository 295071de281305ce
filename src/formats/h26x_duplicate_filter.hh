#pragma once

// The packets an H.26x receiver has seen lately, to discard a repeat of one:
// a fixed table, so what a peer sends cannot make it grow. Used only on the
// reception flow's processing thread.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "util/clock.hh"

namespace tessal {
namespace formats {

// One slot per sequence number modulo k_slots holds the latest packet with
// that number: its timestamp and arrival. A packet is a repeat when its slot
// holds the same timestamp and sequence number, received at most `window_ms`
// ago. A packet thus stays known until k_slots further sequence numbers have
// gone by or the window has passed, whichever comes first; after the
// sequence number wraps, its slot has been taken by later packets.
class duplicate_filter {
public:
    static constexpr size_t k_slots = 4096;  // a power of two

    explicit duplicate_filter(int64_t window_ms);

    // True for a repeat of a packet still known; otherwise the packet is
    // recorded, in place of the older one in its slot, and false returned.
    // Throws std::bad_alloc when the table cannot be allocated.
    bool check_and_insert(uint32_t timestamp, uint16_t seq, clock::hrc::hrc_t now);

    // Slots in use; never more than capacity().
    size_t size() const noexcept { return used_; }
    static constexpr size_t capacity() noexcept { return k_slots; }

private:
    struct slot {
        clock::hrc::hrc_t arrival{};
        uint32_t timestamp = 0;
        uint16_t seq = 0;
        bool used = false;
    };

    const int64_t window_ms_;
    std::unique_ptr<slot[]> slots_;  // k_slots entries, allocated by the first check
    size_t used_ = 0;
};

}  // namespace formats
}  // namespace tessal
