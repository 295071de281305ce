// The access-unit gate of the H.26x resync mode on its own: which access
// units it hands on whole, which it gives up, and what it holds meanwhile.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "formats/h26x_access_unit_gate.hh"
#include "tessal/frame.hh"

using namespace tessal;
using tessal::formats::access_unit_gate;
using tessal::formats::au_start_hint;

namespace {

const clock::hrc::hrc_t k_t0{std::chrono::seconds(100)};

clock::hrc::hrc_t at_ms(int64_t ms) {
    return k_t0 + std::chrono::milliseconds(ms);
}

struct outcome {
    uint32_t ts;
    bool lost;
    size_t nals;
};

class gate_driver {
public:
    // A packet carrying one whole NAL unit: admitted, and its unit held.
    bool packet(uint16_t seq, uint32_t ts, bool marker, int64_t now_ms = 0,
                au_start_hint hint = au_start_hint::unknown) {
        if (!gate_.admit(seq, ts, marker, hint, at_ms(now_ms))) {
            return false;
        }
        frame::rtp_frame *nal = frame::alloc_rtp_frame(1);
        nal->header.sequence = seq;
        nal->header.timestamp = ts;
        gate_.hold(nal, 0);
        return true;
    }

    std::vector<outcome> advance(int64_t now_ms = 0) {
        std::vector<access_unit_gate::unit> units;
        gate_.advance(at_ms(now_ms), k_window_ms, units);
        std::vector<outcome> got;
        for (access_unit_gate::unit &u : units) {
            got.push_back({u.timestamp, u.lost, u.nals.size()});
            for (const access_unit_gate::held_nal &nal : u.nals) {
                frame::dealloc_frame(nal.frame);
            }
        }
        return got;
    }

    access_unit_gate &gate() { return gate_; }
    static constexpr int64_t k_window_ms = 500;

private:
    access_unit_gate gate_;
};

bool operator==(const outcome &a, const outcome &b) {
    return a.ts == b.ts && a.lost == b.lost && a.nals == b.nals;
}

std::ostream &operator<<(std::ostream &os, const outcome &o) {
    return os << "{ts " << o.ts << (o.lost ? " lost" : " whole") << ", " << o.nals << " NAL units}";
}

using outcomes = std::vector<outcome>;

// The first packets of a stream arriving out of order: the choice of where
// the first access unit begins waits until it is whole.
TEST(AccessUnitGate, ReorderedStartOfAStreamStillGivesAWholeFirstUnit) {
    gate_driver d;
    ASSERT_TRUE(d.packet(11, 1, false));
    EXPECT_EQ(d.advance(), outcomes{});
    ASSERT_TRUE(d.packet(10, 1, false));
    ASSERT_TRUE(d.packet(12, 1, true));
    EXPECT_EQ(d.advance(), (outcomes{{1, false, 3}}));
    // A packet of the next unit, then its marker: handed on.
    ASSERT_TRUE(d.packet(13, 2, true));
    EXPECT_EQ(d.advance(), (outcomes{{2, false, 1}}));
    // Late: behind what was handed on.
    EXPECT_FALSE(d.packet(12, 1, true));
}

// A gap is given up once a packet after it waited the reorder window, and
// the units after it are handed on from the first one known to begin.
TEST(AccessUnitGate, GapIsGivenUpAfterTheReorderWindow) {
    gate_driver d;
    d.packet(1, 1, true);
    EXPECT_EQ(d.advance(), (outcomes{{1, false, 1}}));
    // Packet 2 (unit 2, a single packet) never comes.
    d.packet(3, 3, false, 10);
    d.packet(4, 3, true, 10);
    EXPECT_EQ(d.advance(10), outcomes{});
    EXPECT_EQ(d.advance(500), outcomes{});
    // Unit 3's start is unknown (its predecessor was lost): given up too.
    d.packet(5, 4, true, 511);
    EXPECT_EQ(d.advance(511), (outcomes{{0, true, 0}, {3, true, 0}, {4, false, 1}}));
    EXPECT_EQ(d.gate().nal_units_held(), 0u);
}

// A codec's word that a packet begins an access unit saves the unit after a
// loss; without it, the unit is given up.
TEST(AccessUnitGate, UnitAfterALossIsKeptWhenItsStartIsKnown) {
    for (const au_start_hint hint : {au_start_hint::begins, au_start_hint::unknown}) {
        SCOPED_TRACE(hint == au_start_hint::begins ? "begins" : "unknown");
        gate_driver d;
        d.packet(1, 1, true);
        d.advance();
        d.packet(3, 3, false, 0, hint);
        d.packet(4, 3, true);
        outcomes got = d.advance(600);
        const outcome gap{0, true, 0};
        if (hint == au_start_hint::begins) {
            EXPECT_EQ(got, (outcomes{gap, {3, false, 2}}));
        } else {
            EXPECT_EQ(got, outcomes{gap});  // unit 3 waits for a known start
        }
        d.packet(5, 4, true, 600);
        got = d.advance(600);
        if (hint == au_start_hint::begins) {
            EXPECT_EQ(got, (outcomes{{4, false, 1}}));
        } else {
            EXPECT_EQ(got, (outcomes{{3, true, 0}, {4, false, 1}}));
        }
        EXPECT_EQ(d.gate().packets_held(), 0u);
    }
}

// A permanent gap with a flood behind it: the gate never holds more than
// its bound, and gives the gap up at the bound, not after the window.
TEST(AccessUnitGate, HeldPacketsStayBoundedBehindAGap) {
    gate_driver d;
    d.packet(0, 0, true);
    d.advance();
    size_t most = 0;
    bool gave_up = false;
    for (uint32_t i = 2; i < 3 * access_unit_gate::k_max_packets; ++i) {
        d.packet(static_cast<uint16_t>(i), i, false);  // no unit ever ends
        for (const outcome &o : d.advance()) {
            gave_up = gave_up || o.lost;
        }
        most = std::max(most, d.gate().packets_held());
    }
    EXPECT_TRUE(gave_up);
    EXPECT_LE(most, access_unit_gate::k_max_packets + 1);
}

// A sender that restarts its numbering far behind: after a run of packets
// there, the gate starts over instead of discarding the stream for good.
TEST(AccessUnitGate, RestartedNumberingIsFollowed) {
    gate_driver d;
    d.packet(40000, 1, true);
    EXPECT_EQ(d.advance(), (outcomes{{1, false, 1}}));
    size_t admitted = 0;
    uint16_t seq = 100;
    for (uint32_t ts = 2; ts < 200; ++ts, ++seq) {
        admitted += d.packet(seq, ts, true, 0, au_start_hint::begins) ? 1 : 0;
        for (const outcome &o : d.advance()) {
            admitted += o.lost ? 0 : 100;  // whole units count high
        }
    }
    EXPECT_GT(admitted, 100u * 100);
}

}  // namespace
