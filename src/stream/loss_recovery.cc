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

loss_recovery_sender::loss_recovery_sender(config c, send_fn send)
    : config_(c), send_(std::move(send)), store_(c.limits), rtx_seq_(c.rtx_first_seq) {}

RTP_ERROR loss_recovery_sender::store_handler(void *arg, buffer_vector &pieces) {
    auto *self = static_cast<loss_recovery_sender *>(arg);
    if (self != nullptr) {
        self->store(pieces);
    }
    return RTP_SUCCESS;
}

void loss_recovery_sender::store(const buffer_vector &pieces) {
    const int64_t now = loss_recovery_now_us();
    std::lock_guard<std::mutex> guard(lock_);
    gathered_.clear();
    for (const auto &piece : pieces) {
        gathered_.insert(gathered_.end(), piece.second, piece.second + piece.first);
    }
    store_.on_sent(gathered_.data(), gathered_.size(), now);
}

void loss_recovery_sender::on_nack(const std::vector<uint16_t> &seqs, int64_t now_us,
                                   int64_t rtt_us) {
    std::lock_guard<std::mutex> guard(lock_);
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
        RTP_ERROR sent = RTP_SEND_FAILED;
        if (config_.rtx_payload_type >= 0) {
            rtx_.resize(rtx_size_bound(size));
            const size_t n =
                rtx_encode(packet, size, static_cast<uint8_t>(config_.rtx_payload_type),
                           config_.rtx_ssrc, rtx_seq_, rtx_.data(), rtx_.size());
            if (n > 0) {
                ++rtx_seq_;
                sent = send_(rtx_.data(), n);
            }
        } else {
            // The packet as it first went out, SRTP's tag included: never
            // encrypted a second time.
            rtx_.assign(packet, packet + size);
            sent = send_(rtx_.data(), rtx_.size());
        }
        if (sent == RTP_SUCCESS) {
            ++counts_.retransmissions_sent;
        }
    }
}

bool loss_recovery_sender::on_key_frame_request(int64_t now_us, int64_t rtt_us) {
    std::lock_guard<std::mutex> guard(lock_);
    if (last_key_frame_us_ != INT64_MIN && now_us - last_key_frame_us_ < rtt_us) {
        return false;
    }
    last_key_frame_us_ = now_us;
    ++counts_.key_frame_requests;
    return true;
}

loss_recovery_sender_counts loss_recovery_sender::counts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return counts_;
}

}  // namespace tessal
