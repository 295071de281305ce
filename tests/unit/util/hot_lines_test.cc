// hot_lines: the list of cache lines a hot path prefetches.

#include "util/hot_lines.hh"

#include <gtest/gtest.h>

#include <cstdint>

using tessal::hot_lines;

namespace {

alignas(64) uint8_t g_memory[64 * 64];

TEST(HotLines, AddsEachLineOfARangeOnce) {
    const struct {
        const char *name;
        size_t offset;
        size_t bytes;
        size_t lines;
    } cases[] = {
        {"one byte", 10, 1, 1},
        {"a whole line", 64, 64, 1},
        {"crossing one boundary", 60, 8, 2},
        {"three lines from the middle of one", 100, 130, 3},
        {"zero bytes", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        hot_lines lines;
        lines.add(g_memory + c.offset, c.bytes);
        EXPECT_EQ(lines.size(), c.lines);
        if (c.lines > 0) {
            EXPECT_TRUE(lines.contains(g_memory + c.offset));
            EXPECT_TRUE(lines.contains(g_memory + c.offset + c.bytes - 1));
        }
        // The same range again, or a part of it, adds nothing.
        lines.add(g_memory + c.offset, c.bytes);
        lines.add(g_memory + c.offset + c.bytes / 2, c.bytes / 2);
        EXPECT_EQ(lines.size(), c.lines);
    }
}

// Between two members: [begin, end), nothing when end is not past begin.
TEST(HotLines, AddsTheLinesBetweenTwoAddresses) {
    hot_lines lines;
    lines.add_between(g_memory + 60, g_memory + 68);
    EXPECT_EQ(lines.size(), 2u);
    lines.add_between(g_memory + 200, g_memory + 200);
    lines.add_between(g_memory + 300, g_memory + 200);
    EXPECT_EQ(lines.size(), 2u);
    lines.add_between(g_memory + 128, g_memory + 129);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines.contains(g_memory + 128));
}

TEST(HotLines, IgnoresNullAndStopsAtCapacity) {
    hot_lines lines;
    lines.add(nullptr, 100);
    EXPECT_EQ(lines.size(), 0u);

    // More lines than it holds: the first ones are kept, none is written
    // past the end, and asking for them all is safe.
    lines.add(g_memory, sizeof(g_memory));
    EXPECT_EQ(lines.size(), hot_lines::k_capacity);
    EXPECT_TRUE(lines.contains(g_memory));
    EXPECT_TRUE(lines.contains(g_memory + 64 * (hot_lines::k_capacity - 1)));
    EXPECT_FALSE(lines.contains(g_memory + 64 * hot_lines::k_capacity));
    lines.prefetch();

    lines.clear();
    EXPECT_EQ(lines.size(), 0u);
    EXPECT_FALSE(lines.contains(g_memory));
}

}  // namespace
