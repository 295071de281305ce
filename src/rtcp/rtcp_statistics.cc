#include "rtcp/rtcp_statistics.hh"

#include <algorithm>
#include <cmath>

#include "rtcp/rtcp_avpf.hh"

namespace tessal {

void init_seq(receiver_statistics &s, uint16_t seq) {
    s.base_seq = seq;
    s.max_seq = seq;
    s.bad_seq = 65536 + 1;  // so seq == bad_seq is false
    s.cycles = 0;
    s.received = 0;
    s.received_prior = 0;
    s.expected_prior = 0;
    s.lost = 0;
}

void start_source(receiver_statistics &s, uint16_t seq, uint32_t rtp_ts, uint64_t arrival_ntp) {
    init_seq(s, seq);
    s.max_seq = static_cast<uint16_t>(seq - 1);
    s.probation = k_rtcp_min_sequential;
    s.first_rtp_ts = rtp_ts;
    s.first_ntp = arrival_ntp;
    s.transit = 0;
}

RTP_ERROR update_seq(receiver_statistics &s, uint16_t seq) {
    const auto udelta = static_cast<uint16_t>(seq - s.max_seq);
    if (s.probation > 0) {
        // RFC 3550 A.1: packets must arrive in sequence before the source is
        // valid (compared modulo 2^16).
        if (seq == static_cast<uint16_t>(s.max_seq + 1)) {
            s.probation--;
            s.max_seq = seq;
            if (s.probation == 0) {
                init_seq(s, seq);
                return RTP_SUCCESS;
            }
        } else {
            s.probation = k_rtcp_min_sequential - 1;
            s.max_seq = seq;
        }
        return RTP_PENDING;
    }
    if (udelta < k_rtcp_max_dropout) {
        if (seq < s.max_seq) {
            s.cycles++;  // wrapped
        }
        s.max_seq = seq;
    } else if (udelta <= 65536 - k_rtcp_max_misorder) {
        if (seq == s.bad_seq) {
            // Two sequential packets after a large jump: the source restarted.
            init_seq(s, seq);
        } else {
            s.bad_seq = static_cast<uint16_t>(seq + 1);
            return RTP_FAILED;
        }
    }
    // else: a duplicate or reordered packet, counted as it is.
    return RTP_SUCCESS;
}

uint32_t expected_packets(const receiver_statistics &s) {
    const uint32_t extended_max = (uint32_t{s.cycles} << 16) | s.max_seq;
    return extended_max - s.base_seq + 1;
}

uint64_t ntp_ms_between(uint64_t older, uint64_t newer) {
    if (newer <= older) {
        return 0;
    }
    const uint64_t d = newer - older;
    return (d >> 32) * 1000 + (((d & 0xFFFFFFFFULL) * 1000 + (1ULL << 31)) >> 32);  // rounded
}

uint64_t ntp_us_between(uint64_t older, uint64_t newer) {
    if (newer <= older) {
        return 0;
    }
    const uint64_t d = newer - older;
    return (d >> 32) * 1000000 + (((d & 0xFFFFFFFFULL) * 1000000 + (1ULL << 31)) >> 32);
}

void count_packet(receiver_statistics &s, size_t payload_len, uint32_t rtp_ts,
                  uint64_t arrival_ntp) {
    const bool first = s.received == 0;
    s.rtp_seen = true;
    s.received++;
    s.octets_received += static_cast<uint32_t>(payload_len);
    const auto lost = static_cast<int32_t>(expected_packets(s) - s.received);
    s.lost = std::max<int32_t>(lost, 0);

    // RFC 3550 A.8: the arrival time in timestamp units, relative to the
    // source's first packet. Microseconds, not milliseconds: at 90 kHz a
    // millisecond is 90 units, and rounding to it reads as jitter.
    const uint64_t us = ntp_us_between(s.first_ntp, arrival_ntp);
    const auto units = static_cast<uint64_t>((static_cast<double>(us) * s.clock_rate + 500000.0) /
                                             1000000.0);  // rounded
    const auto arrival = static_cast<uint32_t>(s.first_rtp_ts + units);
    const auto transit = static_cast<int32_t>(arrival - rtp_ts);
    if (!first) {
        const double d = std::fabs(static_cast<double>(transit) - s.transit);
        s.jitter += (d - s.jitter) / 16.0;
    }
    s.transit = transit;
}

report_values take_report_values(receiver_statistics &s) {
    report_values v;
    const uint32_t expected = expected_packets(s);
    const uint32_t expected_interval = expected - s.expected_prior;
    s.expected_prior = expected;
    const uint32_t received_interval = s.received - s.received_prior;
    s.received_prior = s.received;
    const auto lost_interval = static_cast<int32_t>(expected_interval - received_interval);
    if (expected_interval != 0 && lost_interval > 0) {
        const uint64_t f = (uint64_t(lost_interval) << 8) / expected_interval;
        v.fraction = static_cast<uint8_t>(std::min<uint64_t>(f, 255));
    }
    v.lost = static_cast<uint32_t>(std::max<int32_t>(s.lost, 0));
    v.cycles = s.cycles;
    v.max_seq = s.max_seq;
    v.jitter = static_cast<uint32_t>(s.jitter);
    s.rtp_seen = false;
    return v;
}

double rtcp_deterministic_interval(int members, int senders, double rtcp_bw_kbps, bool we_sent,
                                   double avg_rtcp_size, double reduced_min_s, bool red_min) {
    rtcp_interval_inputs in;
    in.members = members;
    in.senders = senders;
    in.rtcp_bw_kbps = rtcp_bw_kbps;
    in.we_sent = we_sent;
    in.avg_rtcp_size = avg_rtcp_size;
    in.reduced_min_s = reduced_min_s;
    in.red_min = red_min;
    return rtcp_deterministic_interval(in);
}

double rtcp_deterministic_interval(const rtcp_interval_inputs &in) {
    constexpr double k_min_s = 5.0;
    const double bw = in.rtcp_bw_kbps * 1000.0 * 0.125;  // bytes per second
    const double size = in.avg_rtcp_size;
    // No reduced minimum is known before the session bandwidth is.
    const bool have_reduced = in.red_min && in.reduced_min_s > 0;
    double t = 0;
    if (0.25 * in.members >= in.senders) {
        // RFC 3550 6.3.1: senders share a quarter of the RTCP bandwidth.
        if (in.we_sent) {
            t = bw > 0 ? in.senders * size / (bw * 0.25) : 0;
        } else {
            t = bw > 0 ? (in.members - in.senders) * size / (bw * 0.75) : 0;
        }
    } else {
        t = bw > 0 ? in.members * size / bw : 0;
    }
    double minimum = have_reduced && !in.we_sent ? in.reduced_min_s : k_min_s;
    if (in.initial) {
        // RFC 3550 6.2, A.7: half the minimum before the first report; in
        // unicast every participant may use the reduced minimum for it.
        minimum = (have_reduced ? std::min(in.reduced_min_s, k_min_s) : k_min_s) / 2;
    }
    if (in.avpf && in.rtcp_bw_kbps > 0) {
        minimum = in.initial ? k_avpf_initial_min_s : 0.0;
    }
    return std::max(minimum, t);
}

double rtcp_randomised_interval(double interval_s, double factor) {
    // RFC 3550 A.7: compensate for the timer reconsideration's bias.
    constexpr double k_compensation = 2.71828 - 1.5;
    return std::max(0.001, interval_s * factor / k_compensation);
}

rtcp_timer rtcp_timer_start(double tc, double interval_s) {
    rtcp_timer t;
    t.tp = tc;  // RFC 3550 6.3.2: tp = tc at start, tn = tc + T
    t.tn = tc + interval_s;
    return t;
}

bool rtcp_timer_expired(rtcp_timer &t, double tc, double interval_s) {
    // RFC 3550 6.3.6: the interval is recomputed for the membership of now;
    // grown membership pushes the report back instead of sending it.
    const double due = t.tp + interval_s;
    if (due <= tc) {
        return true;
    }
    t.tn = due;
    return false;
}

void rtcp_timer_sent(rtcp_timer &t, double tc, double next_interval_s, int members) {
    // RFC 3550 6.3.6: tp = tc, tn = tc + T drawn anew, pmembers = members.
    t.tp = tc;
    t.tn = tc + next_interval_s;
    t.pmembers = members;
    t.initial = false;
}

bool rtcp_reverse_reconsider(rtcp_timer &t, double tc, int members) {
    if (members >= t.pmembers || t.pmembers <= 0) {
        return false;
    }
    // RFC 3550 6.3.4: tn = tc + (members/pmembers)(tn - tc),
    // tp = tc - (members/pmembers)(tc - tp), pmembers = members.
    const double ratio = static_cast<double>(members) / t.pmembers;
    t.tn = tc + ratio * (t.tn - tc);
    t.tp = tc - ratio * (tc - t.tp);
    t.pmembers = members;
    return true;
}

rtcp_timer rtcp_bye_timer(double tc, double interval_s) {
    // RFC 3550 6.3.7: tp = tc, members = pmembers = 1, initial = 1; the BYE
    // is due at tn = tc + T and reconsidered like a report when it fires.
    rtcp_timer t;
    t.tp = tc;
    t.tn = tc + interval_s;
    t.pmembers = 1;
    t.initial = true;
    return t;
}

double rtcp_member_timeout(rtcp_interval_inputs in) {
    // RFC 3550 6.3.5: Td without the reduced minimum, so that a member is
    // not timed out by a participant with a shorter minimum than its own.
    in.red_min = false;
    in.initial = false;
    // Members keep the RFC 3550 time-out with feedback too: Td without
    // any minimum would time a peer out after a few lost reports.
    in.avpf = false;
    return k_rtcp_member_timeout_intervals * rtcp_deterministic_interval(in);
}

}  // namespace tessal
