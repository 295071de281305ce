// The public RTCP facade: function-pointer hooks and getters over the flat
// records, forwarding to rtcp_internal.

#include "tessal/rtcp.hh"

#include <new>

#include "rtcp/rtcp_internal.hh"

namespace tessal {

namespace {

template <typename F>
auto guarded(F f, decltype(f()) failure) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return failure;
    }
}

frame::rtcp_report_block *copy_blocks(const std::vector<frame::rtcp_report_block> &blocks) {
    auto *out = new frame::rtcp_report_block[blocks.size()];
    std::copy(blocks.begin(), blocks.end(), out);
    return out;
}

// The item arrays of `sdes` only; the item data moves to the flat record's
// holder.
void release_sdes_arrays(frame::rtcp_sdes_packet *sdes) {
    delete sdes;
}

}  // namespace

frame::rtcp_sr convert_sr(const frame::rtcp_sender_report *sr) noexcept {
    frame::rtcp_sr out{};
    if (sr != nullptr) {
        out.header = sr->header;
        out.header.count = static_cast<uint8_t>(sr->reports.size());
        out.sender_ssrc = sr->sender_ssrc;
        out.info = sr->info;
        out.reports = guarded([&] { return copy_blocks(sr->reports); }, nullptr);
    }
    return out;
}

frame::rtcp_rr convert_rr(const frame::rtcp_receiver_report *rr) noexcept {
    frame::rtcp_rr out{};
    if (rr != nullptr) {
        out.header = rr->header;
        out.header.count = static_cast<uint8_t>(rr->reports.size());
        out.sender_ssrc = rr->sender_ssrc;
        out.reports = guarded([&] { return copy_blocks(rr->reports); }, nullptr);
    }
    return out;
}

frame::rtcp_sdes convert_sdes_packet(const frame::rtcp_sdes_packet *sdes) noexcept {
    frame::rtcp_sdes out{};
    if (sdes == nullptr) {
        return out;
    }
    out.header = sdes->header;
    out.header.count = static_cast<uint8_t>(sdes->chunks.size());
    out.chunks = guarded(
        [&] {
            auto *chunks = new frame::rtcp_sdes_flat_chunk[sdes->chunks.size()]();
            for (size_t j = 0; j < sdes->chunks.size(); ++j) {
                const frame::rtcp_sdes_chunk &c = sdes->chunks[j];
                chunks[j].chunk_ssrc = c.chunk_ssrc;
                chunks[j].item_count = c.items.size();
                chunks[j].items = new frame::rtcp_sdes_item[c.items.size()];
                std::copy(c.items.begin(), c.items.end(), chunks[j].items);
            }
            return chunks;
        },
        nullptr);
    return out;
}

rtcp::rtcp(std::shared_ptr<rtp> rtp_state, std::shared_ptr<std::atomic<uint32_t>> local_ssrc,
           std::shared_ptr<std::atomic<uint32_t>> remote_ssrc, std::string cname, int rce_flags)
    : impl_(std::make_unique<rtcp_internal>(std::move(rtp_state), std::move(local_ssrc),
                                            std::move(remote_ssrc), std::move(cname), rce_flags)) {}

rtcp::rtcp(std::shared_ptr<rtp> rtp_state, std::shared_ptr<std::atomic<uint32_t>> local_ssrc,
           std::shared_ptr<std::atomic<uint32_t>> remote_ssrc, std::string cname,
           std::shared_ptr<srtcp> srtcp_ctx, int rce_flags)
    : impl_(std::make_unique<rtcp_internal>(std::move(rtp_state), std::move(local_ssrc),
                                            std::move(remote_ssrc), std::move(cname),
                                            std::move(srtcp_ctx), rce_flags)) {}

rtcp::~rtcp() noexcept = default;

RTP_ERROR rtcp::install_sender_hook(void (*hook)(frame::rtcp_sr *)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_sender_hook(
                [hook](std::unique_ptr<frame::rtcp_sender_report> sr) {
                    frame::rtcp_sr flat = convert_sr(sr.get());
                    hook(&flat);
                });
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::install_receiver_hook(void (*hook)(frame::rtcp_rr *)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_receiver_hook(
                [hook](std::unique_ptr<frame::rtcp_receiver_report> rr) {
                    frame::rtcp_rr flat = convert_rr(rr.get());
                    hook(&flat);
                });
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::install_sdes_hook(void (*hook)(frame::rtcp_sdes *)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_sdes_hook([hook](std::unique_ptr<frame::rtcp_sdes_packet> sdes) {
                frame::rtcp_sdes flat = convert_sdes_packet(sdes.get());
                hook(&flat);
            });
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::install_app_hook(void (*hook)(frame::rtcp_app_packet *)) noexcept {
    return guarded([&] { return impl_->install_app_hook(hook); }, RTP_FAILED);
}

RTP_ERROR rtcp::install_send_app_hook(const char *app_name,
                                      uint8_t *(*hook)(uint8_t *, uint32_t *, void *),
                                      void *user_data) noexcept {
    if (app_name == nullptr || hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_send_app_hook(
                app_name, [hook, user_data](uint8_t &subtype, uint32_t &length) {
                    return std::unique_ptr<uint8_t[]>(hook(&subtype, &length, user_data));
                });
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::remove_send_app_hook(const char *app_name) noexcept {
    if (app_name == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded([&] { return impl_->remove_send_app_hook(app_name); }, RTP_FAILED);
}

RTP_ERROR rtcp::remove_all_hooks() noexcept {
    return guarded([&] { return impl_->remove_all_hooks(); }, RTP_FAILED);
}

RTP_ERROR rtcp::send_app_packet(const char *name, uint8_t subtype, uint32_t payload_len,
                                const uint8_t *payload) noexcept {
    return guarded([&] { return impl_->send_app_packet(name, subtype, payload_len, payload); },
                   RTP_FAILED);
}

RTP_ERROR rtcp::send_bye_packet(const uint32_t *ssrcs, size_t count) noexcept {
    if (ssrcs == nullptr || count == 0) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] { return impl_->send_bye_packet(std::vector<uint32_t>(ssrcs, ssrcs + count)); },
        RTP_FAILED);
}

RTP_ERROR rtcp::add_sdes_item(const frame::rtcp_sdes_item &item) noexcept {
    return guarded([&] { return impl_->add_sdes_item(item); }, RTP_FAILED);
}

RTP_ERROR rtcp::clear_sdes_items() noexcept {
    return guarded([&] { return impl_->clear_sdes_items(); }, RTP_FAILED);
}

frame::rtcp_sr *rtcp::get_sr(uint32_t ssrc) noexcept {
    return guarded(
        [&]() -> frame::rtcp_sr * {
            std::unique_ptr<frame::rtcp_sender_report> sr = impl_->get_sender_packet(ssrc);
            return sr ? new frame::rtcp_sr(convert_sr(sr.get())) : nullptr;
        },
        nullptr);
}

frame::rtcp_rr *rtcp::get_rr(uint32_t ssrc) noexcept {
    return guarded(
        [&]() -> frame::rtcp_rr * {
            std::unique_ptr<frame::rtcp_receiver_report> rr = impl_->get_receiver_packet(ssrc);
            return rr ? new frame::rtcp_rr(convert_rr(rr.get())) : nullptr;
        },
        nullptr);
}

frame::rtcp_sdes *rtcp::get_sdes(uint32_t ssrc) noexcept {
    return guarded(
        [&]() -> frame::rtcp_sdes * {
            sdes_ptr sdes = impl_->get_sdes_packet(ssrc);
            if (!sdes) {
                return nullptr;
            }
            auto *flat = new frame::rtcp_sdes(convert_sdes_packet(sdes.get()));
            release_sdes_arrays(sdes.release());  // the item data is the caller's now
            return flat;
        },
        nullptr);
}

frame::rtcp_app_packet *rtcp::get_app_packet(uint32_t ssrc) noexcept {
    return guarded([&] { return impl_->get_app_packet(ssrc).release(); }, nullptr);
}

RTP_ERROR rtcp::install_roundtrip_time_hook(void (*hook)(uint32_t, uint32_t, double)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        return impl_->install_roundtrip_time_hook(hook);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR rtcp::install_nack_hook(void (*hook)(uint32_t, uint32_t, const uint16_t *,
                                               size_t)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_nack_hook(std::function<void(std::unique_ptr<rtcp_nack>)>(
                [hook](std::unique_ptr<rtcp_nack> n) {
                    hook(n->sender_ssrc, n->media_ssrc, n->lost.data(), n->lost.size());
                }));
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::install_pli_hook(void (*hook)(uint32_t, uint32_t)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_pli_hook(std::function<void(std::unique_ptr<rtcp_pli>)>(
                [hook](std::unique_ptr<rtcp_pli> p) { hook(p->sender_ssrc, p->media_ssrc); }));
        },
        RTP_FAILED);
}

RTP_ERROR rtcp::install_fir_hook(void (*hook)(uint32_t, uint32_t, uint8_t)) noexcept {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return guarded(
        [&] {
            return impl_->install_fir_hook(
                std::function<void(std::unique_ptr<rtcp_fir>)>([hook](std::unique_ptr<rtcp_fir> f) {
                    for (const rtcp_fir_entry &e : f->entries) {
                        hook(f->sender_ssrc, e.ssrc, e.seq);
                    }
                }));
        },
        RTP_FAILED);
}

bool rtcp::get_reception_statistics(uint32_t ssrc, reception_statistics *out) noexcept {
    receiver_statistics s;
    if (out == nullptr || !impl_->get_statistics(ssrc, s)) {
        return false;
    }
    out->expected = expected_packets(s);
    out->received = s.received;
    out->lost = s.lost;
    out->fraction_lost =
        out->expected > 0 && out->lost > 0 ? static_cast<double>(out->lost) / out->expected : 0.0;
    out->clock_rate = s.clock_rate;
    out->jitter_ms = s.clock_rate > 0 ? s.jitter * 1000.0 / s.clock_rate : 0.0;
    return true;
}

RTP_ERROR rtcp::set_ts_info(uint64_t clock_start, uint32_t clock_rate,
                            uint32_t rtp_ts_start) noexcept {
    impl_->set_ts_info(clock_start, clock_rate, rtp_ts_start);
    return RTP_SUCCESS;
}

}  // namespace tessal
