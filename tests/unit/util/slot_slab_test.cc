// slot_slab: fixed-size slots carved from blocks.

#include "util/slot_slab.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

using tessal::slot_slab;

namespace {

TEST(SlotSlab, SlotsLieSideBySideAndBlocksGoBackWhenEmpty) {
    slot_slab<64, 4> slab;
    std::vector<void *> slots;
    for (int i = 0; i < 10; ++i) {
        slots.push_back(slab.allocate());
        std::memset(slots.back(), i, 64);  // the whole slot is ours (ASan checks)
    }
    EXPECT_EQ(slab.blocks(), 3u);
    EXPECT_EQ(std::set<void *>(slots.begin(), slots.end()).size(), slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slots[i]) % 64, 0u) << i;
        if (i % 4 != 0) {
            // One after another within a block.
            EXPECT_EQ(static_cast<char *>(slots[i]) - static_cast<char *>(slots[i - 1]), 64) << i;
        }
    }

    // The slot freed last is the next one given.
    slab.deallocate(slots[5]);
    EXPECT_EQ(slab.allocate(), slots[5]);

#if defined(TESSAL_SLAB_ASAN)
    // A free slot is poisoned; a taken one is not.
    slab.deallocate(slots[6]);
    EXPECT_TRUE(__asan_address_is_poisoned(slots[6]));
    EXPECT_FALSE(__asan_address_is_poisoned(slots[7]));
    EXPECT_EQ(slab.allocate(), slots[6]);
    EXPECT_FALSE(__asan_address_is_poisoned(slots[6]));
#endif

    // A block whose slots are all free goes back to the heap; null is ignored.
    slab.deallocate(nullptr);
    for (int i = 0; i < 4; ++i) {
        slab.deallocate(slots[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(slab.blocks(), 2u);
    for (size_t i = 4; i < slots.size(); ++i) {
        slab.deallocate(slots[i]);
    }
    EXPECT_EQ(slab.blocks(), 0u);
}

TEST(SlotSlab, ThreadsAllocateAndFreeAtOnce) {
    slot_slab<32, 16> slab;
    auto work = [&slab](uint8_t mark) {
        std::vector<uint8_t *> mine;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 20; ++i) {
                mine.push_back(static_cast<uint8_t *>(slab.allocate()));
                std::memset(mine.back(), mark, 32);
            }
            for (uint8_t *p : mine) {
                // No other thread was given this slot meanwhile.
                EXPECT_TRUE(std::all_of(p, p + 32, [mark](uint8_t b) { return b == mark; }));
                slab.deallocate(p);
            }
            mine.clear();
        }
    };
    std::thread a(work, uint8_t{0xA5});
    std::thread b(work, uint8_t{0x5A});
    a.join();
    b.join();
    EXPECT_EQ(slab.blocks(), 0u);
}

}  // namespace
