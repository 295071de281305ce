#pragma once

// Fixed-size slots carved from blocks, for objects a process makes by the
// hundred and then reaches one after another on every packet (the streams):
// made from here, they lie side by side in a few pages instead of one each
// among the rest of the heap, so walking them costs fewer cache misses and
// TLB walks. A block is given back to the heap when its last slot is freed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TESSAL_SLAB_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSAL_SLAB_ASAN 1
#endif
#endif
#if defined(TESSAL_SLAB_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tessal {

template <size_t SlotBytes, size_t Slots>
class slot_slab {
public:
    static_assert(SlotBytes % alignof(std::max_align_t) == 0, "slots keep the heap's alignment");
    static_assert(Slots > 0 && Slots <= UINT16_MAX, "slot indices fit 16 bits");

    // Throws std::bad_alloc, as operator new does.
    void *allocate() {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto &b : blocks_) {
            if (!b->free.empty()) {
                return take(*b);
            }
        }
        auto b = std::make_unique<block>();
        poison(b->slots, sizeof(b->slots));
        b->free.reserve(Slots);
        for (size_t i = Slots; i-- > 0;) {
            b->free.push_back(static_cast<uint16_t>(i));  // slot 0 is taken first
        }
        blocks_.push_back(std::move(b));
        return take(*blocks_.back());
    }

    // `p` must come from allocate() of this slab; null is ignored.
    void deallocate(void *p) noexcept {
        if (p == nullptr) {
            return;
        }
        const auto *bytes = static_cast<const unsigned char *>(p);
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < blocks_.size(); ++i) {
            block &b = *blocks_[i];
            if (bytes >= b.slots && bytes < b.slots + sizeof(b.slots)) {
                poison(p, SlotBytes);
                b.free.push_back(
                    static_cast<uint16_t>(static_cast<size_t>(bytes - b.slots) / SlotBytes));
                if (b.free.size() == Slots) {
                    unpoison(b.slots, sizeof(b.slots));  // back to the heap as it came
                    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
                }
                return;
            }
        }
    }

    size_t blocks() const {
        std::lock_guard<std::mutex> guard(lock_);
        return blocks_.size();
    }

private:
    struct block {
        alignas(64) unsigned char slots[SlotBytes * Slots];
        std::vector<uint16_t> free;  // a stack: the slot freed last is reused first
    };

    static void *take(block &b) {
        const uint16_t slot = b.free.back();
        b.free.pop_back();
        unsigned char *p = b.slots + static_cast<size_t>(slot) * SlotBytes;
        unpoison(p, SlotBytes);
        return p;
    }

    // Under AddressSanitizer a free slot is poisoned, so that a use after
    // free is caught as it would be on the heap.
    static void poison(const void *p, size_t bytes) {
#if defined(TESSAL_SLAB_ASAN)
        ASAN_POISON_MEMORY_REGION(p, bytes);
#else
        (void)p;
        (void)bytes;
#endif
    }
    static void unpoison(const void *p, size_t bytes) {
#if defined(TESSAL_SLAB_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#else
        (void)p;
        (void)bytes;
#endif
    }

    mutable std::mutex lock_;
    std::vector<std::unique_ptr<block>> blocks_;
};

}  // namespace tessal
