// A stream's loss recovery (RFC 4585 feedback, RFC 4588 retransmission):
// the two halves of stream/loss_recovery joined to the stream's socket,
// reception flow and RTCP.

#include <climits>

#include "rtcp/rtcp_internal.hh"
#include "rtp/frame_queue.hh"
#include "rtp/rtp.hh"
#include "security/srtp_standard.hh"
#include "stream/media_stream_internal.hh"
#include "tessal/rtcp.hh"
#include "transport/socket.hh"
#include "util/log.hh"
#include "util/random.hh"

namespace tessal {

namespace {

// Re-requests of one packet are answered no more often than this while the
// round trip is unknown.
constexpr int64_t k_min_resend_interval_us = 10'000;

bool in_range(ssize_t value, ssize_t low, ssize_t high) {
    return value >= low && value <= high;
}

}  // namespace

bool media_stream_internal::loss_recovery_enabled() const noexcept {
    return (rce_flags_ & RCE_RTCP_FEEDBACK) && (rce_flags_ & RCE_WITH_RTCP);
}

void media_stream_internal::create_loss_recovery() {
    if (!loss_recovery_enabled() || !rtcp_ || lr_sender_) {
        return;
    }
    loss_recovery_sender::config c;
    // Another SSRC than ours, also in its low 16 bits (the library's own
    // SRTP shares them with the packet index).
    do {
        c.rtx_ssrc = random::generate_32();
    } while ((c.rtx_ssrc & 0xFFFF) == (local_ssrc_->load() & 0xFFFF));
    c.rtx_first_seq = static_cast<uint16_t>(random::generate_32());
    c.srtp = (rce_flags_ & RCE_SRTP) != 0;
    c.tag_slot = (rce_flags_ & RCE_SRTP_STANDARD)   ? k_standard_tag_slot
                 : (rce_flags_ & RCE_SRTP_AUTH_TAG) ? k_auth_tag_size
                                                    : 0;
    rtx_ssrc_cell_ = make_shared_ssrc(c.rtx_ssrc);
    lr_sender_ = std::make_unique<loss_recovery_sender>(
        c,
        [sock = socket_, to4 = remote_v4_, to6 = remote_v6_](uint8_t *data, size_t size) mutable {
            return sock->sendto(to4, to6, data, size, 0);
        },
        [sock = socket_, cell = rtx_ssrc_cell_, to4 = remote_v4_,
         to6 = remote_v6_](buffer_vector &pieces) mutable {
            // The handlers registered for the RTX SSRC: SRTP's.
            return sock->sendto(cell->load(), to4, to6, pieces, 0);
        });

    rtcp_internal *engine = rtcp_->internal();
    loss_recovery_receiver::actions a;
    a.send_nack = [engine](uint32_t media_ssrc, const std::vector<uint16_t> &lost) {
        engine->send_nack(media_ssrc, lost);
    };
    a.request_key_frame = [this, engine](uint32_t media_ssrc) {
        if (key_frame_kind_.load() == 1) {
            engine->send_fir(media_ssrc);
        } else {
            engine->send_pli(media_ssrc);
        }
    };
    a.round_trip_us = [engine] { return engine->round_trip_us(); };
    a.schedule_tick = [engine](int64_t at_us) { engine->schedule_feedback_tick(at_us); };
    nack_config nc;
    // A packet is waited for as long as its frame is (RCC_PACKET_DELAY_LIMIT).
    nc.max_wait_us = static_cast<int64_t>(rtp_->get_pkt_max_delay()) * 1000;
    // A video stream that resynchronises at key frames asks for one when it
    // gives a packet up (RFC 4585 6.3.1).
    const bool key_frames = (fmt_ == FMT_H264 || fmt_ == FMT_H265 || fmt_ == FMT_H266) &&
                            (rce_flags_ & RCE_H26X_RESYNC_ON_KEY_FRAME);
    lr_receiver_ = std::make_unique<loss_recovery_receiver>(nc, std::move(a), key_frames);

    rtcp_internal::feedback_observer o;
    o.nack = [this, engine](const rtcp_nack &nack) {
        if (nack.media_ssrc == local_ssrc_->load()) {
            lr_sender_->on_nack(nack.lost, loss_recovery_now_us(),
                                std::max(engine->round_trip_us(), k_min_resend_interval_us));
        }
    };
    o.pli = [this](const rtcp_pli &pli) { on_key_frame_request(pli.media_ssrc); };
    o.fir = [this](const rtcp_fir &fir) {
        for (const rtcp_fir_entry &e : fir.entries) {
            on_key_frame_request(e.ssrc);
        }
    };
    engine->set_feedback_observer(std::move(o));
    engine->set_feedback_tick(
        [receiver = lr_receiver_.get()](int64_t now_us) { return receiver->tick(now_us); });
}

// After SRTP's send handler: the store keeps each packet as it went out.
void media_stream_internal::install_loss_recovery() {
    if (!lr_sender_ || !lr_receiver_) {
        return;
    }
    if ((rce_flags_ & RCE_SRTP) && srtp_send_handler_installed_ && !lr_store_installed_) {
        // After SRTP's send handler: what it keeps is resent as it is,
        // never encrypted again, never in clear.
        socket_->install_handler(local_ssrc_, lr_sender_.get(),
                                 loss_recovery_sender::store_protected_handler);
        // RTX packets are protected as packets of their own SSRC.
        if (srtp_std_) {
            socket_->install_handler(rtx_ssrc_cell_, srtp_std_.get(),
                                     srtp_standard::send_packet_handler);
        }
        lr_store_installed_ = true;
    }
    reception_flow_->set_loss_recovery(remote_ssrc_, rtx_receive_pt_,
                                       loss_recovery_receiver::observer, lr_receiver_.get());
}

void media_stream_internal::on_key_frame_request(uint32_t media_ssrc) {
    if (media_ssrc != local_ssrc_->load() || !lr_sender_ || !rtcp_) {
        return;
    }
    const int64_t rtt = std::max(rtcp_->internal()->round_trip_us(), k_min_resend_interval_us);
    if (!lr_sender_->on_key_frame_request(loss_recovery_now_us(), rtt)) {
        return;
    }
    std::lock_guard<std::mutex> guard(key_frame_hook_lock_);
    if (key_frame_hook_ != nullptr) {
        key_frame_hook_(key_frame_hook_arg_);
    }
}

RTP_ERROR media_stream_internal::request_key_frame() {
    if (!initialized_.load()) {
        return RTP_UNINITIALIZED;
    }
    if (!lr_receiver_) {
        return RTP_FAILED;  // no RTCP feedback for the stream
    }
    lr_receiver_->request_key_frame(loss_recovery_now_us());
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::install_key_frame_request_hook(void (*hook)(void *), void *arg) {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(key_frame_hook_lock_);
    key_frame_hook_ = hook;
    key_frame_hook_arg_ = arg;
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::configure_loss_recovery(int key, ssize_t value) {
    if (!lr_sender_) {
        return RTP_FAILED;  // no RTCP feedback for the stream
    }
    loss_recovery_sender::config c = lr_sender_->settings();
    switch (key) {
        case RCC_RTX_PAYLOAD_TYPE:
            if (value != -1 && !in_range(value, 96, 127)) {
                return RTP_BAD_ARGUMENT;
            }
            if (value != -1 && (rce_flags_ & RCE_SRTP) && !(rce_flags_ & RCE_SRTP_STANDARD)) {
                // The library's own SRTP keeps one sending counter for all
                // SSRCs: its streams resend on the original SSRC.
                return RTP_UNSUPPORTED;
            }
            c.rtx_payload_type = static_cast<int>(value);
            rtx_receive_pt_ = static_cast<int>(value);
            reception_flow_->set_loss_recovery(remote_ssrc_, rtx_receive_pt_,
                                               loss_recovery_receiver::observer,
                                               lr_receiver_.get());
            break;
        case RCC_RTX_SSRC:
            if (!in_range(value, 1, 0xFFFFFFFFLL) || static_cast<uint32_t>(value) == 0 ||
                static_cast<uint32_t>(value) == local_ssrc_->load()) {
                return RTP_BAD_ARGUMENT;
            }
            c.rtx_ssrc = static_cast<uint32_t>(value);
            rtx_ssrc_cell_->store(c.rtx_ssrc);
            break;
        case RCC_RETRANSMIT_STORE_MS:
            if (!in_range(value, 1, 60'000)) {
                return RTP_BAD_ARGUMENT;
            }
            c.limits.max_age_us = static_cast<int64_t>(value) * 1000;
            break;
        case RCC_RETRANSMIT_STORE_BYTES:
            if (!in_range(value, 1500, 512LL * 1024 * 1024)) {
                return RTP_BAD_ARGUMENT;
            }
            c.limits.max_bytes = static_cast<size_t>(value);
            break;
        case RCC_RETRANSMIT_SHARE:
            if (!in_range(value, 1, 100)) {
                return RTP_BAD_ARGUMENT;
            }
            c.limits.max_share_percent = static_cast<unsigned>(value);
            break;
        case RCC_KEY_FRAME_REQUEST:
            if (!in_range(value, 0, 1)) {
                return RTP_BAD_ARGUMENT;
            }
            key_frame_kind_.store(static_cast<int>(value));
            return RTP_SUCCESS;
        default:
            return RTP_BAD_ARGUMENT;
    }
    lr_sender_->reconfigure(c);
    return RTP_SUCCESS;
}

int32_t media_stream_internal::loss_recovery_value(int key) const {
    if (!lr_sender_) {
        return key == RCC_RTX_PAYLOAD_TYPE ? -1 : RTP_FAILED;
    }
    const loss_recovery_sender::config c = lr_sender_->settings();
    switch (key) {
        case RCC_RTX_PAYLOAD_TYPE:
            return c.rtx_payload_type;
        case RCC_RTX_SSRC:
            return static_cast<int32_t>(c.rtx_ssrc);
        case RCC_RETRANSMIT_STORE_MS:
            return static_cast<int32_t>(c.limits.max_age_us / 1000);
        case RCC_RETRANSMIT_STORE_BYTES:
            return static_cast<int32_t>(std::min<size_t>(c.limits.max_bytes, INT32_MAX));
        case RCC_RETRANSMIT_SHARE:
            return static_cast<int32_t>(c.limits.max_share_percent);
        case RCC_KEY_FRAME_REQUEST:
            return key_frame_kind_.load();
        default:
            return -1;
    }
}

}  // namespace tessal
