// The stream's counters, gathered from where each event is counted: the
// reception flow (per stream and per port), the payload format, the SRTP and
// SRTCP objects and the RTP sender state.

#include "formats/media.hh"
#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"
#include "security/srtcp.hh"
#include "security/srtp.hh"
#include "security/srtp_standard.hh"
#include "stream/media_stream_internal.hh"
#include "tessal/rtcp.hh"

namespace tessal {

namespace {

void add_drops(stream_statistics &out, const srtp_drop_counts &d) {
    out.dropped_malformed += d.malformed;
    out.auth_failures += d.auth;
    out.replay_failures += d.replay;
    out.dropped_own_packets += d.own;
}

}  // namespace

RTP_ERROR media_stream_internal::get_statistics(stream_statistics &out) const {
    if (!initialized_.load() || !rtp_ || !media_ || !reception_flow_) {
        return RTP_UNINITIALIZED;
    }
    stream_statistics s;
    stream_reception_counts counts = stopped_counts_;
    reception_flow_->stream_counts(remote_ssrc_, counts);
    s.datagrams_received = counts.datagrams;
    s.bytes_received = counts.bytes;
    s.dropped_malformed = counts.malformed;
    s.frames_delivered = counts.frames_delivered;
    s.dropped_ring_full = reception_flow_->dropped_ring_full();
    s.dropped_oversize = reception_flow_->dropped_oversize();
    s.dropped_not_rtp = reception_flow_->dropped_not_rtp();
    s.frames_dropped_queue_full = reception_flow_->dropped_queue_full();
    s.dropped_unknown_source = reception_flow_->dropped_unvalidated_source();
    s.dropped_own_packets = reception_flow_->dropped_own_packets();
    s.ssrc_collisions = reception_flow_->ssrc_collisions();
    s.ring_full_waits = reception_flow_->ring_full_waits();

    // Standard SRTP keeps its own object; the library's own SRTP and either
    // SRTCP derive from base_srtp.
    if (srtp_std_) {
        add_drops(s, srtp_std_->drops());
    } else if (srtp_) {
        add_drops(s, srtp_->drops());
    }
    if (srtcp_) {
        add_drops(s, srtcp_->drops());
    }
    s.duplicates = media_->duplicates_dropped();
    s.dropped_malformed += media_->payloads_malformed();
    s.frames_discarded_incomplete = media_->frames_discarded_incomplete();

    s.packets_sent = rtp_->packets_sent();
    s.bytes_sent = rtp_->bytes_sent();
    s.send_failures = rtp_->send_failures();

    s.retransmissions_received = counts.retransmissions;
    if (lr_receiver_) {
        const loss_recovery_receiver_counts r = lr_receiver_->counts();
        s.packets_requested = r.tracker.packets_asked;
        s.recovered_in_time = r.tracker.recovered_in_time;
        s.recovered_late = r.tracker.recovered_late;
        s.given_up = r.tracker.given_up;
    }
    if (lr_sender_) {
        const loss_recovery_sender_counts c = lr_sender_->counts();
        s.retransmissions_sent = c.retransmissions_sent;
        s.retransmissions_refused = c.retransmissions_refused;
    }
    if (rtcp_) {
        const rtcp_feedback_counters f = rtcp_->internal()->feedback_counters();
        s.nacks_sent = f.nack_sent;
        s.nacks_received = f.nack_received;
        s.pli_received = f.pli_received;
        s.fir_received = f.fir_received;
        s.pli_sent = f.pli_sent;
        s.fir_sent = f.fir_sent;
    }
    out = s;
    return RTP_SUCCESS;
}

}  // namespace tessal
