// Receiver loss detection for generic NACK (RFC 4585) and retransmission
// (RFC 4588): what each arrival is, when a missing packet is asked for,
// again, and given up, driven by a fake time.

#include "rtp/nack_tracker.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

using namespace tessal;

namespace {

constexpr int64_t k_ms = 1000;

std::vector<uint16_t> range(uint16_t first, uint16_t last) {
    std::vector<uint16_t> v;
    for (uint16_t s = first; s != static_cast<uint16_t>(last + 1); ++s) {
        v.push_back(s);
    }
    return v;
}

// A tracker, a fake time and the result of the last timer call.
struct fixture {
    explicit fixture(const nack_config &c = nack_config{}) : t(c) {}
    nack_arrival arrive(uint16_t seq, bool rtx = false) { return t.on_packet(seq, now, rtx); }
    void arrive_all(const std::vector<uint16_t> &seqs) {
        for (uint16_t s : seqs) {
            arrive(s);
        }
    }
    // The timer at `at`; returns the numbers to NACK.
    std::vector<uint16_t> tick(int64_t at, int64_t rtt = 0) {
        now = at;
        t.due(now, rtt, out);
        return out.nack;
    }
    nack_tracker t;
    int64_t now = 0;
    nack_due out;
};

TEST(NackTracker, ArrivalTable) {
    struct step {
        uint16_t seq;
        bool rtx;
        nack_arrival_kind kind;
        uint32_t gap;
    };
    struct Case {
        const char *name;
        std::vector<step> steps;
        size_t missing;
        uint64_t given_up;
    };
    constexpr bool o = false;  // an original
    constexpr bool x = true;   // a retransmission
    const Case cases[] = {
        {"in order",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {11, o, NACK_ARRIVAL_IN_ORDER, 0},
          {12, o, NACK_ARRIVAL_IN_ORDER, 0}},
         0,
         0},
        {"single loss",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0}, {12, o, NACK_ARRIVAL_AFTER_GAP, 1}},
         1,
         0},
        {"burst loss",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0}, {15, o, NACK_ARRIVAL_AFTER_GAP, 4}},
         4,
         0},
        {"reordered packet fills its gap",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {12, o, NACK_ARRIVAL_AFTER_GAP, 1},
          {11, o, NACK_ARRIVAL_REORDERED, 0}},
         0,
         0},
        {"wrap-around 65535 -> 0 in order, then a gap across it",
         {{65534, o, NACK_ARRIVAL_IN_ORDER, 0},
          {65535, o, NACK_ARRIVAL_IN_ORDER, 0},
          {0, o, NACK_ARRIVAL_IN_ORDER, 0},
          {2, o, NACK_ARRIVAL_AFTER_GAP, 1},
          {1, o, NACK_ARRIVAL_REORDERED, 0}},
         0,
         0},
        {"gap spanning the wrap",
         {{65533, o, NACK_ARRIVAL_IN_ORDER, 0},
          {1, o, NACK_ARRIVAL_AFTER_GAP, 3},
          {65535, o, NACK_ARRIVAL_REORDERED, 0}},
         2,
         0},
        {"duplicates of the highest and of an older packet",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {11, o, NACK_ARRIVAL_IN_ORDER, 0},
          {11, o, NACK_ARRIVAL_DUPLICATE, 0},
          {10, x, NACK_ARRIVAL_DUPLICATE, 0}},
         0,
         0},
        {"before the first packet is too old",
         {{100, o, NACK_ARRIVAL_IN_ORDER, 0}, {99, o, NACK_ARRIVAL_TOO_OLD, 0}},
         0,
         0},
        {"retransmission fills a gap",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {13, o, NACK_ARRIVAL_AFTER_GAP, 2},
          {11, x, NACK_ARRIVAL_RECOVERED, 0}},
         1,
         0},
        {"huge jump: ignored once, the next in line restarts",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {12, o, NACK_ARRIVAL_AFTER_GAP, 1},
          {5000, o, NACK_ARRIVAL_JUMP, 0},
          {5001, o, NACK_ARRIVAL_RESTART, 0},
          {5000, o, NACK_ARRIVAL_DUPLICATE, 0},
          {4999, o, NACK_ARRIVAL_TOO_OLD, 0},
          {12, o, NACK_ARRIVAL_JUMP, 0},
          {5003, o, NACK_ARRIVAL_AFTER_GAP, 1}},
         1,
         1},
        {"restart far behind",
         {{5000, o, NACK_ARRIVAL_IN_ORDER, 0},
          {100, o, NACK_ARRIVAL_JUMP, 0},
          {101, o, NACK_ARRIVAL_RESTART, 0},
          {102, o, NACK_ARRIVAL_IN_ORDER, 0}},
         0,
         0},
        {"one stray packet does not restart",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {40000, o, NACK_ARRIVAL_JUMP, 0},
          {11, o, NACK_ARRIVAL_IN_ORDER, 0},
          {40001, o, NACK_ARRIVAL_JUMP, 0},
          {12, o, NACK_ARRIVAL_IN_ORDER, 0}},
         0,
         0},
        {"retransmissions never restart",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0},
          {5000, x, NACK_ARRIVAL_JUMP, 0},
          {5001, x, NACK_ARRIVAL_JUMP, 0},
          {11, o, NACK_ARRIVAL_IN_ORDER, 0}},
         0,
         0},
        {"a jump of exactly max_jump opens a gap, bounded",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0}, {3010, o, NACK_ARRIVAL_AFTER_GAP, 2999}},
         1000,
         1999},
        {"one more than max_jump is a jump",
         {{10, o, NACK_ARRIVAL_IN_ORDER, 0}, {3011, o, NACK_ARRIVAL_JUMP, 0}},
         0,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const step &s = c.steps[i];
            const nack_arrival a = f.arrive(s.seq, s.rtx);
            EXPECT_EQ(a.kind, s.kind) << "step " << i << " seq " << s.seq;
            EXPECT_EQ(a.gap, s.gap) << "step " << i << " seq " << s.seq;
        }
        EXPECT_EQ(f.t.missing(), c.missing);
        EXPECT_EQ(f.t.counters().given_up, c.given_up);
    }
}

TEST(NackTracker, CountersFollowArrivals) {
    fixture f;
    f.arrive_all({10, 13});  // 11, 12 missing
    EXPECT_EQ(f.tick(20 * k_ms), (std::vector<uint16_t>{11, 12}));
    const nack_arrival a = f.arrive(11, true);
    EXPECT_EQ(a.kind, NACK_ARRIVAL_RECOVERED);
    EXPECT_EQ(a.requests, 1u);
    f.arrive(11);        // the original, late: the request was in vain
    f.arrive(12, true);  // recovered
    f.arrive(12, true);  // sent twice
    const nack_counters &n = f.t.counters();
    EXPECT_EQ(n.packets_asked, 2u);
    EXPECT_EQ(n.requests, 2u);
    EXPECT_EQ(n.recovered_in_time, 2u);
    EXPECT_EQ(n.duplicates, 2u);
    EXPECT_EQ(n.duplicate_retransmissions, 1u);
    EXPECT_EQ(n.reordered, 0u);
    EXPECT_EQ(f.t.missing(), 0u);
}

// A missing packet is asked for once the delay has passed or enough later
// originals have arrived, whichever comes first; never before.
TEST(NackTracker, ReorderAllowance) {
    struct Case {
        const char *name;
        nack_config config;
        std::vector<std::pair<int64_t, uint16_t>> arrivals;  // (time, seq); 11 is missing
        std::vector<uint16_t> rtx;                           // retransmissions after them
        int64_t first_request_at;
    };
    nack_config packets_off;
    packets_off.reorder_packets = 0;
    nack_config slow;
    slow.reorder_delay_us = 50 * k_ms;
    const Case cases[] = {
        {"time: 10 ms after the gap", nack_config{}, {{0, 10}, {2 * k_ms, 12}}, {}, 12 * k_ms},
        {"packets: the third later original",
         nack_config{},
         {{0, 10}, {1 * k_ms, 12}, {2 * k_ms, 13}, {3 * k_ms, 14}},
         {},
         3 * k_ms},
        {"two later originals are not enough",
         nack_config{},
         {{0, 10}, {1 * k_ms, 12}, {2 * k_ms, 13}},
         {},
         11 * k_ms},
        {"retransmissions do not count as later packets",
         nack_config{},
         {{0, 10}, {1 * k_ms, 12}},
         {13, 14},
         11 * k_ms},
        {"packet rule off",
         packets_off,
         {{0, 10}, {1 * k_ms, 12}, {2 * k_ms, 13}, {3 * k_ms, 14}},
         {},
         11 * k_ms},
        {"a gap of several counts from its creation",
         slow,
         {{0, 10}, {1 * k_ms, 12}, {5 * k_ms, 20}, {6 * k_ms, 21}},
         {},
         6 * k_ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f(c.config);
        for (const auto &a : c.arrivals) {
            f.now = a.first;
            f.arrive(a.second);
        }
        for (uint16_t s : c.rtx) {
            f.arrive(s, true);
        }
        EXPECT_EQ(f.t.next_deadline(), c.first_request_at);
        EXPECT_TRUE(f.tick(c.first_request_at - 1).empty());
        const std::vector<uint16_t> asked = f.tick(c.first_request_at);
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(asked.front(), 11);
    }
}

TEST(NackTracker, ReorderingWithinAllowanceSendsNoNack) {
    fixture f;
    f.arrive_all({10, 12, 13});
    f.now = 4 * k_ms;
    EXPECT_EQ(f.arrive(11).kind, NACK_ARRIVAL_REORDERED);
    f.arrive_all({14, 15, 16});
    EXPECT_TRUE(f.tick(500 * k_ms).empty());
    EXPECT_EQ(f.t.counters().requests, 0u);
    EXPECT_EQ(f.t.counters().reordered, 1u);
    EXPECT_EQ(f.t.next_deadline(), INT64_MAX);
}

// Repeats come one RTT apart: the RTT given, 100 ms while it is unknown,
// never closer than 5 ms.
TEST(NackTracker, RerequestsOneRttApart) {
    struct Case {
        const char *name;
        int64_t rtt;
        int64_t spacing;
    };
    const Case cases[] = {
        {"known RTT", 40 * k_ms, 40 * k_ms},
        {"unknown RTT (0)", 0, 100 * k_ms},
        {"unknown RTT (negative)", -7, 100 * k_ms},
        {"RTT below the floor", 1 * k_ms, 5 * k_ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f;
        f.arrive_all({10, 12});
        const int64_t first = 10 * k_ms;
        EXPECT_EQ(f.tick(first, c.rtt), std::vector<uint16_t>{11});
        EXPECT_EQ(f.t.next_deadline(), first + c.spacing);
        EXPECT_TRUE(f.tick(first + c.spacing - 1, c.rtt).empty());
        EXPECT_EQ(f.tick(first + c.spacing, c.rtt), std::vector<uint16_t>{11});
        EXPECT_TRUE(f.tick(first + 2 * c.spacing - 1, c.rtt).empty());
        EXPECT_EQ(f.tick(first + 2 * c.spacing, c.rtt), std::vector<uint16_t>{11});
        EXPECT_EQ(f.t.counters().requests, 3u);
        EXPECT_EQ(f.t.counters().packets_asked, 1u);
    }
}

// After max_requests a packet is no longer asked for but still waited for
// until its deadline; then it is given up, once.
TEST(NackTracker, MaxRequestsThenGiveUpAtDeadline) {
    nack_config c;
    c.max_requests = 3;
    c.max_wait_us = 500 * k_ms;
    fixture f(c);
    f.now = 7 * k_ms;
    f.arrive_all({10, 12});
    int requests = 0;
    std::vector<uint16_t> given_up;
    for (int64_t t = 7 * k_ms; t <= 600 * k_ms; t += k_ms) {
        requests += static_cast<int>(f.tick(t, 20 * k_ms).size());
        if (requests == 3 && t < 507 * k_ms) {
            EXPECT_EQ(f.t.next_deadline(), 507 * k_ms);
        }
        if (!f.out.given_up.empty()) {
            EXPECT_EQ(t, 507 * k_ms);
        }
        given_up.insert(given_up.end(), f.out.given_up.begin(), f.out.given_up.end());
    }
    EXPECT_EQ(requests, 3);
    EXPECT_EQ(given_up, std::vector<uint16_t>{11});
    EXPECT_EQ(f.t.counters().given_up, 1u);
    EXPECT_EQ(f.t.missing(), 0u);
    EXPECT_EQ(f.t.next_deadline(), INT64_MAX);
}

TEST(NackTracker, LateArrivalAfterGiveUp) {
    fixture f;
    f.arrive_all({10, 12});
    f.tick(10 * k_ms);
    f.tick(999 * k_ms);
    EXPECT_TRUE(f.out.given_up.empty());
    EXPECT_EQ(f.t.missing(), 1u);
    f.tick(1000 * k_ms);
    EXPECT_EQ(f.out.given_up, std::vector<uint16_t>{11});
    EXPECT_EQ(f.arrive(11, true).kind, NACK_ARRIVAL_RECOVERED_LATE);
    EXPECT_EQ(f.arrive(11, true).kind, NACK_ARRIVAL_DUPLICATE);
    EXPECT_EQ(f.t.counters().recovered_late, 1u);
    EXPECT_EQ(f.t.counters().recovered_in_time, 0u);
}

// A shorter budget applies to packets already waited for.
TEST(NackTracker, SetMaxWaitAppliesToPendingPackets) {
    fixture f;
    f.arrive_all({10, 12});
    f.now = 30 * k_ms;
    f.arrive(14);
    f.t.set_max_wait(40 * k_ms);
    EXPECT_EQ(f.t.next_deadline(), 10 * k_ms);  // 11's first request
    f.tick(39 * k_ms);
    EXPECT_TRUE(f.out.given_up.empty());
    f.tick(40 * k_ms);
    EXPECT_EQ(f.out.given_up, std::vector<uint16_t>{11});
    EXPECT_EQ(f.t.next_deadline(), 70 * k_ms);  // 13 given up: its re-request would be later
    f.tick(70 * k_ms);
    EXPECT_EQ(f.out.given_up, std::vector<uint16_t>{13});
}

// The missing list never holds more than max_missing: the oldest are given
// up first, reported by the next timer call, which next_deadline() says is
// due at once.
TEST(NackTracker, BoundOnMissingEntries) {
    nack_config c;
    c.max_missing = 5;
    fixture f(c);
    f.arrive(10);
    f.now = 3 * k_ms;
    EXPECT_EQ(f.arrive(20).gap, 9u);
    EXPECT_EQ(f.t.missing(), 5u);
    EXPECT_EQ(f.t.counters().given_up, 4u);
    EXPECT_EQ(f.t.next_deadline(), 3 * k_ms);
    f.tick(4 * k_ms);
    EXPECT_EQ(f.out.given_up, range(11, 14));
    EXPECT_TRUE(f.out.nack.empty());
    EXPECT_EQ(f.t.next_deadline(), 13 * k_ms);

    f.arrive(27);  // 21..26 missing: 15..19 and 21 go
    EXPECT_EQ(f.t.missing(), 5u);
    f.tick(5 * k_ms);
    std::vector<uint16_t> expected = range(15, 19);
    expected.push_back(21);
    EXPECT_EQ(f.out.given_up, expected);
    EXPECT_EQ(f.arrive(15).kind, NACK_ARRIVAL_RECOVERED_LATE);
    EXPECT_TRUE(f.tick(14 * k_ms - 1).empty());  // 22..26 were seen at 4 ms
    EXPECT_EQ(f.tick(14 * k_ms), range(22, 26));
}

// Whenever due() is called before next_deadline() it has nothing to do, and
// at next_deadline() it has, over a run of losses, requests and give-ups.
TEST(NackTracker, NextDeadlineIsExactlyWhenWorkIsDue) {
    nack_config c;
    c.max_requests = 4;
    c.max_wait_us = 300 * k_ms;
    fixture f(c);
    const int64_t rtt = 35 * k_ms;
    const std::vector<std::pair<int64_t, uint16_t>> arrivals = {
        {0, 65530},     {1 * k_ms, 65533},  {20 * k_ms, 2},  {21 * k_ms, 3},
        {60 * k_ms, 9}, {61 * k_ms, 65534}, {200 * k_ms, 20}};
    size_t next_arrival = 0;
    int events = 0;
    f.tick(0, rtt);
    while (true) {
        int64_t at = f.t.next_deadline();
        if (next_arrival < arrivals.size() && arrivals[next_arrival].first <= at) {
            f.now = arrivals[next_arrival].first;
            f.arrive(arrivals[next_arrival].second);
            ++next_arrival;
            continue;
        }
        if (at == INT64_MAX) {
            break;
        }
        ASSERT_GE(at, f.now);
        if (at > f.now) {
            f.tick(at - 1, rtt);
            EXPECT_TRUE(f.out.nack.empty() && f.out.given_up.empty()) << "at " << at - 1;
        }
        f.tick(at, rtt);
        EXPECT_FALSE(f.out.nack.empty() && f.out.given_up.empty()) << "at " << at;
        ASSERT_LT(++events, 1000);
    }
    EXPECT_EQ(next_arrival, arrivals.size());
    // Every packet missing was asked for; all but 65534 were given up.
    EXPECT_EQ(f.t.counters().recovered_in_time, 1u);
    EXPECT_EQ(f.t.counters().given_up, 20u);
    EXPECT_EQ(f.t.counters().packets_asked, 21u);
    EXPECT_EQ(f.t.missing(), 0u);
}

// A fast stream moves on more than max_jump past a missing packet within
// its deadline: the packet could no longer be taken, so it is given up
// rather than asked for.
TEST(NackTracker, PacketsFallingOutOfRangeAreGivenUp) {
    nack_config c;
    c.max_jump = 100;
    fixture f(c);
    f.arrive_all({10, 12});
    f.arrive_all(range(13, 111));  // 11 is max_jump behind: still in range
    EXPECT_EQ(f.t.missing(), 1u);
    f.arrive(112);
    EXPECT_EQ(f.t.missing(), 0u);
    EXPECT_TRUE(f.tick(10 * k_ms).empty());
    EXPECT_EQ(f.out.given_up, std::vector<uint16_t>{11});
    EXPECT_EQ(f.arrive(11, true).kind, NACK_ARRIVAL_JUMP);
}

TEST(NackTracker, NackListAcrossTheWrapIsOldestFirst) {
    fixture f;
    f.arrive_all({65533, 2});
    EXPECT_EQ(f.tick(10 * k_ms), (std::vector<uint16_t>{65534, 65535, 0, 1}));
}

// A restart gives up what the old numbering still missed.
TEST(NackTracker, RestartGivesUpWhatWasMissing) {
    fixture f;
    f.arrive_all({10, 13});
    f.now = 5 * k_ms;
    f.arrive_all({30000, 30001});
    EXPECT_EQ(f.t.counters().restarts, 1u);
    EXPECT_EQ(f.t.next_deadline(), 5 * k_ms);
    EXPECT_TRUE(f.tick(5 * k_ms).empty());
    EXPECT_EQ(f.out.given_up, (std::vector<uint16_t>{11, 12}));
    EXPECT_EQ(f.arrive(30003).gap, 1u);
}

// Out-of-range settings are brought into range rather than breaking the
// bounds.
TEST(NackTracker, ConfigIsClamped) {
    nack_config c;
    c.max_missing = 0;
    c.max_requests = 0;
    c.max_jump = 60000;
    c.min_rtt_us = -5;
    c.reorder_delay_us = -1;
    const nack_tracker t(c);
    EXPECT_EQ(t.config().max_missing, 1u);
    EXPECT_EQ(t.config().max_requests, 1u);
    EXPECT_EQ(t.config().max_jump, nack_tracker::k_history - 1);
    EXPECT_EQ(t.config().min_rtt_us, 1);
    EXPECT_EQ(t.config().reorder_delay_us, 0);
}

}  // namespace
