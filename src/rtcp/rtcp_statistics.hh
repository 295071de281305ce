#pragma once

// Reception statistics of one remote source (RFC 3550 appendices A.1, A.3
// and A.8) and the sending interval (appendix A.7). Pure: times are passed
// in, nothing here reads a clock. The caller serialises access to a record.

#include <cstddef>
#include <cstdint>

#include "tessal/util.hh"

namespace tessal {

constexpr int k_rtcp_max_dropout = 3000;
constexpr int k_rtcp_max_misorder = 100;
constexpr int k_rtcp_min_sequential = 2;

struct receiver_statistics {
    uint32_t received = 0;
    int32_t lost = 0;  // cumulative, never negative
    uint32_t octets_received = 0;
    bool rtp_seen = false;  // counted since the last report block about the source
    uint32_t received_prior = 0;
    uint32_t expected_prior = 0;
    double jitter = 0;  // RTP timestamp units
    int32_t transit = 0;
    uint64_t first_ntp = 0;  // 0: not initialised
    uint32_t first_rtp_ts = 0;
    uint32_t clock_rate = 0;
    uint32_t lsr = 0;  // middle 32 bits of the last SR's NTP time; 0 = none
    uint64_t lsr_arrival = 0;
    uint16_t max_seq = 0;
    uint32_t base_seq = 0;
    uint32_t bad_seq = 0;
    uint16_t cycles = 0;  // wraps of the sequence number
    int32_t probation = 0;
};

// The values of one report block, computed by take_report_values.
struct report_values {
    uint8_t fraction = 0;
    uint32_t lost = 0;
    uint16_t cycles = 0;
    uint16_t max_seq = 0;
    uint32_t jitter = 0;
};

// RFC 3550 A.1 init_seq: a new run starting at `seq`; the counts and priors
// restart with it.
void init_seq(receiver_statistics &s, uint16_t seq);
// A source's first packet: probation starts (A.1), the run begins at `seq`.
void start_source(receiver_statistics &s, uint16_t seq, uint32_t rtp_ts, uint64_t arrival_ntp);
// RFC 3550 A.1 update_seq: RTP_SUCCESS when the packet is to be counted,
// RTP_PENDING while the source is on probation, RTP_FAILED for an
// unconfirmed jump (the next packet in line with it restarts the run).
RTP_ERROR update_seq(receiver_statistics &s, uint16_t seq);
// Packets expected since the run began.
uint32_t expected_packets(const receiver_statistics &s);
// Counts one accepted packet: loss, octets and the A.8 jitter, with the
// arrival time given as NTP time (taken to the microsecond).
void count_packet(receiver_statistics &s, size_t payload_len, uint32_t rtp_ts,
                  uint64_t arrival_ntp);
// A.3: fraction lost since the previous block and the cumulative figures;
// moves the priors on and clears rtp_seen.
report_values take_report_values(receiver_statistics &s);

// Milliseconds from `older` to `newer` (NTP times), rounded; 0 when `newer`
// is older.
uint64_t ntp_ms_between(uint64_t older, uint64_t newer);
// The same in microseconds.
uint64_t ntp_us_between(uint64_t older, uint64_t newer);
// The middle 32 bits of an NTP time (the LSR/DLSR time base).
inline uint32_t ntp_middle_32(uint64_t ntp) {
    return static_cast<uint32_t>(ntp >> 16);
}

// RFC 3550 A.7 without randomisation, in seconds: senders share a quarter
// of `rtcp_bw_kbps` when they are at most a quarter of the members; the
// minimum is 5 s, or `reduced_min_s` for receivers with `red_min`.
double rtcp_deterministic_interval(int members, int senders, double rtcp_bw_kbps, bool we_sent,
                                   double avg_rtcp_size, double reduced_min_s, bool red_min);
// Scales by `factor` (drawn from [0.5, 1.5)) and by 1 / (e - 3/2); at least
// 1 ms.
double rtcp_randomised_interval(double interval_s, double factor);

// Everything the A.7 interval depends on.
struct rtcp_interval_inputs {
    int members = 1;  // ourselves included
    int senders = 0;  // ourselves included when we_sent
    double rtcp_bw_kbps = 0;
    bool we_sent = false;
    double avg_rtcp_size = 0;
    double reduced_min_s = 0;
    bool red_min = false;
    bool initial = false;  // no report sent yet: half the (reduced) minimum
    // RFC 4585 3.4 (RCE_RTCP_FEEDBACK): no 5 s minimum; Tmin is 1 s before
    // the first report and 0 after. Needs a known RTCP bandwidth, else the
    // RFC 3550 minimum stays.
    bool avpf = false;
};
double rtcp_deterministic_interval(const rtcp_interval_inputs &in);

// The transmission timer of RFC 3550 6.3, times in seconds on any clock
// that only moves forward.
struct rtcp_timer {
    double tp = 0;     // the last transmission
    double tn = 0;     // the next scheduled transmission
    int pmembers = 1;  // members when tn was last computed
    bool initial = true;
};

// RFC 3550 6.3.2: the first report is due one (initial) interval after `tc`.
rtcp_timer rtcp_timer_start(double tc, double interval_s);
// RFC 3550 6.3.6 (timer reconsideration): the timer fired at `tc` and
// `interval_s` is a freshly drawn interval for the current membership. True
// when tp + interval_s <= tc, the packet is due; otherwise tn moves to
// tp + interval_s and the answer is false.
bool rtcp_timer_expired(rtcp_timer &t, double tc, double interval_s);
// RFC 3550 6.3.6: a report went out at `tc`; the next is due after
// `next_interval_s`, drawn again with the new average size.
void rtcp_timer_sent(rtcp_timer &t, double tc, double next_interval_s, int members);
// RFC 3550 6.3.4 (reverse reconsideration): membership fell to `members`
// at `tc` (a BYE, a time-out). tn and tp move towards tc in proportion when
// members < pmembers; false when nothing changed.
bool rtcp_reverse_reconsider(rtcp_timer &t, double tc, int members);

// RFC 3550 6.3.7: from this many members on, a BYE is scheduled.
constexpr int k_rtcp_bye_reconsideration_members = 50;
// True when a participant leaving a session of `members` may send its BYE
// at once.
inline bool rtcp_bye_at_once(int members) {
    return members < k_rtcp_bye_reconsideration_members;
}
// RFC 3550 6.3.7: the BYE timer is that of a session of one just joined:
// tp = tc, pmembers = 1, initial; `interval_s` is drawn for one member, no
// sender and the BYE's size as the average.
rtcp_timer rtcp_bye_timer(double tc, double interval_s);

// RFC 3550 6.3.5: members silent for this many deterministic intervals
// (M) time out.
constexpr int k_rtcp_member_timeout_intervals = 5;
// RFC 3550 6.3.5: the member time-out M * Td in seconds, Td computed
// without the reduced minimum and as if not initial.
double rtcp_member_timeout(rtcp_interval_inputs in);

}  // namespace tessal
