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
// arrival time given as NTP time.
void count_packet(receiver_statistics &s, size_t payload_len, uint32_t rtp_ts,
                  uint64_t arrival_ntp);
// A.3: fraction lost since the previous block and the cumulative figures;
// moves the priors on and clears rtp_seen.
report_values take_report_values(receiver_statistics &s);

// Milliseconds from `older` to `newer` (NTP times), rounded; 0 when `newer`
// is older.
uint64_t ntp_ms_between(uint64_t older, uint64_t newer);
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

}  // namespace tessal
