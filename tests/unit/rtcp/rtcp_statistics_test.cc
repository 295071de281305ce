// Reception statistics (RFC 3550 A.1, A.3, A.8) against a transcription of
// the appendix, and the A.7 interval.

#include <gtest/gtest.h>

#include <cmath>
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

namespace {

uint64_t ntp_plus_ns(uint64_t ns) {
    return k_t0 + ((ns / 1000000000) << 32) + (((ns % 1000000000) << 32) / 1000000000);
}

}  // namespace

// Regression: arrival times were taken in whole milliseconds, 90 units of a
// 90 kHz clock, so a perfectly paced stream whose packets fall between
// milliseconds reported a jitter of tens of units.
TEST(RtcpStatistics, JitterOfAPerfectlyPacedStreamIsNearZero) {
    struct Case {
        const char *name;
        uint32_t clock_rate;
        uint32_t ts_step;    // RTP units between packets
        uint64_t phase_ns;   // arrival of the first packet after the whole ms
        double late_us;      // the 30th packet comes this much late
        double want_jitter;  // after 40 packets
        double tolerance;
    };
    const Case cases[] = {
        {"30 fps at 90 kHz", 90000, 3000, 0, 0, 0, 1.0},
        {"60 fps at 90 kHz, 0.4 ms phase", 90000, 1500, 400000, 0, 0, 1.0},
        {"paced slices, 1.5 ms apart", 90000, 135, 700000, 0, 0, 1.0},
        {"48 kHz audio, 20 ms, 0.3 ms phase", 48000, 960, 300000, 0, 0, 1.0},
        // 0.5 ms late is a transit change of 45 units, there and back.
        {"one packet 0.5 ms late", 90000, 3000, 0, 500,
         (45.0 / 16 * 15 / 16 + 45.0 / 16) * std::pow(15.0 / 16, 8), 0.5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receiver_statistics s;
        s.clock_rate = c.clock_rate;
        start_source(s, 100, 5000, ntp_plus_ns(c.phase_ns));
        s.probation = 0;
        for (uint64_t i = 0; i < 40; ++i) {
            // The exact arrival of packet i of a stream paced by its timestamps.
            uint64_t ns = c.phase_ns + i * c.ts_step * 1000000000ULL / c.clock_rate;
            if (i == 30) {
                ns += static_cast<uint64_t>(c.late_us * 1000);
            }
            update_seq(s, static_cast<uint16_t>(100 + i));
            count_packet(s, 10, static_cast<uint32_t>(5000 + i * c.ts_step), ntp_plus_ns(ns));
        }
        EXPECT_NEAR(s.jitter, c.want_jitter, c.tolerance);
    }
}

// RFC 3550 6.2: the first report waits half the minimum; in unicast the
// reduced minimum may serve senders for it too.
TEST(RtcpInterval, InitialIntervalHalvesTheMinimum) {
    struct Case {
        const char *name;
        bool we_sent;
        bool initial;
        double reduced_min_s;
        double want_s;
    };
    const Case cases[] = {
        {"64 kbit/s sender, later", true, false, 5.625, 5.0},
        {"64 kbit/s sender, first report", true, true, 5.625, 2.5},
        {"64 kbit/s receiver, later", false, false, 5.625, 5.625},
        {"64 kbit/s receiver, first report: not above 5 s / 2", false, true, 5.625, 2.5},
        {"6 Mbit/s sender, first report: 60 ms / 2", true, true, 0.06, 0.03},
        {"6 Mbit/s sender, later: 5 s", true, false, 0.06, 5.0},
        {"no bandwidth yet, first report", false, true, 0, 2.5},
        {"no bandwidth yet, later: 5 s, not 0", false, false, 0, 5.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_interval_inputs in;
        in.members = 2;
        in.senders = 1;
        in.rtcp_bw_kbps = c.reduced_min_s > 0 ? 360 / c.reduced_min_s * 0.05 : 0;
        in.we_sent = c.we_sent;
        in.avg_rtcp_size = 128;
        in.reduced_min_s = c.reduced_min_s;
        in.red_min = true;
        in.initial = c.initial;
        EXPECT_NEAR(rtcp_deterministic_interval(in), c.want_s, 1e-9);
    }
}

// RFC 3550 6.3.5: M * Td with M = 5 and Td without the reduced minimum.
TEST(RtcpInterval, MemberTimeoutIsFiveDeterministicIntervals) {
    struct Case {
        const char *name;
        int members;
        double reduced_min_s;
        double want_s;
    };
    const Case cases[] = {
        {"pair at 6 Mbit/s: 5 x 5 s, not 5 x 60 ms", 2, 0.06, 25.0},
        // 1000 receivers at 3.2 kbit/s of RTCP: 1000 x 128 / 300 B/s.
        {"1000 receivers", 1000, 5.625, 5 * 1000 * 128 / 300.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_interval_inputs in;
        in.members = c.members;
        in.senders = 0;
        in.rtcp_bw_kbps = c.members == 2 ? 300 : 3.2;
        in.avg_rtcp_size = 128;
        in.reduced_min_s = c.reduced_min_s;
        in.red_min = true;
        in.initial = true;
        EXPECT_NEAR(rtcp_member_timeout(in), c.want_s, 1e-9);
    }
}

// RFC 3550 6.3.6 and A.7 OnExpire: the interval is drawn again when the
// timer fires; a report goes out only when tp + T has passed.
TEST(RtcpTimer, ReconsiderationOnExpiry) {
    struct Case {
        const char *name;
        double tp;
        double tn;
        double tc;
        double interval_s;  // drawn at tc for the membership of now
        bool want_send;
        double want_tn;
    };
    const Case cases[] = {
        {"same membership: due", 100, 105, 105, 5, true, 105},
        {"membership grew: pushed back", 100, 105, 105, 12, false, 112},
        {"grew a little, drawn short: due", 100, 105, 105, 4.5, true, 105},
        {"late wake-up: due", 100, 105, 130, 20, true, 105},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_timer t;
        t.tp = c.tp;
        t.tn = c.tn;
        EXPECT_EQ(rtcp_timer_expired(t, c.tc, c.interval_s), c.want_send);
        EXPECT_DOUBLE_EQ(t.tn, c.want_tn);
        EXPECT_DOUBLE_EQ(t.tp, c.tp);
    }
}

TEST(RtcpTimer, StartAndSendMoveTheTimer) {
    rtcp_timer t = rtcp_timer_start(10, 1.5);
    EXPECT_DOUBLE_EQ(t.tp, 10);
    EXPECT_DOUBLE_EQ(t.tn, 11.5);
    EXPECT_TRUE(t.initial);
    EXPECT_EQ(t.pmembers, 1);
    ASSERT_TRUE(rtcp_timer_expired(t, 11.5, 1.5));
    rtcp_timer_sent(t, 11.5, 4, 7);
    EXPECT_DOUBLE_EQ(t.tp, 11.5);
    EXPECT_DOUBLE_EQ(t.tn, 15.5);
    EXPECT_EQ(t.pmembers, 7);
    EXPECT_FALSE(t.initial);
}

// RFC 3550 6.3.4: tn = tc + m/p (tn - tc), tp = tc - m/p (tc - tp).
TEST(RtcpTimer, ReverseReconsiderationWhenMembersLeave) {
    struct Case {
        const char *name;
        int pmembers;
        int members;
        bool want_changed;
        double want_tn;
        double want_tp;
        int want_pmembers;
    };
    // tp = 4, tc = 10, tn = 20 throughout.
    const Case cases[] = {
        {"half left", 10, 5, true, 15, 7, 5},
        {"all but one of 100 left", 100, 1, true, 10.1, 9.94, 1},
        {"nobody left", 10, 10, false, 20, 4, 10},
        {"more joined: left to reconsideration", 10, 12, false, 20, 4, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_timer t;
        t.tp = 4;
        t.tn = 20;
        t.pmembers = c.pmembers;
        EXPECT_EQ(rtcp_reverse_reconsider(t, 10, c.members), c.want_changed);
        EXPECT_NEAR(t.tn, c.want_tn, 1e-9);
        EXPECT_NEAR(t.tp, c.want_tp, 1e-9);
        EXPECT_EQ(t.pmembers, c.want_pmembers);
    }
}

// RFC 3550 6.3.7: below 50 members the BYE may leave at once; from 50 on it
// is timed as the first report of a session of one, and BYEs received while
// it waits count as members and push it back.
TEST(RtcpTimer, ByeReconsiderationFromFiftyMembers) {
    struct Case {
        const char *name;
        int members;
        bool at_once;
    };
    const Case cases[] = {{"2", 2, true}, {"49", 49, true}, {"50", 50, false}, {"500", 500, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rtcp_bye_at_once(c.members), c.at_once);
    }

    rtcp_interval_inputs in;
    in.members = 1;
    in.rtcp_bw_kbps = 3.2;  // 400 B/s, 300 of them for receivers
    in.avg_rtcp_size = 60;  // the BYE compound
    in.initial = true;
    const double first = rtcp_deterministic_interval(in);
    EXPECT_DOUBLE_EQ(first, 2.5);
    rtcp_timer bye = rtcp_bye_timer(100, first);
    EXPECT_DOUBLE_EQ(bye.tp, 100);
    EXPECT_DOUBLE_EQ(bye.tn, 102.5);
    EXPECT_EQ(bye.pmembers, 1);
    EXPECT_TRUE(bye.initial);

    struct Step {
        const char *name;
        double tc;
        int members;  // 1 + the BYEs received so far
        bool want_send;
        double want_tn;
    };
    const Step steps[] = {
        // 20 BYEs of 60 bytes: 20 x 60 / 300 = 4 s from tp.
        {"20 BYEs arrived: pushed back", 102.5, 20, false, 104},
        {"30 BYEs: again", 104, 30, false, 106},
        {"no more: due", 106, 30, true, 106},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        in.members = s.members;
        EXPECT_EQ(rtcp_timer_expired(bye, s.tc, rtcp_deterministic_interval(in)), s.want_send);
        EXPECT_DOUBLE_EQ(bye.tn, s.want_tn);
    }
}
