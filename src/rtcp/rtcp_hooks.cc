// RTCP hooks, getters of the last received packets, and what the next
// report carries (SDES items, APP and BYE packets).

#include <cstring>

#include "rtcp/rtcp_internal.hh"

namespace tessal {

using sr_t = frame::rtcp_sender_report;
using rr_t = frame::rtcp_receiver_report;
using sdes_t = frame::rtcp_sdes_packet;
using app_t = frame::rtcp_app_packet;

RTP_ERROR rtcp_internal::install_sender_hook(void (*hook)(sr_t *)) {
    return sr_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_sender_hook(std::function<void(std::shared_ptr<sr_t>)> hook) {
    return sr_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_sender_hook(std::function<void(std::unique_ptr<sr_t>)> hook) {
    return sr_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_receiver_hook(void (*hook)(rr_t *)) {
    return rr_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_receiver_hook(std::function<void(std::shared_ptr<rr_t>)> hook) {
    return rr_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_receiver_hook(std::function<void(std::unique_ptr<rr_t>)> hook) {
    return rr_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_sdes_hook(void (*hook)(sdes_t *)) {
    return sdes_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_sdes_hook(std::function<void(std::shared_ptr<sdes_t>)> hook) {
    return sdes_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_sdes_hook(std::function<void(std::unique_ptr<sdes_t>)> hook) {
    return sdes_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_app_hook(void (*hook)(app_t *)) {
    return app_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_app_hook(std::function<void(std::shared_ptr<app_t>)> hook) {
    return app_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_app_hook(std::function<void(std::unique_ptr<app_t>)> hook) {
    return app_hooks_.install(std::move(hook));
}

RTP_ERROR rtcp_internal::install_roundtrip_time_hook(roundtrip_hook hook) {
    if (!hook) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(rtt_lock_);
    rtt_hook_ = std::move(hook);
    rtt_hook_installed_.store(true);
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::install_send_app_hook(const std::string &app_name, send_app_hook hook) {
    if (!hook || app_name.empty() || app_name.size() > 4) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(send_app_lock_);
    send_app_hooks_.emplace(app_name, std::move(hook));
    send_app_hooks_present_.store(true);
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::remove_send_app_hook(const std::string &app_name) {
    std::lock_guard<std::mutex> guard(send_app_lock_);
    if (send_app_hooks_.erase(app_name) == 0) {
        return RTP_BAD_ARGUMENT;
    }
    // Without hooks the queued APP packets go out again.
    send_app_hooks_present_.store(!send_app_hooks_.empty());
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::remove_all_hooks() {
    sr_hooks_.clear();
    rr_hooks_.clear();
    sdes_hooks_.clear();
    app_hooks_.clear();
    nack_hooks_.clear();
    pli_hooks_.clear();
    fir_hooks_.clear();
    {
        std::lock_guard<std::mutex> guard(send_app_lock_);
        send_app_hooks_.clear();
        send_app_hooks_present_.store(false);
    }
    std::lock_guard<std::mutex> guard(rtt_lock_);
    rtt_hook_ = nullptr;
    rtt_hook_installed_.store(false);
    return RTP_SUCCESS;
}

std::unique_ptr<sr_t> rtcp_internal::get_sender_packet(uint32_t ssrc) {
    std::lock_guard<std::mutex> table(table_lock_);
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(sr_hooks_.lock);
    return std::move(p->pending_sr);
}

std::unique_ptr<rr_t> rtcp_internal::get_receiver_packet(uint32_t ssrc) {
    std::lock_guard<std::mutex> table(table_lock_);
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(rr_hooks_.lock);
    return std::move(p->pending_rr);
}

sdes_ptr rtcp_internal::get_sdes_packet(uint32_t ssrc) {
    std::lock_guard<std::mutex> table(table_lock_);
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(sdes_hooks_.lock);
    return std::move(p->pending_sdes);
}

app_ptr rtcp_internal::get_app_packet(uint32_t ssrc) {
    std::lock_guard<std::mutex> table(table_lock_);
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(app_hooks_.lock);
    return std::move(p->pending_app);
}

RTP_ERROR rtcp_internal::add_sdes_item(const frame::rtcp_sdes_item &item) {
    if (item.item_type == 0) {
        LOG_WARN("Invalid item type 0, not adding item");
        return RTP_FAILED;
    }
    std::lock_guard<std::mutex> guard(packet_lock_);
    own_items_[item.item_type] = item;
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::clear_sdes_items() {
    std::lock_guard<std::mutex> guard(packet_lock_);
    own_items_.clear();
    if (have_cname_) {
        own_items_[1] = frame::rtcp_sdes_item{1, cname_length_, cname_buffer_.data()};
    }
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::send_bye_packet(std::vector<uint32_t> ssrcs) {
    if (ssrcs.empty()) {
        LOG_WARN("Source Count in RTCP BYE packet is 0. Not sending.");
    }
    std::lock_guard<std::mutex> guard(packet_lock_);
    bye_ssrcs_ = std::move(ssrcs);
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::send_app_packet(const char *name, uint8_t subtype, uint32_t payload_len,
                                         const uint8_t *payload) {
    // Refused here rather than failing a report later: such a packet could
    // never be sent.
    if (name == nullptr || (payload == nullptr && payload_len != 0) || payload_len % 4 != 0 ||
        payload_len > 65535 - k_rtcp_app_fixed_size) {
        LOG_ERROR(
            "APP packet cannot be sent: the payload must be a multiple of 4 bytes and fit "
            "one RTCP packet");
        return RTP_BAD_ARGUMENT;
    }
    std::unique_ptr<uint8_t[]> copy(new uint8_t[payload_len]);
    if (payload_len > 0) {
        std::memcpy(copy.get(), payload, payload_len);
    }
    std::lock_guard<std::mutex> guard(packet_lock_);
    app_queue_[name].emplace_back(name, subtype, payload_len, std::move(copy));
    return RTP_SUCCESS;
}

}  // namespace tessal
