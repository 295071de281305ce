#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "util/random.hh"

using namespace tessal;

namespace {

TEST(Random, NeverZeroAndNotConstant) {
    std::set<uint32_t> seen;
    for (int i = 0; i < 100000; ++i) {
        const uint32_t v = random::generate_32();
        ASSERT_NE(v, 0u);
        seen.insert(v);
    }
    // 100000 draws from 2^32 values: collisions are rare.
    EXPECT_GT(seen.size(), 99000u);
}

TEST(Random, ConcurrentDrawsAreSerialised) {
    // ThreadSanitizer reports a race here if the engine is not locked.
    std::vector<std::thread> threads;
    std::vector<std::vector<uint32_t>> results(4);
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&results, t] {
            for (int i = 0; i < 5000; ++i) {
                results[t].push_back(random::generate_32());
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    std::set<uint32_t> all;
    for (const auto &r : results) {
        for (uint32_t v : r) {
            EXPECT_NE(v, 0u);
            all.insert(v);
        }
    }
    EXPECT_GT(all.size(), 19900u);
}

}  // namespace
