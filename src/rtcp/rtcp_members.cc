// RTCP participants and the statistics of the media path.

#include "rtcp/rtcp_internal.hh"

namespace tessal {

void sdes_packet_deleter::operator()(frame::rtcp_sdes_packet *packet) const noexcept {
    if (packet == nullptr) {
        return;
    }
    for (frame::rtcp_sdes_chunk &chunk : packet->chunks) {
        for (frame::rtcp_sdes_item &item : chunk.items) {
            delete[] item.item_data;
        }
    }
    delete packet;
}

void app_packet_deleter::operator()(frame::rtcp_app_packet *packet) const noexcept {
    if (packet != nullptr) {
        delete[] packet->payload;
        delete packet;
    }
}

RTP_ERROR rtcp_internal::add_initial_participant(uint32_t rate) {
    std::lock_guard<std::mutex> guard(membership_lock_);
    if (active_.load()) {
        auto p = std::make_unique<rtcp_participant>();
        p->stats.clock_rate = rate;
        pool_.push_back(std::move(p));
    }
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::add_participant(uint32_t ssrc) {
    // Table lock held by the caller.
    if (!heard(ssrc, false)) {
        return RTP_FAILED;  // the member table is full: no record either
    }
    std::unique_ptr<rtcp_participant> p;
    size_t pooled = 0;
    {
        std::lock_guard<std::mutex> guard(membership_lock_);
        if (!active_.load()) {
            return RTP_FAILED;
        }
        // The limit is on current members: sources that left make room.
        if (participants_.count(ssrc) == 0 && participants_.size() >= k_rtcp_max_participants) {
            // Every packet of every source past the limit comes here.
            LOG_ERROR_LIMITED(members_full_warning_,
                              "Maximum number of RTCP participants reached.");
            return RTP_FAILED;
        }
        if (!pool_.empty()) {
            p = std::move(pool_.back());
            pool_.pop_back();
        }
        pooled = pool_.size();
    }
    if (!p) {
        p = std::make_unique<rtcp_participant>();
        p->stats.clock_rate = clock_rate();
    }
    participants_[ssrc] = std::move(p);
    LOG_INFO("RTCP participant added: ssrc=%lu total_participants=%llu initial_pool=%llu",
             static_cast<unsigned long>(ssrc),
             static_cast<unsigned long long>(participants_.size()),
             static_cast<unsigned long long>(pooled));
    return RTP_SUCCESS;
}

bool rtcp_internal::is_participant(uint32_t ssrc) {
    std::lock_guard<std::mutex> guard(table_lock_);
    return participants_.count(ssrc) != 0;
}

size_t rtcp_internal::pooled_participants() {
    std::lock_guard<std::mutex> guard(membership_lock_);
    return pool_.size();
}

size_t rtcp_internal::participant_count() {
    std::lock_guard<std::mutex> guard(table_lock_);
    return participants_.size();
}

rtcp_participant *rtcp_internal::find_participant(uint32_t ssrc) {
    auto it = participants_.find(ssrc);
    return it == participants_.end() ? nullptr : it->second.get();
}

bool rtcp_internal::get_statistics(uint32_t ssrc, receiver_statistics &out) {
    std::lock_guard<std::mutex> guard(table_lock_);
    const rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        return false;
    }
    out = p->stats;
    return true;
}

size_t rtcp_internal::member_count() {
    std::lock_guard<std::mutex> guard(table_lock_);
    return members_.members();
}

size_t rtcp_internal::sender_count() {
    std::lock_guard<std::mutex> guard(table_lock_);
    return members_.senders();
}

uint64_t rtcp_internal::now_ms() const {
    return ntp_ms_between(0, now_());
}

// Table lock held.
bool rtcp_internal::heard(uint32_t ssrc, bool rtp) {
    // Past the table's capacity a new source is simply not counted.
    return members_.heard(ssrc, now_ms(), rtp);
}

// Table lock held.
void rtcp_internal::forget(uint32_t ssrc) {
    participants_.erase(ssrc);
    sr_sent_.erase(ssrc);
    members_.remove(ssrc);
}

// Table lock held.
void rtcp_internal::members_left() {
    const int members = static_cast<int>(members_.members()) + 1;
    std::lock_guard<std::mutex> guard(membership_lock_);
    if (timer_running_ && rtcp_reverse_reconsider(timer_, rtcp_steady_seconds(), members)) {
        wake_.notify_all();  // tn came closer
    }
}

std::vector<uint32_t> rtcp_internal::timed_out_sources() {
    const rtcp_interval_inputs in = interval_inputs();
    const uint64_t now = now_ms();
    const auto member_timeout = static_cast<uint64_t>(rtcp_member_timeout(in) * 1000);
    const auto sender_timeout = static_cast<uint64_t>(2 * last_interval_s_.load() * 1000);
    std::lock_guard<std::mutex> guard(table_lock_);
    return members_.expire(now, sender_timeout, member_timeout);
}

RTP_ERROR rtcp_internal::remove_timeout_ssrc(uint32_t ssrc) {
    const auto timeout = static_cast<uint64_t>(rtcp_member_timeout(interval_inputs()) * 1000);
    std::lock_guard<std::mutex> guard(table_lock_);
    // Checked again under the lock that arrivals take: a source heard since
    // it was found silent stays.
    if (!members_.silent(ssrc, now_ms(), timeout)) {
        return RTP_FAILED;
    }
    LOG_INFO("Destroying timed out source, ssrc: %lu", static_cast<unsigned long>(ssrc));
    forget(ssrc);
    members_left();  // RFC 3550 6.3.5: reverse reconsideration as for a BYE
    return RTP_SUCCESS;
}

// Table lock held.
RTP_ERROR rtcp_internal::count_rtp_packet(const frame::rtp_frame &packet) {
    const uint32_t ssrc = packet.header.ssrc;
    const uint16_t seq = packet.header.sequence;
    const uint64_t now = now_();
    // RFC 3550 6.3.3, 6.3.5: any RTP packet makes its source a member and a
    // sender, and keeps it alive.
    heard(ssrc, true);
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        if (add_participant(ssrc) != RTP_SUCCESS) {
            return RTP_PKT_SKIPPED;  // no statistics record: passed on, not counted
        }
        p = find_participant(ssrc);
        start_source(p->stats, seq, packet.header.timestamp, now);
    } else if (p->stats.first_ntp == 0) {
        start_source(p->stats, seq, packet.header.timestamp, now);  // known from RTCP only
    }
    const RTP_ERROR r = update_seq(p->stats, seq);
    if (r == RTP_PENDING) {
        return RTP_PKT_SKIPPED;  // on probation: delivered, not counted
    }
    if (r != RTP_SUCCESS) {
        LOG_WARN_LIMITED_AS(seq_warning_, "recv_packet_handler_common",
                            "Failed to update participant. SSRC: %u, seq: %u, payload size: %zu B",
                            ssrc, unsigned{seq}, packet.payload_length);
        return RTP_PKT_SKIPPED;
    }
    count_packet(p->stats, packet.payload_length, packet.header.timestamp, now);
    return RTP_PKT_SKIPPED;
}

RTP_ERROR rtcp_internal::recv_packet_handler_common(void *arg, int, uint8_t *, size_t,
                                                    frame::rtp_frame **out) {
    auto *self = static_cast<rtcp_internal *>(arg);
    if (out == nullptr || *out == nullptr) {
        return RTP_PKT_SKIPPED;
    }
    // RFC 3550 5.1: a packet may be all padding (bandwidth probes): it is
    // counted, so its sequence number is not reported lost, but it carries
    // no media and goes no further (the reception flow releases it).
    const bool padding_only = (*out)->header.padding && (*out)->payload_length == 0;
    if (self != nullptr && self->active_.load()) {
        std::lock_guard<std::mutex> guard(self->table_lock_);
        self->count_rtp_packet(**out);
    }
    // Any other packet goes on to the payload format, whatever happened here.
    return padding_only ? RTP_SUCCESS : RTP_PKT_SKIPPED;
}

RTP_ERROR rtcp_internal::send_packet_handler_vec(void *arg, buffer_vector &buffers) {
    auto *self = static_cast<rtcp_internal *>(arg);
    if (self == nullptr || buffers.empty()) {
        return RTP_BAD_ARGUMENT;
    }
    size_t total = 0;
    for (const auto &piece : buffers) {
        total += piece.first;
    }
    if (total < 12) {
        return RTP_BAD_ARGUMENT;
    }
    return self->update_sender_stats(total - 12);
}

RTP_ERROR rtcp_internal::update_sender_stats(size_t bytes) {
    const uint64_t octets = uint64_t{sent_octets_.load()} + bytes;
    if (octets > 0xFFFFFFFFULL) {
        LOG_ERROR("Sent bytes overflow");
    }
    sent_octets_.store(static_cast<uint32_t>(octets));
    sent_packets_.fetch_add(1);
    sent_since_report_.store(true);
    return RTP_SUCCESS;
}

}  // namespace tessal
