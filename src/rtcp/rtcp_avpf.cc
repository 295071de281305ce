#include "rtcp/rtcp_avpf.hh"

namespace tessal {

double avpf_dither_max(int members, double t_rr_s) {
    // RFC 4585 3.4: l = 0.5 for groups; no dithering between two parties.
    return members <= 2 ? 0.0 : 0.5 * t_rr_s;
}

avpf_early_decision avpf_schedule_early(avpf_state &s, rtcp_timer &timer, double t0, int members,
                                        double t_rr_s, double dither) {
    avpf_early_decision d;
    const double dither_max = avpf_dither_max(members, t_rr_s);
    // RFC 4585 3.5.2 step 2: an early packet was sent in this interval
    // already, or the regular one comes within T_dither_max anyway.
    if (!s.allow_early || timer.tn - t0 <= dither_max) {
        d.what = AVPF_EARLY_WITH_REGULAR;
        d.te = timer.tn;
        return d;
    }
    // RFC 4585 3.5.2 steps 3 and 4: te = t0 + RND * T_dither_max; the
    // regular report after it moves a whole interval on.
    d.what = AVPF_EARLY_SEND;
    d.te = t0 + dither * dither_max;
    s.allow_early = false;
    timer.tn = timer.tp + 2 * t_rr_s;
    return d;
}

bool avpf_regular_report(avpf_state &s, double tc, double trr_interval_s, double factor) {
    s.allow_early = true;
    if (trr_interval_s <= 0) {
        return true;
    }
    // RFC 4585 3.5.3: regular reports at most every T_rr_interval,
    // randomised like the RTCP interval.
    if (s.t_rr_last >= 0 && tc < s.t_rr_last + s.t_rr_current_interval) {
        return false;
    }
    s.t_rr_last = tc;
    s.t_rr_current_interval = factor * trr_interval_s;
    return true;
}

}  // namespace tessal
