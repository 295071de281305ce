// The impairment model of the relay as pure logic: reproducible from its
// seed, and each impairment doing what it says at about the rate it is set to.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "impair/impairment.hh"

using namespace tessal_tools;

namespace {

constexpr int k_packets = 20000;
constexpr int64_t k_gap_us = 1000;  // one datagram per millisecond

std::vector<uint8_t> datagram(int n, size_t size = 200) {
    std::vector<uint8_t> d(size);
    for (size_t i = 0; i < size; ++i) {
        d[i] = static_cast<uint8_t>(n * 31 + static_cast<int>(i));
    }
    return d;
}

struct run_result {
    std::vector<uint32_t> verdicts;
    std::vector<impaired_datagram> out;
    impairment_counts counts;
};

run_result run(const impairment_config &c, uint64_t seed, int packets = k_packets,
               size_t size = 200) {
    impairment m(c, seed);
    run_result r;
    for (int n = 0; n < packets; ++n) {
        const std::vector<uint8_t> d = datagram(n, size);
        r.verdicts.push_back(m.process(d.data(), d.size(), n * k_gap_us, r.out));
    }
    r.counts = m.counts();
    return r;
}

}  // namespace

TEST(Impairment, OneSeedGivesTheSameDecisionsAnotherDoesNot) {
    impairment_config c;
    c.loss = 0.05;
    c.ge_p = 0.01;
    c.ge_r = 0.3;
    c.reorder = 0.05;
    c.duplicate = 0.05;
    c.jitter_us = 3000;
    c.corrupt = 0.05;
    c.truncate = 0.05;
    const run_result a = run(c, 42);
    const run_result b = run(c, 42);
    const run_result other = run(c, 43);
    EXPECT_EQ(a.verdicts, b.verdicts);
    ASSERT_EQ(a.out.size(), b.out.size());
    for (size_t i = 0; i < a.out.size(); ++i) {
        ASSERT_EQ(a.out[i].release_us, b.out[i].release_us) << i;
        ASSERT_EQ(a.out[i].bytes, b.out[i].bytes) << i;
    }
    EXPECT_NE(a.verdicts, other.verdicts);
}

TEST(Impairment, EachImpairmentAloneAtItsRate) {
    struct Case {
        const char *name;
        impairment_config config;
        uint64_t impairment_counts::*counter;
        uint32_t verdict;
        double rate;
    };
    const auto with = [](void (*set)(impairment_config &)) {
        impairment_config c;
        set(c);
        return c;
    };
    const Case cases[] = {
        {"loss", with([](impairment_config &c) { c.loss = 0.01; }), &impairment_counts::lost_random,
         VERDICT_LOST_RANDOM, 0.01},
        {"bursty loss", with([](impairment_config &c) {
             c.ge_p = 0.01;
             c.ge_r = 0.25;
         }),
         &impairment_counts::lost_burst, VERDICT_LOST_BURST, 0.01 / (0.01 + 0.25)},
        {"reorder", with([](impairment_config &c) { c.reorder = 0.01; }),
         &impairment_counts::reordered, VERDICT_REORDERED, 0.01},
        {"duplicate", with([](impairment_config &c) { c.duplicate = 0.005; }),
         &impairment_counts::duplicated, VERDICT_DUPLICATED, 0.005},
        {"corrupt", with([](impairment_config &c) { c.corrupt = 0.02; }),
         &impairment_counts::corrupted, VERDICT_CORRUPTED, 0.02},
        {"truncate", with([](impairment_config &c) { c.truncate = 0.02; }),
         &impairment_counts::truncated, VERDICT_TRUNCATED, 0.02},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const run_result r = run(c.config, 7);
        const double seen = static_cast<double>(r.counts.*c.counter) / k_packets;
        EXPECT_GT(seen, c.rate * 0.7);
        EXPECT_LT(seen, c.rate * 1.3);
        uint64_t flagged = 0;
        for (uint32_t v : r.verdicts) {
            flagged += (v & c.verdict) != 0 ? 1 : 0;
        }
        EXPECT_EQ(flagged, r.counts.*c.counter);
        // Nothing else happened, and every datagram is accounted for.
        impairment_counts others = r.counts;
        others.*c.counter = 0;
        EXPECT_EQ(others.lost() + others.reordered + others.duplicated + others.corrupted +
                      others.truncated + others.delayed,
                  c.counter == &impairment_counts::reordered ? r.counts.reordered : 0u);
        EXPECT_EQ(r.counts.received, static_cast<uint64_t>(k_packets));
        EXPECT_EQ(r.counts.forwarded, r.counts.received - r.counts.lost() + r.counts.duplicated);
        EXPECT_EQ(r.out.size(), r.counts.forwarded);
    }
}

TEST(Impairment, DatagramsAreChangedAsTheVerdictSays) {
    impairment_config c;
    c.corrupt = 0.1;
    c.truncate = 0.1;
    c.duplicate = 0.1;
    c.reorder = 0.1;
    c.reorder_delay_us = 50000;
    c.delay_us = 2000;
    c.jitter_us = 1000;
    impairment m(c, 99);
    for (int n = 0; n < 2000; ++n) {
        const std::vector<uint8_t> d = datagram(n);
        const int64_t now = n * k_gap_us;
        std::vector<impaired_datagram> out;
        const uint32_t v = m.process(d.data(), d.size(), now, out);
        ASSERT_EQ(out.size(), (v & VERDICT_DUPLICATED) != 0 ? 2u : 1u);
        for (const impaired_datagram &o : out) {
            const int64_t base =
                now + c.delay_us + ((v & VERDICT_REORDERED) ? c.reorder_delay_us : 0);
            EXPECT_GE(o.release_us, base);
            EXPECT_LE(o.release_us, base + c.jitter_us);
            if ((v & VERDICT_TRUNCATED) != 0) {
                ASSERT_LT(o.bytes.size(), d.size());
            } else {
                ASSERT_EQ(o.bytes.size(), d.size());
            }
            int bits = 0;
            for (size_t i = 0; i < o.bytes.size(); ++i) {
                bits += __builtin_popcount(static_cast<unsigned>(o.bytes[i] ^ d[i]));
            }
            // A flipped bit cut off by the truncation leaves nothing to see.
            EXPECT_LE(bits, (v & VERDICT_CORRUPTED) != 0 ? 1 : 0);
            if ((v & (VERDICT_CORRUPTED | VERDICT_TRUNCATED)) == VERDICT_CORRUPTED) {
                EXPECT_EQ(bits, 1);
            }
        }
    }
}

TEST(Impairment, BurstyLossComesInRunsOfTheExpectedMeanLength) {
    impairment_config c;
    c.ge_p = 0.005;
    c.ge_r = 0.2;  // mean stay in the bad state 1 / r = 5 datagrams
    const run_result r = run(c, 11, 200000);
    int runs = 0;
    int lost = 0;
    bool in_run = false;
    for (uint32_t v : r.verdicts) {
        const bool l = (v & VERDICT_LOST_BURST) != 0;
        runs += (l && !in_run) ? 1 : 0;
        lost += l ? 1 : 0;
        in_run = l;
    }
    ASSERT_GT(runs, 100);
    const double mean = static_cast<double>(lost) / runs;
    EXPECT_GT(mean, 4.0);
    EXPECT_LT(mean, 6.0);
    // The same loss rate, independent: runs of about one datagram.
    impairment_config flat;
    flat.loss = static_cast<double>(lost) / 200000;
    const run_result f = run(flat, 11, 200000);
    int flat_runs = 0;
    in_run = false;
    for (uint32_t v : f.verdicts) {
        const bool l = (v & VERDICT_LOST_RANDOM) != 0;
        flat_runs += (l && !in_run) ? 1 : 0;
        in_run = l;
    }
    EXPECT_LT(static_cast<double>(f.counts.lost_random) / flat_runs, 1.2);
}

TEST(Impairment, RateLimitSpacesDatagramsAndTailDropsWhatTheQueueCannotHold) {
    impairment_config c;
    c.rate_bps = 800000;    // 100 bytes per millisecond
    c.queue_bytes = 10000;  // 50 datagrams of 200 bytes
    impairment m(c, 5);
    std::vector<impaired_datagram> out;
    // 200 bytes every millisecond: twice what the link carries.
    for (int n = 0; n < 1000; ++n) {
        const std::vector<uint8_t> d = datagram(n);
        m.process(d.data(), d.size(), n * k_gap_us, out);
    }
    const impairment_counts &k = m.counts();
    EXPECT_GT(k.queue_dropped, 400u);
    EXPECT_LT(k.queue_dropped, 600u);
    EXPECT_EQ(k.forwarded + k.queue_dropped, 1000u);
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_GE(out[i].release_us - out[i - 1].release_us, 2000) << i;
    }
    // What leaves never waits longer than the full queue takes to drain
    // (10000 bytes at 100 bytes per millisecond), plus its own time on the link.
    EXPECT_LE(out.back().release_us - 999 * k_gap_us, 100000 + 2000);
}

TEST(Impairment, OneImpairmentDoesNotMoveTheDecisionsOfAnother) {
    impairment_config loss_only;
    loss_only.loss = 0.05;
    impairment_config loss_and_more = loss_only;
    loss_and_more.duplicate = 0.2;
    loss_and_more.corrupt = 0.2;
    loss_and_more.jitter_us = 5000;
    const run_result a = run(loss_only, 3);
    const run_result b = run(loss_and_more, 3);
    ASSERT_EQ(a.verdicts.size(), b.verdicts.size());
    for (size_t i = 0; i < a.verdicts.size(); ++i) {
        ASSERT_EQ(a.verdicts[i] & k_verdict_lost, b.verdicts[i] & k_verdict_lost) << i;
    }
}

TEST(Impairment, FractionsParseAsDecimalsOrPercentages) {
    struct Case {
        const char *text;
        bool ok;
        double value;
    };
    const Case cases[] = {{"0.01", true, 0.01}, {"1%", true, 0.01}, {"0", true, 0},
                          {"1", true, 1},       {"150%", false, 0}, {"-0.1", false, 0},
                          {"", false, 0},       {"x", false, 0},    {"0.1x", false, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        double v = -1;
        EXPECT_EQ(parse_fraction(c.text, &v), c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value);
        }
    }
}
