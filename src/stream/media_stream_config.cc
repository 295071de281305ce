// Configuration keys of a started stream: each value goes to the component
// that owns it. Runs on the application's thread; the values the pushing and
// reception threads read are atomics or guarded by their owners.

#include <netinet/in.h>

#include <climits>
#include <cstdint>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"
#include "stream/media_stream_internal.hh"
#include "tessal/rtcp.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"
#include "util/log.hh"

namespace tessal {

namespace {

constexpr ssize_t k_max_udp_datagram = 65535;
// IPv4 + UDP + RTP headers; IPv6 adds 20, an SRTP tag 10.
constexpr ssize_t k_mtu_overhead = 40;
constexpr ssize_t k_ipv6_extra = 20;
constexpr ssize_t k_tag_extra = 10;
constexpr ssize_t k_standard_tag_extra = 16;  // the largest standard SRTP tag
constexpr ssize_t k_udp_ip_overhead = 28;
// Room an H.26x or V3C fragment needs besides its headers.
constexpr ssize_t k_min_payload = 64;
constexpr ssize_t k_max_ring_bytes = ssize_t{1} << 30;

bool in_range(ssize_t value, ssize_t low, ssize_t high) {
    return value >= low && value <= high;
}

}  // namespace

bool media_stream_internal::configurable() const {
    // A stream released by a failed start answers as one never started.
    return initialized_.load() && rtp_ && media_ && reception_flow_ && socket_;
}

RTP_ERROR media_stream_internal::set_socket_option(int level, int name, ssize_t value,
                                                   int32_t &stored) {
    if (!in_range(value, 1, INT_MAX)) {
        return RTP_BAD_ARGUMENT;
    }
    stored = static_cast<int32_t>(value);
    const int option = stored;
    if (level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_SNDBUF)) {
        // Past the system's cap where the process may.
        return socket_->set_buffer(name, option);
    }
    return socket_->setsockopt(level, name, &option, sizeof(option));
}

RTP_ERROR media_stream_internal::configure_mtu(ssize_t value) {
    const ssize_t tag = (rce_flags_ & RCE_SRTP_STANDARD)   ? k_standard_tag_extra
                        : (rce_flags_ & RCE_SRTP_AUTH_TAG) ? k_tag_extra
                                                           : 0;
    const ssize_t overhead = k_mtu_overhead + (ipv6_ ? k_ipv6_extra : 0) + tag;
    if (value <= overhead) {
        return RTP_BAD_ARGUMENT;
    }
    if (value > k_max_udp_datagram) {
        LOG_ERROR_AS("configure_ctx",
                     "Payload size (%zd) is larger than maximum UDP datagram size (%u)", value,
                     65535U);
        return RTP_BAD_ARGUMENT;
    }
    // Fragmenting formats need room beside their headers.
    if (value - overhead < k_min_payload) {
        return RTP_BAD_ARGUMENT;
    }
    rtp_->set_payload_size(static_cast<size_t>(value - overhead));
    // The peer's datagrams may be as large: slots grow, never shrink below
    // their default (the flow refuses to).
    reception_flow_->set_payload_size(static_cast<size_t>(value - k_udp_ip_overhead));
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::configure_ctx(int key, ssize_t value) {
    if (!configurable()) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    switch (key) {
        case RCC_SOCKET_RECV_BUFFER:
            return set_socket_option(SOL_SOCKET, SO_RCVBUF, value, recv_buffer_size_);
        case RCC_SOCKET_SEND_BUFFER:
            return set_socket_option(SOL_SOCKET, SO_SNDBUF, value, send_buffer_size_);
        case RCC_RECEIVE_RING_BYTES:
            // At least one slot, at most 1 GiB of them.
            if (value < static_cast<ssize_t>(reception_flow_->get_payload_size()) ||
                value > k_max_ring_bytes) {
                return RTP_BAD_ARGUMENT;
            }
            reception_flow_->set_buffer_size(value);
            return RTP_SUCCESS;
        case RCC_PACKET_DELAY_LIMIT:
            if (value <= 0) {
                return RTP_BAD_ARGUMENT;
            }
            rtp_->set_pkt_max_delay(static_cast<size_t>(value));
            if (lr_receiver_) {
                lr_receiver_->set_max_wait(static_cast<int64_t>(value) * 1000);
            }
            return RTP_SUCCESS;
        case RCC_DYNAMIC_PT:
            if (!in_range(value, 1, 255)) {
                return RTP_BAD_ARGUMENT;
            }
            rtp_->set_dynamic_payload(static_cast<uint8_t>(value));
            return RTP_SUCCESS;
        case RCC_RTP_CLOCK_RATE:
            if (!in_range(value, 1, 0xFFFFFFFF)) {
                return RTP_BAD_ARGUMENT;
            }
            rtp_->set_clock_rate(static_cast<uint32_t>(value));
            return RTP_SUCCESS;
        case RCC_PATH_MTU:
            return configure_mtu(value);
        case RCC_FRAME_RATE_NUM:
        case RCC_FRAME_RATE_DEN: {
            const bool numerator = key == RCC_FRAME_RATE_NUM;
            (numerator ? fps_numerator_ : fps_denominator_) = value;
            if (value > 0 && (rce_flags_ & RCE_SCC_ENABLED)) {
                if (numerator) {
                    LOG_WARN_AS("configure_ctx",
                                "Setting FPS numerator will disable System Call Clustering (SCC)");
                } else {
                    LOG_WARN_AS(
                        "configure_ctx",
                        "Setting FPS denominator will disable System Call Clustering (SCC)");
                }
            }
            media_->set_fps(fps_numerator_, fps_denominator_);
            return RTP_SUCCESS;
        }
        case RCC_LOCAL_SSRC:
            if (!in_range(value, 1, 0xFFFFFFFF)) {
                return RTP_BAD_ARGUMENT;
            }
            local_ssrc_->store(static_cast<uint32_t>(value));
            return RTP_SUCCESS;
        case RCC_PEER_SSRC:
            if (!in_range(value, 1, 0xFFFFFFFF)) {
                return RTP_BAD_ARGUMENT;
            }
            return set_remote_ssrc(static_cast<uint32_t>(value));
        case RCC_SESSION_BANDWIDTH:
            if (value > 0xFFFFFFFFLL) {
                return RTP_BAD_ARGUMENT;  // would wrap to another bandwidth
            }
            bandwidth_ = static_cast<uint32_t>(value);
            if (value <= 0) {
                LOG_WARN_AS("configure_ctx", "Bandwidth cannot be negative");
                return RTP_BAD_ARGUMENT;
            }
            if (!set_rtcp_bandwidth(static_cast<uint32_t>(value))) {
                LOG_WARN_AS("configure_ctx", "RTCP not found, cannot set RCC_SESSION_BANDWIDTH");
            }
            return RTP_SUCCESS;
        case RCC_RECV_POLL_MS:
            reception_flow_->set_poll_timeout_ms(static_cast<int>(value > INT_MAX   ? INT_MAX
                                                                  : value < INT_MIN ? INT_MIN
                                                                                    : value));
            return RTP_SUCCESS;
        case RCC_MCAST_TTL:
            if (!in_range(value, 1, 255)) {
                return RTP_BAD_ARGUMENT;
            }
            // IPv6 carries the limit as the multicast hop limit.
            return ipv6_
                       ? set_socket_option(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, value, multicast_ttl_)
                       : set_socket_option(IPPROTO_IP, IP_MULTICAST_TTL, value, multicast_ttl_);
        case RCC_PACING_NUM:
        case RCC_PACING_DEN:
            (key == RCC_PACING_NUM ? pace_numerator_ : pace_denominator_) = value;
            media_->set_pace(pace_numerator_, pace_denominator_);
            return RTP_SUCCESS;
        case RCC_H266_RFC9328_AGGREGATION: {
            auto *h266 = fmt_ == FMT_H266 ? static_cast<formats::h266 *>(media_.get()) : nullptr;
            if (h266 == nullptr || !in_range(value, 0, 1)) {
                return RTP_BAD_ARGUMENT;
            }
            h266->set_rfc9328_aggregation(value == 1);
            return RTP_SUCCESS;
        }
        case RCC_RTCP_TRR_INTERVAL:
            if (!in_range(value, 0, 3'600'000) || !rtcp_) {
                return RTP_BAD_ARGUMENT;
            }
            rtcp_->internal()->set_trr_interval_ms(static_cast<uint32_t>(value));
            return RTP_SUCCESS;
        case RCC_RTX_PAYLOAD_TYPE:
        case RCC_RTX_SSRC:
        case RCC_RETRANSMIT_STORE_MS:
        case RCC_RETRANSMIT_STORE_BYTES:
        case RCC_RETRANSMIT_SHARE:
        case RCC_KEY_FRAME_REQUEST:
            return configure_loss_recovery(key, value);
        default:
            return RTP_BAD_ARGUMENT;
    }
}

int32_t media_stream_internal::get_configuration_value(int key) {
    if (key == RCC_PEER_SSRC) {
        return static_cast<int32_t>(remote_ssrc_->load());
    }
    if (key == RCC_LOCAL_SSRC) {
        return static_cast<int32_t>(local_ssrc_->load());
    }
    if (!configurable()) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    switch (key) {
        case RCC_SOCKET_RECV_BUFFER:
            return recv_buffer_size_;
        case RCC_SOCKET_SEND_BUFFER:
            return send_buffer_size_;
        case RCC_RECEIVE_RING_BYTES:
            return static_cast<int32_t>(reception_flow_->get_buffer_size());
        case RCC_PACKET_DELAY_LIMIT:
            return static_cast<int32_t>(rtp_->get_pkt_max_delay());
        case RCC_DYNAMIC_PT:
            return rtp_->get_dynamic_payload();
        case RCC_RTP_CLOCK_RATE:
            return static_cast<int32_t>(rtp_->get_clock_rate());
        case RCC_PATH_MTU:
            return static_cast<int32_t>(rtp_->get_payload_size());
        case RCC_FRAME_RATE_NUM:
            return static_cast<int32_t>(fps_numerator_);
        case RCC_FRAME_RATE_DEN:
            return static_cast<int32_t>(fps_denominator_);
        case RCC_SESSION_BANDWIDTH:
            return static_cast<int32_t>(bandwidth_);
        case RCC_RECV_POLL_MS:
            return reception_flow_->get_poll_timeout_ms();
        case RCC_MCAST_TTL:
            return multicast_ttl_;
        case RCC_PACING_NUM:
            return static_cast<int32_t>(pace_numerator_);
        case RCC_PACING_DEN:
            return static_cast<int32_t>(pace_denominator_);
        case RCC_H266_RFC9328_AGGREGATION:
            if (fmt_ != FMT_H266) {
                return -1;
            }
            return static_cast<const formats::h266 *>(media_.get())->get_rfc9328_aggregation() ? 1
                                                                                               : 0;
        case RCC_RTCP_TRR_INTERVAL:
            return rtcp_ ? static_cast<int32_t>(rtcp_->internal()->get_trr_interval_ms()) : -1;
        case RCC_RTX_PAYLOAD_TYPE:
        case RCC_RTX_SSRC:
        case RCC_RETRANSMIT_STORE_MS:
        case RCC_RETRANSMIT_STORE_BYTES:
        case RCC_RETRANSMIT_SHARE:
        case RCC_KEY_FRAME_REQUEST:
            return loss_recovery_value(key);
        default:
            return -1;
    }
}

}  // namespace tessal
