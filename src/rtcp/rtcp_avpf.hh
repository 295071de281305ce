#pragma once

// RTCP timing with feedback (RFC 4585 sections 3.4 and 3.5): when feedback
// may go out early, and when a regular report goes out whole. Pure: times
// (seconds on any clock that only moves forward) and random draws are passed
// in; the caller serialises access to the state.

#include "rtcp/rtcp_statistics.hh"

namespace tessal {

// RFC 4585 3.5.1: Tmin is 1 s until the first regular report, 0 after.
constexpr double k_avpf_initial_min_s = 1.0;

struct avpf_state {
    // RFC 4585 3.5.2: one early packet between two regular reports.
    bool allow_early = true;
    // RFC 4585 3.5.3: the last regular report sent whole, and the randomised
    // T_rr_interval measured from it; negative: none sent yet.
    double t_rr_last = -1;
    double t_rr_current_interval = 0;
};

// RFC 4585 3.4: T_dither_max. Point to point (two members, ourselves
// counted) it is 0; otherwise half of T_rr, the last regular interval.
double avpf_dither_max(int members, double t_rr_s);

enum AVPF_EARLY {
    AVPF_EARLY_SEND,          // send an early packet at `te`
    AVPF_EARLY_WITH_REGULAR,  // keep the feedback for the regular report at tn
};

struct avpf_early_decision {
    AVPF_EARLY what = AVPF_EARLY_WITH_REGULAR;
    double te = 0;
};

// RFC 4585 3.5.2: feedback became ready at `t0`. With allow_early and the
// regular report further than T_dither_max away, an early packet is due at
// te = t0 + dither * T_dither_max (`dither` drawn from [0, 1)); then
// allow_early falls and the next regular report moves to tp + 2 * T_rr.
// Otherwise the feedback waits for the report at timer.tn.
avpf_early_decision avpf_schedule_early(avpf_state &s, rtcp_timer &timer, double t0, int members,
                                        double t_rr_s, double dither);

// RFC 4585 3.5.3: the regular timer fired at `tc` and the report is due.
// True when it goes out whole: T_rr_interval is 0, or `tc` is past
// t_rr_last + t_rr_current_interval (then t_rr_last = tc and the next
// interval is factor * T_rr_interval, `factor` drawn from [0.5, 1.5)).
// False: the report is suppressed, only pending feedback goes out (as a
// minimal compound). Either way allow_early rises again.
bool avpf_regular_report(avpf_state &s, double tc, double trr_interval_s, double factor);

}  // namespace tessal
