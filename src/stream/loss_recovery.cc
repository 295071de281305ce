#include "stream/loss_recovery.hh"

#include <chrono>
#include <cstring>

#include "rtp/rtx.hh"

namespace tessal {

int64_t loss_recovery_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

loss_recovery_sender::loss_recovery_sender(config c, send_fn send,
                                           protect_and_send_fn protect_and_send)
    : config_(c),
      send_(std::move(send)),
      protect_and_send_(std::move(protect_and_send)),
      store_(c.limits),
      rtx_seq_(c.rtx_first_seq) {}

void loss_recovery_sender::reconfigure(const config &c) {
    std::lock_guard<std::mutex> guard(lock_);
    // Kept bytes of the other mode (protected, or plain) must never go out.
    const bool limits_changed = c.limits.max_age_us != config_.limits.max_age_us ||
                                c.limits.max_bytes != config_.limits.max_bytes ||
                                c.limits.max_share_percent != config_.limits.max_share_percent ||
                                (c.rtx_payload_type < 0) != (config_.rtx_payload_type < 0) ||
                                c.srtp != config_.srtp;
    config_ = c;
    if (limits_changed) {
        store_ = retransmission_store(c.limits);
    }
}

loss_recovery_sender::config loss_recovery_sender::settings() const {
    std::lock_guard<std::mutex> guard(lock_);
    return config_;
}

RTP_ERROR loss_recovery_sender::store_handler(void *arg, buffer_vector &pieces) {
    auto *self = static_cast<loss_recovery_sender *>(arg);
    if (self != nullptr) {
        self->store(pieces, false);
    }
    return RTP_SUCCESS;
}

RTP_ERROR loss_recovery_sender::store_protected_handler(void *arg, buffer_vector &pieces) {
    auto *self = static_cast<loss_recovery_sender *>(arg);
    if (self != nullptr) {
        self->store(pieces, true);
    }
    return RTP_SUCCESS;
}

void loss_recovery_sender::store(const buffer_vector &pieces, bool protected_bytes) {
    const int64_t now = loss_recovery_now_us();
    std::lock_guard<std::mutex> guard(lock_);
    // Protected bytes are kept only to resend them as they are; RTX is
    // built from the plain packet.
    const bool wants_protected = config_.srtp && config_.rtx_payload_type < 0;
    if (protected_bytes != wants_protected) {
        return;
    }
    // Before SRTP's handler the last piece is the slot its tag will fill.
    const size_t count = !protected_bytes && config_.srtp && config_.tag_slot > 0 &&
                                 pieces.size() >= 2 && pieces.back().first == config_.tag_slot
                             ? pieces.size() - 1
                             : pieces.size();
    store_.on_sent(pieces.data(), count, now);
}

// The packets go out after the store's lock is released: a send takes the
// socket's locks, under which the send handlers take the store's.
void loss_recovery_sender::on_nack(const std::vector<uint16_t> &seqs, int64_t now_us,
                                   int64_t rtt_us) {
    std::lock_guard<std::mutex> nack(nack_lock_);
    size_t count = 0;
    config c;
    {
        std::lock_guard<std::mutex> guard(lock_);
        c = config_;
        ++counts_.nacks_received;
        for (uint16_t seq : seqs) {
            ++counts_.packets_requested;
            const uint8_t *packet = nullptr;
            size_t size = 0;
            switch (store_.request(seq, now_us, rtt_us, &packet, &size)) {
                case retransmission_verdict::resend:
                    break;
                case retransmission_verdict::unknown:
                    ++counts_.retransmissions_unknown;
                    continue;
                case retransmission_verdict::too_soon:
                    ++counts_.retransmissions_too_soon;
                    continue;
                case retransmission_verdict::over_cap:
                    ++counts_.retransmissions_refused;
                    continue;
            }
            if (outgoing_.size() <= count) {
                outgoing_.emplace_back();
            }
            std::vector<uint8_t> &out = outgoing_[count];
            if (c.rtx_payload_type < 0) {
                // The packet as it first went out, SRTP's tag included: never
                // encrypted a second time.
                out.assign(packet, packet + size);
            } else {
                out.resize(rtx_size_bound(size));
                out.resize(rtx_encode(packet, size, static_cast<uint8_t>(c.rtx_payload_type),
                                      c.rtx_ssrc, rtx_seq_, out.data(), out.size()));
                if (out.empty()) {
                    continue;
                }
                ++rtx_seq_;
            }
            ++count;
        }
    }
    uint64_t sent = 0;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> &out = outgoing_[i];
        const RTP_ERROR rc =
            c.rtx_payload_type < 0 ? send_(out.data(), out.size()) : send_rtx(c, out);
        sent += rc == RTP_SUCCESS ? 1 : 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    counts_.retransmissions_sent += sent;
}

// An RTX packet as rtx_encode made it: in clear without SRTP, else through
// the chain that protects it under the RTX SSRC.
RTP_ERROR loss_recovery_sender::send_rtx(const config &c, std::vector<uint8_t> &rtx) {
    if (!c.srtp) {
        return send_(rtx.data(), rtx.size());
    }
    rtp_layout l;
    if (!protect_and_send_ || !parse_rtp_layout(rtx.data(), rtx.size(), l)) {
        return RTP_SEND_FAILED;  // never in clear on an SRTP stream
    }
    buffer_vector pieces = {{l.header, rtx.data()}, {rtx.size() - l.header, rtx.data() + l.header}};
    if (c.tag_slot > 0) {
        tag_.assign(c.tag_slot, 0);
        pieces.emplace_back(tag_.size(), tag_.data());
    }
    return protect_and_send_(pieces);
}

namespace {

// RFC 5104 section 4.3.1.2: no new request within a round trip of the last.
bool once_per_round_trip(int64_t &last_us, int64_t now_us, int64_t rtt_us) {
    if (last_us != INT64_MIN && now_us - last_us < rtt_us) {
        return false;
    }
    last_us = now_us;
    return true;
}

nack_counters add(const nack_counters &a, const nack_counters &b) {
    nack_counters s;
    s.packets_asked = a.packets_asked + b.packets_asked;
    s.requests = a.requests + b.requests;
    s.recovered_in_time = a.recovered_in_time + b.recovered_in_time;
    s.recovered_late = a.recovered_late + b.recovered_late;
    s.reordered = a.reordered + b.reordered;
    s.given_up = a.given_up + b.given_up;
    s.duplicates = a.duplicates + b.duplicates;
    s.duplicate_retransmissions = a.duplicate_retransmissions + b.duplicate_retransmissions;
    s.restarts = a.restarts + b.restarts;
    return s;
}

}  // namespace

bool loss_recovery_sender::on_key_frame_request(int64_t now_us, int64_t rtt_us) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!once_per_round_trip(last_key_frame_us_, now_us, rtt_us)) {
        return false;
    }
    ++counts_.key_frame_requests;
    return true;
}

loss_recovery_sender_counts loss_recovery_sender::counts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return counts_;
}

// --- receiving ---------------------------------------------------------------------

loss_recovery_receiver::loss_recovery_receiver(const nack_config &config, actions a,
                                               bool key_frames)
    : actions_(std::move(a)), key_frames_(key_frames), tracker_(config) {}

bool loss_recovery_receiver::observer(void *arg, const frame::rtp_frame &packet,
                                      bool retransmission) {
    auto *self = static_cast<loss_recovery_receiver *>(arg);
    return self == nullptr || self->on_packet(packet, retransmission);
}

bool loss_recovery_receiver::on_packet(const frame::rtp_frame &packet, bool retransmission) {
    const int64_t now = loss_recovery_now_us();
    std::lock_guard<std::mutex> guard(lock_);
    if (!have_source_ || (packet.header.ssrc != source_ && !retransmission)) {
        // A new source (or the first): its numbers start afresh.
        earlier_ = add(earlier_, tracker_.counters());
        asked_at_.clear();
        tracker_ = nack_tracker(tracker_.config());
        if (max_wait_us_ >= 0) {
            tracker_.set_max_wait(max_wait_us_);
        }
        source_ = packet.header.ssrc;
        have_source_ = true;
    }
    const nack_arrival a = tracker_.on_packet(packet.header.sequence, now, retransmission);
    if (a.kind == NACK_ARRIVAL_RECOVERED || a.kind == NACK_ARRIVAL_REORDERED ||
        a.kind == NACK_ARRIVAL_RECOVERED_LATE) {
        auto it = asked_at_.find(packet.header.sequence);
        if (it != asked_at_.end()) {
            // Asked for once: the answer measures a round trip (asked more
            // often, which request it answers is not known).
            if (a.kind == NACK_ARRIVAL_RECOVERED && a.requests == 1) {
                const int64_t sample = now - it->second;
                srtt_us_ = srtt_us_ == 0 ? sample : srtt_us_ + (sample - srtt_us_) / 8;
            }
            asked_at_.erase(it);
        }
    }
    tick_locked(now);
    const int64_t next = tracker_.next_deadline();
    if (next != INT64_MAX && actions_.schedule_tick) {
        actions_.schedule_tick(next);
    }
    return a.kind != NACK_ARRIVAL_DUPLICATE;
}

int64_t loss_recovery_receiver::tick(int64_t now_us) {
    std::lock_guard<std::mutex> guard(lock_);
    tick_locked(now_us);
    return have_source_ ? tracker_.next_deadline() : INT64_MAX;
}

int64_t loss_recovery_receiver::measured_round_trip_us() const {
    std::lock_guard<std::mutex> guard(lock_);
    return srtt_us_;
}

// RTCP's round trip where there is one, else our own measurement, else
// unknown (the tracker's default).
// With half again as margin: a retransmission answering the last request
// may still be on its way, and a request repeated too soon costs a
// duplicate.
int64_t loss_recovery_receiver::round_trip_locked() const {
    const int64_t rtcp = actions_.round_trip_us ? actions_.round_trip_us() : 0;
    const int64_t rtt = rtcp > 0 ? rtcp : srtt_us_;
    return rtt + rtt / 2;
}

void loss_recovery_receiver::tick_locked(int64_t now_us) {
    if (!have_source_ || tracker_.next_deadline() > now_us) {
        return;
    }
    tracker_.due(now_us, round_trip_locked(), due_);
    if (!due_.nack.empty() && actions_.send_nack) {
        actions_.send_nack(source_, due_.nack);
        ++counts_.nack_requests;
        if (asked_at_.size() > 4 * nack_tracker::k_history) {
            asked_at_.clear();  // bounded: stale entries of a restart
        }
        for (uint16_t seq : due_.nack) {
            asked_at_.emplace(seq, now_us);  // the first request stays
        }
    }
    for (uint16_t seq : due_.given_up) {
        asked_at_.erase(seq);
    }
    if (!due_.given_up.empty() && key_frames_) {
        key_frame_locked(now_us);
    }
}

bool loss_recovery_receiver::key_frame_locked(int64_t now_us) {
    const int64_t rtt = round_trip_locked();
    if (!have_source_ || !once_per_round_trip(last_key_frame_us_, now_us,
                                              rtt > 0 ? rtt : tracker_.config().default_rtt_us)) {
        return false;
    }
    if (actions_.request_key_frame) {
        actions_.request_key_frame(source_);
    }
    ++counts_.key_frame_requests;
    return true;
}

bool loss_recovery_receiver::request_key_frame(int64_t now_us) {
    std::lock_guard<std::mutex> guard(lock_);
    return key_frame_locked(now_us);
}

void loss_recovery_receiver::set_max_wait(int64_t max_wait_us) {
    std::lock_guard<std::mutex> guard(lock_);
    max_wait_us_ = max_wait_us;
    tracker_.set_max_wait(max_wait_us);
}

loss_recovery_receiver_counts loss_recovery_receiver::counts() const {
    std::lock_guard<std::mutex> guard(lock_);
    loss_recovery_receiver_counts c = counts_;
    c.tracker = add(earlier_, tracker_.counters());
    return c;
}

}  // namespace tessal
