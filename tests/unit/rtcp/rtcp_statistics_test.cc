// Reception statistics (RFC 3550 A.1, A.3, A.8) against a transcription of
// the appendix, and the A.7 interval.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "rtcp/rtcp_statistics.hh"

using namespace tessal;

namespace {

// RFC 3550 appendix A.1 as printed (sequence numbers compared modulo 2^16
// during probation), with the A.3 expected/lost figures.
struct reference_source {
    static constexpr uint32_t k_mod = 1 << 16;
    uint16_t max_seq = 0;
    uint32_t cycles = 0;  // a multiple of 2^16, as in A.1
    uint32_t base_seq = 0;
    uint32_t bad_seq = 0;
    uint32_t probation = 0;
    uint32_t received = 0;

    void init_seq(uint16_t seq) {
        base_seq = seq;
        max_seq = seq;
        bad_seq = k_mod + 1;
        cycles = 0;
        received = 0;
    }
    explicit reference_source(uint16_t seq) {
        init_seq(seq);
        max_seq = static_cast<uint16_t>(seq - 1);
        probation = 2;
    }
    // 1 when the packet is counted.
    int update_seq(uint16_t seq) {
        const uint16_t udelta = static_cast<uint16_t>(seq - max_seq);
        if (probation) {
            if (seq == static_cast<uint16_t>(max_seq + 1)) {
                probation--;
                max_seq = seq;
                if (probation == 0) {
                    init_seq(seq);
                    received++;
                    return 1;
                }
            } else {
                probation = 1;
                max_seq = seq;
            }
            return 0;
        } else if (udelta < 3000) {
            if (seq < max_seq) {
                cycles += k_mod;
            }
            max_seq = seq;
        } else if (udelta <= k_mod - 100) {
            if (seq == bad_seq) {
                init_seq(seq);
            } else {
                bad_seq = (seq + 1) & (k_mod - 1);
                return 0;
            }
        }
        received++;
        return 1;
    }
    uint32_t expected() const { return cycles + max_seq - base_seq + 1; }
    int32_t lost() const {
        const auto l = static_cast<int32_t>(expected() - received);
        return l > 0 ? l : 0;
    }
};

constexpr uint64_t k_t0 = 0x83AA7E8000000000ULL;  // an NTP time

uint64_t ntp_plus_ms(uint64_t ms) {
    return k_t0 + ((ms << 32) / 1000);
}

}  // namespace

TEST(RtcpStatistics, SequenceTrackingMatchesAppendixA1) {
    struct Case {
        const char *name;
        std::vector<uint16_t> seqs;
    };
    const Case cases[] = {
        {"in order", {10, 11, 12, 13, 14, 15}},
        {"loss", {10, 11, 12, 15, 16, 20, 21}},
        {"duplication", {10, 11, 12, 12, 13, 13, 13, 14}},
        {"reordering", {10, 11, 12, 14, 13, 16, 15, 17}},
        {"wrap", {65533, 65534, 65535, 0, 1, 65535, 2, 3}},
        {"restart after a jump", {10, 11, 12, 13, 9000, 9001, 9002, 9004}},
        {"jump not confirmed", {10, 11, 12, 8000, 13, 14, 8000, 15}},
        {"probation interrupted", {10, 12, 13, 14, 15}},
        {"late packet far behind", {5000, 5001, 5002, 4950, 5003}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receiver_statistics s;
        reference_source ref(c.seqs.front());
        start_source(s, c.seqs.front(), 0, k_t0);
        for (size_t i = 0; i < c.seqs.size(); ++i) {
            SCOPED_TRACE(i);
            const uint16_t seq = c.seqs[i];
            const int counted = ref.update_seq(seq);
            const RTP_ERROR r = update_seq(s, seq);
            EXPECT_EQ(r == RTP_SUCCESS, counted == 1);
            if (r == RTP_SUCCESS) {
                count_packet(s, 100, 0, k_t0);
            }
            EXPECT_EQ(s.received, ref.received);
            EXPECT_EQ(s.max_seq, ref.max_seq);
            EXPECT_EQ(uint32_t{s.cycles} << 16, ref.cycles);
            if (s.received > 0) {
                EXPECT_EQ(expected_packets(s), ref.expected());
                EXPECT_EQ(s.lost, ref.lost());
            }
        }
    }
}

// Regression: init_seq kept cycles, the count and the priors, so a restart
// after a wrap reported tens of thousands of packets as lost.
TEST(RtcpStatistics, RestartResetsCyclesCountsAndPriors) {
    receiver_statistics s;
    start_source(s, 65534, 0, k_t0);
    for (uint16_t seq : std::vector<uint16_t>{65534, 65535, 0, 1, 2}) {
        if (update_seq(s, seq) == RTP_SUCCESS) {
            count_packet(s, 10, 0, k_t0);
        }
    }
    ASSERT_EQ(s.cycles, 1);
    take_report_values(s);
    ASSERT_NE(s.expected_prior, 0u);
    EXPECT_EQ(update_seq(s, 30000), RTP_FAILED);
    EXPECT_EQ(update_seq(s, 30001), RTP_SUCCESS);  // confirms the jump
    count_packet(s, 10, 0, k_t0);
    EXPECT_EQ(s.cycles, 0);
    EXPECT_EQ(s.base_seq, 30001u);
    EXPECT_EQ(s.received, 1u);
    EXPECT_EQ(s.received_prior, 0u);
    EXPECT_EQ(s.expected_prior, 0u);
    EXPECT_EQ(expected_packets(s), 1u);
    EXPECT_EQ(s.lost, 0);
    EXPECT_EQ(take_report_values(s).fraction, 0);
}

TEST(RtcpStatistics, ReportValuesFollowAppendixA3) {
    receiver_statistics s;
    start_source(s, 1, 0, k_t0);
    update_seq(s, 1);
    update_seq(s, 2);  // end of probation: counting starts at 2
    count_packet(s, 10, 0, k_t0);
    for (uint16_t seq = 3; seq <= 11; ++seq) {
        if (seq == 5 || seq == 8) {
            continue;  // two of ten lost
        }
        ASSERT_EQ(update_seq(s, seq), RTP_SUCCESS);
        count_packet(s, 10, 0, k_t0);
    }
    report_values v = take_report_values(s);
    EXPECT_EQ(v.fraction, 2 * 256 / 10);
    EXPECT_EQ(v.lost, 2u);
    EXPECT_EQ(v.max_seq, 11);
    EXPECT_FALSE(s.rtp_seen);
    // Nothing new since: no fraction, the cumulative figure stays.
    v = take_report_values(s);
    EXPECT_EQ(v.fraction, 0);
    EXPECT_EQ(v.lost, 2u);
}

TEST(RtcpStatistics, JitterFollowsAppendixA8WithInjectedArrivals) {
    struct Case {
        const char *name;
        std::vector<uint64_t> arrival_ms;  // packets 20 ms apart in RTP time
        double jitter;
    };
    const Case cases[] = {
        {"steady", {0, 20, 40, 60}, 0.0},
        {"one late by 10 ms", {0, 30}, 900.0 / 16},
        {"late then steady", {0, 30, 50}, 900.0 / 16 * 15 / 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receiver_statistics s;
        s.clock_rate = 90000;
        start_source(s, 100, 5000, ntp_plus_ms(0));
        s.probation = 0;
        for (size_t i = 0; i < c.arrival_ms.size(); ++i) {
            const auto ts = static_cast<uint32_t>(5000 + i * 1800);
            update_seq(s, static_cast<uint16_t>(100 + i));
            count_packet(s, 10, ts, ntp_plus_ms(c.arrival_ms[i]));
        }
        EXPECT_NEAR(s.jitter, c.jitter, 0.01);
    }
}

TEST(RtcpInterval, DeterministicValuesOfAppendixA7) {
    struct Case {
        const char *name;
        int members;
        int senders;
        double rtcp_bw_kbps;
        bool we_sent;
        double avg_size;
        double reduced_min_s;
        bool red_min;
        double want_s;
    };
    const Case cases[] = {
        {"sender pair at 64 kbit/s: the 5 s minimum", 2, 1, 3.2, true, 128, 5.625, true, 5.0},
        {"receiver pair at 64 kbit/s: the reduced minimum", 2, 1, 3.2, false, 128, 5.625, true,
         5.625},
        {"receiver without red_min", 2, 1, 3.2, false, 128, 5.625, false, 5.0},
        {"receivers share three quarters", 1000, 10, 3.2, false, 128, 5.625, true, 422.4},
        {"senders share a quarter", 1000, 10, 3.2, true, 128, 5.625, true, 12.8},
        {"no split when senders dominate", 100, 50, 3.2, true, 128, 5.625, true, 32.0},
        {"6000 kbit/s receiver", 2, 1, 300, false, 128, 0.06, true, 0.06},
        {"no bandwidth yet: the minimum, not infinity", 2, 1, 0, false, 128, 0, false, 5.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(rtcp_deterministic_interval(c.members, c.senders, c.rtcp_bw_kbps, c.we_sent,
                                                c.avg_size, c.reduced_min_s, c.red_min),
                    c.want_s, 1e-9);
    }
}

TEST(RtcpInterval, RandomisedWithinAppendixA7Bounds) {
    struct Case {
        const char *name;
        double t;
        double low;
        double high;
    };
    const Case cases[] = {
        {"5 s", 5.0, 2.0520, 6.1563},
        {"60 ms", 0.06, 0.0246, 0.0739},
    };
    std::mt19937 engine(1234);
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(rtcp_randomised_interval(c.t, 0.5), c.low, 1e-3);
        EXPECT_NEAR(rtcp_randomised_interval(c.t, 1.5), c.high, 1e-3);
        for (int i = 0; i < 1000; ++i) {
            const double t = rtcp_randomised_interval(c.t, factor(engine));
            EXPECT_GE(t, c.low - 1e-3);
            EXPECT_LT(t, c.high);
        }
    }
    EXPECT_DOUBLE_EQ(rtcp_randomised_interval(0, 1.0), 0.001);
}
