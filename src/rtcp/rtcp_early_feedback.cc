// RTCP feedback on the RTCP object (RFC 4585, RFC 5104, RFC 5506): hooks of
// received NACK, PLI and FIR, the requests that queue feedback, and early
// feedback with its timing (RFC 4585 section 3.5).

#include <algorithm>
#include <random>
#include <type_traits>

#include "rtcp/rtcp_internal.hh"

namespace tessal {

namespace {

// NACK entries one queued packet carries at most: with the compound around
// it, the packet stays well inside a 1500-byte path (each entry covers up to
// 17 packets).
constexpr size_t k_max_nack_entries_per_packet = 200;

}  // namespace

RTP_ERROR rtcp_internal::install_nack_hook(void (*hook)(rtcp_nack *)) {
    return nack_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_nack_hook(std::function<void(std::shared_ptr<rtcp_nack>)> hook) {
    return nack_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_nack_hook(std::function<void(std::unique_ptr<rtcp_nack>)> hook) {
    return nack_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_pli_hook(void (*hook)(rtcp_pli *)) {
    return pli_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_pli_hook(std::function<void(std::shared_ptr<rtcp_pli>)> hook) {
    return pli_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_pli_hook(std::function<void(std::unique_ptr<rtcp_pli>)> hook) {
    return pli_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_fir_hook(void (*hook)(rtcp_fir *)) {
    return fir_hooks_.install(hook);
}
RTP_ERROR rtcp_internal::install_fir_hook(std::function<void(std::shared_ptr<rtcp_fir>)> hook) {
    return fir_hooks_.install(std::move(hook));
}
RTP_ERROR rtcp_internal::install_fir_hook(std::function<void(std::unique_ptr<rtcp_fir>)> hook) {
    return fir_hooks_.install(std::move(hook));
}

rtcp_feedback_counters rtcp_internal::feedback_counters() const {
    rtcp_feedback_counters c;
    c.nack_received = nack_received_.load();
    c.pli_received = pli_received_.load();
    c.fir_received = fir_received_.load();
    c.unknown_received = fb_unknown_received_.load();
    c.malformed_received = fb_malformed_received_.load();
    c.nack_sent = nack_sent_.load();
    c.pli_sent = pli_sent_.load();
    c.fir_sent = fir_sent_.load();
    c.early_packets_sent = early_sent_.load();
    return c;
}

// --- reception --------------------------------------------------------------------

void rtcp_internal::set_feedback_observer(feedback_observer observer) {
    std::lock_guard<std::mutex> guard(observer_lock_);
    observer_ = std::move(observer);
}

template <typename Record>
void rtcp_internal::observe(const Record &record) {
    std::lock_guard<std::mutex> guard(observer_lock_);
    if constexpr (std::is_same_v<Record, rtcp_nack>) {
        if (observer_.nack) {
            observer_.nack(record);
        }
    } else if constexpr (std::is_same_v<Record, rtcp_pli>) {
        if (observer_.pli) {
            observer_.pli(record);
        }
    } else {
        if (observer_.fir) {
            observer_.fir(record);
        }
    }
}

void rtcp_internal::handle_feedback_packet(const uint8_t *packet, size_t size,
                                           const frame::rtcp_header &header) {
    switch (rtcp_feedback_kind(header.packet_type, header.count)) {
        case RTCP_FEEDBACK_NACK: {
            auto nack = std::make_unique<rtcp_nack>();
            if (parse_nack_packet(packet, size, *nack) != RTP_SUCCESS) {
                break;
            }
            nack_received_.fetch_add(1);
            observe(*nack);
            nack_hooks_.deliver(std::move(nack));
            return;
        }
        case RTCP_FEEDBACK_PLI: {
            auto pli = std::make_unique<rtcp_pli>();
            if (parse_pli_packet(packet, size, *pli) != RTP_SUCCESS) {
                break;
            }
            pli_received_.fetch_add(1);
            observe(*pli);
            pli_hooks_.deliver(std::move(pli));
            return;
        }
        case RTCP_FEEDBACK_FIR: {
            auto fir = std::make_unique<rtcp_fir>();
            if (parse_fir_packet(packet, size, *fir) != RTP_SUCCESS) {
                break;
            }
            fir_received_.fetch_add(1);
            observe(*fir);
            fir_hooks_.deliver(std::move(fir));
            return;
        }
        case RTCP_FEEDBACK_UNKNOWN:
        case RTCP_FEEDBACK_NONE:
            // RFC 4585 6.1: feedback messages we do not know are ignored.
            fb_unknown_received_.fetch_add(1);
            return;
    }
    fb_malformed_received_.fetch_add(1);
    LOG_WARN_LIMITED(parse_warning_, "Skipped a malformed RTCP feedback packet (PT %u, FMT %u)",
                     unsigned{header.packet_type}, unsigned{header.count});
}

// --- requests ---------------------------------------------------------------------

RTP_ERROR rtcp_internal::send_nack(uint32_t media_ssrc, const std::vector<uint16_t> &lost) {
    if (!(rce_flags_ & RCE_RTCP_FEEDBACK)) {
        return RTP_UNSUPPORTED;
    }
    if (lost.empty() || pack_nack(lost).size() > k_rtcp_max_nack_entries) {
        return RTP_BAD_ARGUMENT;
    }
    std::vector<uint16_t> all;
    {
        // A NACK about the same source still waiting to go takes these in:
        // one packet, never a queue that outgrows the report it rides in.
        std::lock_guard<std::mutex> guard(packet_lock_);
        for (auto it = feedback_queue_.begin(); it != feedback_queue_.end(); ++it) {
            rtcp_nack queued;
            if (it->kind == RTCP_FEEDBACK_NACK &&
                parse_nack_packet(it->packet.data(), it->packet.size(), queued) == RTP_SUCCESS &&
                queued.media_ssrc == media_ssrc) {
                all = std::move(queued.lost);
                feedback_queue_.erase(it);
                break;
            }
        }
    }
    all.insert(all.end(), lost.begin(), lost.end());
    std::vector<rtcp_nack_entry> entries = pack_nack(all);  // in serial order, no repeats
    if (entries.size() > k_max_nack_entries_per_packet) {
        // The newest wait for the next request; the packet fits a datagram.
        entries.resize(k_max_nack_entries_per_packet);
    }
    std::vector<uint8_t> packet(get_nack_packet_size(entries.size()));
    size_t offset = 0;
    construct_nack_packet(packet.data(), offset, local_ssrc_->load(), media_ssrc, entries);
    return queue_feedback(RTCP_FEEDBACK_NACK, std::move(packet));
}

RTP_ERROR rtcp_internal::send_pli(uint32_t media_ssrc) {
    if (!(rce_flags_ & RCE_RTCP_FEEDBACK)) {
        return RTP_UNSUPPORTED;
    }
    std::vector<uint8_t> packet(get_pli_packet_size());
    size_t offset = 0;
    construct_pli_packet(packet.data(), offset, local_ssrc_->load(), media_ssrc);
    return queue_feedback(RTCP_FEEDBACK_PLI, std::move(packet));
}

RTP_ERROR rtcp_internal::send_fir(uint32_t media_ssrc) {
    if (!(rce_flags_ & RCE_RTCP_FEEDBACK)) {
        return RTP_UNSUPPORTED;
    }
    if (!active_.load()) {
        return RTP_UNINITIALIZED;  // a refused request takes no sequence number
    }
    uint8_t seq = 0;
    {
        // RFC 5104 4.3.1.2: a new request increments the target's number
        // (modulo 256).
        std::lock_guard<std::mutex> guard(packet_lock_);
        auto it = fir_seq_.emplace(media_ssrc, 0).first;
        seq = it->second++;
    }
    std::vector<uint8_t> packet(get_fir_packet_size(1));
    size_t offset = 0;
    construct_fir_packet(packet.data(), offset, local_ssrc_->load(), {{media_ssrc, seq}});
    return queue_feedback(RTCP_FEEDBACK_FIR, std::move(packet));
}

RTP_ERROR rtcp_internal::queue_feedback(RTCP_FEEDBACK_KIND kind, std::vector<uint8_t> packet) {
    if (!active_.load()) {
        return RTP_UNINITIALIZED;
    }
    {
        std::lock_guard<std::mutex> guard(packet_lock_);
        feedback_queue_.push_back(queued_feedback{kind, std::move(packet)});
    }
    const int members = static_cast<int>(member_count()) + 1;
    const double t0 = steady_now_();
    bool now = false;
    {
        std::lock_guard<std::mutex> guard(membership_lock_);
        if (!timer_running_) {
            // No regular schedule (started without the runner): early
            // feedback at once, still at most once between two reports.
            now = avpf_.allow_early;
            avpf_.allow_early = false;
        } else {
            std::uniform_real_distribution<double> dither(0.0, 1.0);
            double rnd = 0;
            {
                std::lock_guard<std::mutex> random(random_lock_);
                rnd = dither(random_engine_);
            }
            const avpf_early_decision d =
                avpf_schedule_early(avpf_, timer_, t0, members, last_interval_s_.load(), rnd);
            now = d.what == AVPF_EARLY_SEND && d.te <= t0;
            if (d.what == AVPF_EARLY_SEND) {
                if (!now) {
                    early_due_ = d.te;  // the runner sends it
                }
                wake_.notify_all();  // tn moved, maybe an early time too
            }
        }
    }
    return now ? send_early_feedback() : RTP_SUCCESS;
}

// --- sending ----------------------------------------------------------------------

uint32_t rtcp_internal::queued_feedback_size() const {
    size_t size = 0;
    for (const queued_feedback &f : feedback_queue_) {
        size += f.packet.size();
    }
    return static_cast<uint32_t>(size);
}

void rtcp_internal::write_queued_feedback(uint8_t *frame, size_t &offset) {
    for (const queued_feedback &f : feedback_queue_) {
        std::copy(f.packet.begin(), f.packet.end(), frame + offset);
        offset += f.packet.size();
        (f.kind == RTCP_FEEDBACK_NACK  ? nack_sent_
         : f.kind == RTCP_FEEDBACK_PLI ? pli_sent_
                                       : fir_sent_)
            .fetch_add(1);
    }
    feedback_queue_.clear();
}

RTP_ERROR rtcp_internal::send_early_feedback() {
    std::lock_guard<std::mutex> packet(packet_lock_);
    if (feedback_queue_.empty()) {
        return RTP_SUCCESS;
    }
    // RFC 5506: reduced size only once a compound packet introduced us (our
    // CNAME) to the peers; until then early feedback is compound too.
    const bool reduced = (rce_flags_ & RCE_RTCP_REDUCED_SIZE) && compound_sent_;
    return reduced ? send_feedback_reduced() : send_feedback_compound();
}

RTP_ERROR rtcp_internal::send_feedback_compound() {
    uint32_t trailer = 0;
    if (!security_trailer(trailer)) {
        return RTP_PENDING;  // kept for a report once the keys are there
    }
    // RFC 4585 3.1: the minimal compound packet: an RR (no blocks, so that
    // the regular report's loss fractions keep their interval), the SDES
    // CNAME, then the feedback.
    const uint32_t rr_size = get_rr_packet_size(rce_flags_, 0);
    const uint32_t size =
        rr_size + get_sdes_packet_size(own_items_) + queued_feedback_size() + trailer;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size]());
    size_t offset = 0;
    if (!construct_rtcp_header(frame.get(), offset, rr_size, 0, frame::RTCP_FRAME_RR) ||
        !construct_ssrc(frame.get(), offset, local_ssrc_->load()) ||
        !write_sdes(frame.get(), offset)) {
        return RTP_FAILED;
    }
    write_queued_feedback(frame.get(), offset);
    ++packet_counter_;
    early_sent_.fetch_add(1);
    return send_compound(std::move(frame), size);
}

RTP_ERROR rtcp_internal::send_feedback_reduced() {
    uint32_t trailer = 0;
    if (!security_trailer(trailer)) {
        return RTP_PENDING;
    }
    // RFC 5506: a reduced-size packet is the feedback packet alone.
    std::vector<queued_feedback> queue;
    queue.swap(feedback_queue_);
    RTP_ERROR result = RTP_SUCCESS;
    for (queued_feedback &f : queue) {
        const auto size = static_cast<uint32_t>(f.packet.size() + trailer);
        std::unique_ptr<uint8_t[]> frame(new uint8_t[size]());
        std::copy(f.packet.begin(), f.packet.end(), frame.get());
        (f.kind == RTCP_FEEDBACK_NACK  ? nack_sent_
         : f.kind == RTCP_FEEDBACK_PLI ? pli_sent_
                                       : fir_sent_)
            .fetch_add(1);
        ++packet_counter_;
        early_sent_.fetch_add(1);
        const RTP_ERROR r = send_compound(std::move(frame), size);
        result = result == RTP_SUCCESS ? r : result;
    }
    return result;
}

bool rtcp_internal::on_feedback_timer(double tc) {
    bool early = false;
    bool regular = false;
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        if (early_due_ >= 0 && tc >= early_due_) {
            early_due_ = -1;
            early = true;
        }
        regular = tc >= timer_.tn;
    }
    if (early) {
        const RTP_ERROR r = send_early_feedback();
        if (r != RTP_SUCCESS && r != RTP_PENDING) {
            LOG_INFO("Failed to send early RTCP feedback");
        }
    }
    return regular;
}

}  // namespace tessal
