#include "security/srtp.hh"

#include <cstring>
#include <exception>

#include "security/aes.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {

namespace {

constexpr size_t k_rtp_header_size = 12;

}  // namespace

srtp::srtp(int rce_flags) : authenticate_rtp_((rce_flags & RCE_SRTP_AUTH_TAG) != 0) {}

RTP_ERROR srtp::encrypt(uint32_t ssrc, uint16_t seq, uint8_t *buffer, size_t len,
                        uint32_t *roc_used) {
    srtp_ctx &ctx = local_;
    // The counter follows every wrap of the sequence number, so a gap at the
    // wrap (a discarded or failed send) never makes keystream repeat.
    if (ctx.sent_any && seq < ctx.last_sent_seq && ctx.last_sent_seq - seq >= 0x8000) {
        ++ctx.roc;
    }
    ctx.sent_any = true;
    ctx.last_sent_seq = seq;
    if (roc_used != nullptr) {
        *roc_used = ctx.roc;
    }
    if (null_cipher_) {
        return RTP_SUCCESS;
    }
    const uint64_t index = (uint64_t{ctx.roc} << 16) | seq;
    if (buffer == nullptr && len != 0) {
        LOG_ERROR("Failed to create IV, unable to encrypt the RTP packet!");
        return RTP_BAD_ARGUMENT;
    }
    try {
        ctx.apply_keystream(ssrc, index, buffer, len);
    } catch (const std::exception &) {
        LOG_ERROR("Failed to encrypt RTP packet!");
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

void srtp::compute_tag(srtp_ctx &ctx, const buffer_vector &pieces, size_t count, uint32_t roc,
                       uint8_t *tag) {
    crypto::hmac::sha1 &mac = ctx.authenticator();
    for (size_t i = 0; i < count; ++i) {
        mac.update(pieces[i].second, pieces[i].first);
    }
    // The roll-over counter in host byte order: what peers of this library
    // compute.
    uint8_t roc_bytes[sizeof(roc)];
    std::memcpy(roc_bytes, &roc, sizeof(roc));
    mac.update(roc_bytes, sizeof(roc_bytes));
    mac.final(tag, k_srtp_tag_size);
}

RTP_ERROR srtp::send_packet_handler(void *arg, buffer_vector &pieces) {
    auto *self = static_cast<srtp *>(arg);
    if (self == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    const size_t tail = self->authenticate_rtp_ ? 1 : 0;
    if (!self->keyed_ || pieces.size() < 1 + tail || pieces[0].first < k_rtp_header_size ||
        (tail && pieces.back().first < k_srtp_tag_size)) {
        return RTP_BAD_ARGUMENT;
    }
    const uint8_t *header = pieces[0].second;
    const uint32_t ssrc = read_be32(header + 8);
    const uint16_t seq = read_be16(header + 2);
    self->note_sent_ssrc(ssrc);
    // The send queue gathers the payload into one piece when encrypting.
    const bool has_payload = pieces.size() >= 2 + tail;
    std::pair<size_t, uint8_t *> payload{0, nullptr};
    if (has_payload) {
        payload = pieces[pieces.size() - 1 - tail];
    }
    uint32_t roc = 0;
    const RTP_ERROR rc = self->encrypt(ssrc, seq, payload.second, payload.first, &roc);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    if (self->authenticate_rtp_) {
        try {
            self->compute_tag(self->local_, pieces, pieces.size() - 1, roc, pieces.back().second);
        } catch (const std::exception &) {
            LOG_ERROR("Failed to encrypt RTP packet!");
            return RTP_FAILED;
        }
    }
    return RTP_SUCCESS;
}

RTP_ERROR srtp::recv_packet_handler(void *arg, int, uint8_t *packet, size_t size,
                                    frame::rtp_frame **out) {
    auto *self = static_cast<srtp *>(arg);
    if (self == nullptr || packet == nullptr || out == nullptr || *out == nullptr) {
        return RTP_FAILED;
    }
    try {
        return self->receive(packet, size, *out);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

void srtp::note_sent_ssrc(uint32_t ssrc) noexcept {
    const size_t n = sent_ssrc_count_.load(std::memory_order_relaxed);
    if (n != 0 && ssrc == last_sent_ssrc_) {
        return;
    }
    last_sent_ssrc_ = ssrc;
    sent_ssrcs_[n % k_sent_ssrcs].store(ssrc, std::memory_order_relaxed);
    sent_ssrc_count_.store(n + 1, std::memory_order_release);
}

bool srtp::is_own_ssrc(uint32_t ssrc) const noexcept {
    if (local_ssrc_ && ssrc == local_ssrc_->load(std::memory_order_relaxed)) {
        return true;
    }
    const size_t n = sent_ssrc_count_.load(std::memory_order_acquire);
    for (size_t i = 0; i < n && i < k_sent_ssrcs; ++i) {
        if (sent_ssrcs_[i].load(std::memory_order_relaxed) == ssrc) {
            return true;
        }
    }
    return false;
}

srtp::receiver *srtp::accepted_receiver(uint32_t ssrc) {
    auto it = receivers_.find(ssrc);
    if (it != receivers_.end()) {
        return &it->second;
    }
    if (receivers_.size() >= k_srtp_max_remote_ssrcs) {
        return nullptr;
    }
    if (local_ssrc_ && (ssrc & 0xFFFFU) == (local_ssrc_->load() & 0xFFFFU)) {
        // base_srtp.hh: SSRC and index overlap in the IV, so this sender's
        // keystream can coincide with ours under the shared key.
        LOG_WARN_LIMITED(low_bits_log_,
                         "SRTP sender %08x shares its low 16 bits with the local SSRC: both "
                         "directions may reuse keystream",
                         static_cast<unsigned>(ssrc));
    }
    return &receivers_.emplace(ssrc, receiver{}).first->second;
}

RTP_ERROR srtp::receive(uint8_t *packet, size_t size, frame::rtp_frame *frame) {
    srtp_ctx &ctx = remote_;
    // The header parser leaves padding (and the tag) in the payload of an
    // SRTP stream: both are only known after authentication.
    const size_t tag = authenticate_rtp_ ? k_srtp_tag_size : 0;
    if (!keyed_ || size < k_rtp_header_size || (tag != 0 && size <= 21) ||
        frame->payload_length < tag || frame->payload_length > size) {
        LOG_ERROR_LIMITED(size_log_, "Received SRTP packet that has too small size");
        return RTP_FAILED;
    }
    const uint32_t ssrc = frame->header.ssrc;
    if (is_own_ssrc(ssrc)) {
        // RFC 3550 section 8.2: our own packet looped back; under the shared
        // key it would verify.
        LOG_WARN_LIMITED(own_log_, "Dropped an SRTP packet carrying the stream's own SSRC");
        return RTP_FAILED;
    }
    auto known = receivers_.find(ssrc);
    const receiver fresh;
    const receiver &state = known != receivers_.end() ? known->second : fresh;
    const uint16_t seq = frame->header.sequence;
    const uint64_t index = state.index.estimate(seq);
    const auto roc = static_cast<uint32_t>(index >> 16);
    if (tag != 0) {
        uint8_t computed[k_srtp_tag_size];
        const buffer_vector authenticated = {{size - tag, packet}};
        compute_tag(ctx, authenticated, 1, roc, computed);
        if (!crypto::equal_constant_time(computed, tag, packet + size - tag, tag)) {
            LOG_ERROR_LIMITED(auth_log_, "Authentication tag mismatch!");
            return RTP_FAILED;
        }
        if ((ctx.rce_flags & RCE_SRTP_ANTI_REPLAY) && state.window.is_replayed(index)) {
            LOG_ERROR_LIMITED(replay_log_, "Replayed packet received, discarding!");
            return RTP_FAILED;
        }
        frame->payload_length -= tag;
    }
    receiver *accepted = accepted_receiver(ssrc);
    if (accepted == nullptr) {
        LOG_ERROR_LIMITED(size_log_, "Too many SRTP senders, dropping a packet of a new one");
        return RTP_FAILED;
    }
    // Only an accepted packet moves its sender's receive state on.
    accepted->index.update(index);
    accepted->window.accept(index);

    if (!null_cipher_) {
        ctx.apply_keystream(ssrc, index, frame->payload, frame->payload_length);
    }
    if (frame->header.padding) {
        // RFC 3550 section 5.1: the last octet counts the padding.
        const size_t pad =
            frame->payload_length > 0 ? frame->payload[frame->payload_length - 1] : 0;
        // The payload may be all padding (RFC 3550 section 5.1): the
        // statistics stage counts such a packet and nothing delivers it.
        if (pad == 0 || pad > frame->payload_length) {
            return RTP_FAILED;
        }
        frame->payload_length -= pad;
        frame->padding_length = pad;
    }
    return null_cipher_ ? RTP_PKT_SKIPPED : RTP_PKT_CHANGED;
}

uint32_t srtp::received_roc(uint32_t ssrc) const noexcept {
    auto it = receivers_.find(ssrc);
    return it != receivers_.end() ? it->second.index.roc() : 0;
}

srtp_drop_counts srtp::drops() const noexcept {
    srtp_drop_counts c = base_srtp::drops();
    c.own = own_log_.occurrences();
    return c;
}

}  // namespace tessal
