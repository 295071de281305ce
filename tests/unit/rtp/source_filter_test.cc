// Source validation of a lone stream (RFC 3550 appendix A.1): what passes
// before and after a source proved valid.

#include "rtp/source_filter.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

using namespace tessal;

namespace {

struct packet {
    uint32_t ssrc;
    uint16_t seq;
    bool passes;
};

TEST(SourceFilter, ValidSourcesPassOthersWaitForTwoInSequence) {
    struct Case {
        const char *name;
        std::vector<packet> packets;
    };
    const Case cases[] = {
        {"everything passes until a source is valid",
         {{1, 10, true}, {2, 500, true}, {3, 7, true}, {1, 11, true}, {2, 900, false}}},
        {"a new source loses only the packet before its second in sequence",
         {{1, 1, true},
          {1, 2, true},
          {9, 100, false},
          {9, 101, true},
          {9, 102, true},
          {1, 3, true}}},
        {"sequence numbers wrap",
         {{1, 65535, true}, {1, 0, true}, {5, 65535, false}, {5, 0, true}}},
        {"a source with random sequence numbers never becomes valid",
         {{1, 1, true},
          {1, 2, true},
          {100, 5, false},
          {100, 9000, false},
          {100, 3, false},
          {1, 3, true}}},
        {"two new sources interleaved each become valid on their own",
         {{1, 1, true},
          {1, 2, true},
          {7, 40, false},
          {8, 90, false},
          {7, 41, true},
          {8, 91, true}}},
        {"a source that jumps starts its run again",
         {{1, 1, true},
          {1, 2, true},
          {7, 10, false},
          {7, 12, false},
          {7, 14, false},
          {7, 15, true}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        source_filter f;
        for (size_t i = 0; i < c.packets.size(); ++i) {
            const packet &p = c.packets[i];
            EXPECT_EQ(f.admit(p.ssrc, p.seq), p.passes) << "packet " << i;
        }
    }
}

// Forged packets from ten thousand sources, each sending in sequence but
// interleaved with all the others, never push out a valid source nor become
// valid themselves: the candidates they occupy are reused long before their
// next packet.
TEST(SourceFilter, ManyInterleavedSourcesNeverBecomeValid) {
    source_filter f;
    EXPECT_TRUE(f.admit(0xAAAA, 1));
    EXPECT_TRUE(f.admit(0xAAAA, 2));
    uint16_t legit = 3;
    size_t forged_passed = 0;
    for (uint32_t n = 0; n < 100000; ++n) {
        forged_passed += f.admit(1 + n % 10000, static_cast<uint16_t>(n / 10000)) ? 1 : 0;
        if (n % 50 == 0) {
            EXPECT_TRUE(f.admit(0xAAAA, legit++));
        }
    }
    EXPECT_EQ(forged_passed, 0u);
    EXPECT_EQ(f.valid_sources(), 1u);
}

// Several senders at once (a multicast group): each becomes valid on its
// own, up to the bound; beyond it the least recent one must prove itself
// again.
TEST(SourceFilter, SeveralValidSourcesTheLeastRecentGoesBeyondTheBound) {
    source_filter f;
    const size_t n = source_filter::k_valid_sources + 1;
    for (uint32_t s = 1; s <= n; ++s) {
        f.admit(s, 1);
        EXPECT_TRUE(f.admit(s, 2)) << s;
    }
    EXPECT_EQ(f.valid_sources(), source_filter::k_valid_sources);
    for (uint32_t s = 2; s <= n; ++s) {
        EXPECT_TRUE(f.admit(s, 3)) << s;
    }
    EXPECT_FALSE(f.admit(1, 3));  // pushed out: a candidate again
    EXPECT_TRUE(f.admit(1, 4));
}

}  // namespace
