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
    reset_silence(ssrc);  // its silence is measured from now on
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

void rtcp_internal::reset_silence(uint32_t ssrc) {
    std::lock_guard<std::mutex> guard(silence_lock_);
    silence_ms_[ssrc] = 0;
}

RTP_ERROR rtcp_internal::remove_timeout_ssrc(uint32_t ssrc) {
    LOG_INFO("Destroying timed out source, ssrc: %lu", static_cast<unsigned long>(ssrc));
    {
        std::lock_guard<std::mutex> guard(table_lock_);
        participants_.erase(ssrc);
        sr_sent_.erase(ssrc);
    }
    std::lock_guard<std::mutex> guard(silence_lock_);
    silence_ms_.erase(ssrc);
    return RTP_SUCCESS;
}

// Table lock held.
RTP_ERROR rtcp_internal::count_rtp_packet(const frame::rtp_frame &packet) {
    const uint32_t ssrc = packet.header.ssrc;
    const uint16_t seq = packet.header.sequence;
    const uint64_t now = now_();
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        if (add_participant(ssrc) != RTP_SUCCESS) {
            return RTP_PKT_SKIPPED;  // refused: passed on, not counted
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
    // RFC 3550 6.3.5: any RTP or RTCP packet from a member keeps it alive.
    reset_silence(ssrc);
    return RTP_PKT_SKIPPED;
}

RTP_ERROR rtcp_internal::recv_packet_handler_common(void *arg, int, uint8_t *, size_t,
                                                    frame::rtp_frame **out) {
    auto *self = static_cast<rtcp_internal *>(arg);
    // Whatever happens here, the packet goes on to the payload format.
    if (self == nullptr || out == nullptr || *out == nullptr || !self->active_.load()) {
        return RTP_PKT_SKIPPED;
    }
    std::lock_guard<std::mutex> guard(self->table_lock_);
    return self->count_rtp_packet(**out);
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
