// RTCP construction, start and stop, the runner and report generation.

#include "rtcp/rtcp_internal.hh"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>

#include "rtp/rtp.hh"
#include "security/srtcp.hh"
#include "util/clock.hh"
#include "util/random.hh"

namespace tessal {

namespace {

uint64_t system_ntp_now() {
    return clock::ntp::now();
}

// A stop that waits for its BYE's turn (RFC 3550 6.3.7) waits no longer.
constexpr double k_rtcp_max_leave_s = 10.0;

}  // namespace

double rtcp_steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

rtcp_internal::rtcp_internal(std::shared_ptr<rtp> rtp_state, shared_ssrc local_ssrc,
                             shared_ssrc remote_ssrc, std::string cname, int rce_flags)
    : rtcp_internal(std::move(rtp_state), std::move(local_ssrc), std::move(remote_ssrc),
                    std::move(cname), nullptr, rce_flags) {}

rtcp_internal::rtcp_internal(std::shared_ptr<rtp> rtp_state, shared_ssrc local_ssrc,
                             shared_ssrc remote_ssrc, std::string cname,
                             std::shared_ptr<srtcp> srtcp_ctx, int rce_flags)
    : rtp_(std::move(rtp_state)),
      local_ssrc_(std::move(local_ssrc)),
      remote_ssrc_(std::move(remote_ssrc)),
      rce_flags_(rce_flags),
      now_(system_ntp_now),
      srtcp_(std::move(srtcp_ctx)) {
    construct_common(std::move(cname));
}

void rtcp_internal::construct_common(std::string cname) {
    random_engine_.seed(random::generate_32());
    if (cname.size() > cname_buffer_.size()) {
        LOG_ERROR_AS("rtcp_internal", "Our CName is too long");
        return;  // no CNAME item: every report then fails at its SDES
    }
    std::memcpy(cname_buffer_.data(), cname.data(), cname.size());
    cname_length_ = static_cast<uint8_t>(cname.size());
    have_cname_ = true;
    own_items_[1] = frame::rtcp_sdes_item{1, cname_length_, cname_buffer_.data()};
}

rtcp_internal::~rtcp_internal() {
    stop();
    std::lock_guard<std::mutex> guard(table_lock_);
    participants_.clear();
}

void rtcp_internal::set_transport(std::shared_ptr<rtcp_transport> transport) {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    if (!active_.load()) {
        if (transport) {
            header_overhead_.store(transport->header_overhead());
        }
        transport_ = std::move(transport);
    }
}

void rtcp_internal::set_srtcp(std::shared_ptr<srtcp> srtcp_ctx) {
    std::lock_guard<std::mutex> guard(srtcp_lock_);
    srtcp_ = std::move(srtcp_ctx);
}

uint32_t rtcp_internal::clock_rate() const {
    const uint32_t given = ts_info_clock_rate_.load();
    if (given != 0) {
        return given;
    }
    return rtp_ ? rtp_->get_clock_rate() : 0;
}

void rtcp_internal::set_ts_info(uint64_t clock_start, uint32_t rate, uint32_t rtp_ts_start) {
    clock_start_.store(clock_start);
    ts_info_clock_rate_.store(rate);
    rtp_ts_start_.store(rtp_ts_start);
}

void rtcp_internal::set_session_bandwidth(uint32_t kbps) {
    if (kbps == 0) {
        LOG_WARN("Bandwidth must be a positive number");
        return;
    }
    session_bandwidth_kbps_.store(kbps);
    rtcp_bandwidth_kbps_.store(kbps * 0.05);  // RFC 3550 6.2: 5 % of the session
    // RFC 3550 6.2: the reduced minimum is 360 divided by the session
    // bandwidth in kbit/s, in seconds.
    const uint32_t reduced = 360000 / kbps;
    reduced_minimum_ms_.store(reduced);
    interval_ms_.store(std::min<uint32_t>(reduced, 5000));
}

void rtcp_internal::update_avg_rtcp_size(uint64_t packet_size) {
    const uint64_t overhead = header_overhead_.load();
    // RFC 3550 6.3.3: avg = 1/16 new + 15/16 old, IP and UDP headers counted.
    uint64_t avg = avg_rtcp_size_.load();
    uint64_t next = 0;
    do {
        next = static_cast<uint64_t>(static_cast<double>(avg) * 0.9375 +
                                     static_cast<double>(packet_size + overhead) * 0.0625);
    } while (!avg_rtcp_size_.compare_exchange_weak(avg, next));
}

double rtcp_internal::rtcp_interval(int members, int senders, double rtcp_bw, bool we_sent,
                                    double avg_size, bool red_min, bool randomise) {
    const double t = rtcp_deterministic_interval(members, senders, rtcp_bw, we_sent, avg_size,
                                                 reduced_minimum_ms_.load() / 1000.0, red_min);
    if (!randomise) {
        return std::max(0.001, t);
    }
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    std::lock_guard<std::mutex> guard(random_lock_);
    return rtcp_randomised_interval(t, factor(random_engine_));
}

double rtcp_internal::draw_interval(const rtcp_interval_inputs &in) {
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    std::lock_guard<std::mutex> guard(random_lock_);
    return rtcp_randomised_interval(rtcp_deterministic_interval(in), factor(random_engine_));
}

rtcp_interval_inputs rtcp_internal::interval_inputs() {
    rtcp_interval_inputs in;
    {
        std::lock_guard<std::mutex> table(table_lock_);
        in.members = static_cast<int>(members_.members()) + 1;  // and ourselves
        in.senders = static_cast<int>(members_.senders());
    }
    in.we_sent = sent_since_report_.load();
    in.senders += in.we_sent ? 1 : 0;
    in.rtcp_bw_kbps = rtcp_bandwidth_kbps_.load();
    in.avg_rtcp_size = static_cast<double>(avg_rtcp_size_.load());
    in.reduced_min_s = reduced_minimum_ms_.load() / 1000.0;
    in.red_min = true;
    in.avpf = (rce_flags_ & RCE_RTCP_FEEDBACK) != 0;
    std::lock_guard<std::mutex> guard(membership_lock_);
    in.initial = timer_.initial;
    return in;
}

// --- start and stop -------------------------------------------------------------

RTP_ERROR rtcp_internal::start() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    return start_locked(true);
}

RTP_ERROR rtcp_internal::start_without_runner() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    return start_locked(false);
}

RTP_ERROR rtcp_internal::start_locked(bool with_runner) {
    if (active_.load()) {
        return RTP_SUCCESS;
    }
    if (!transport_) {
        LOG_ERROR("RTCP has no transport to send on");
        return RTP_FAILED;
    }
    const RTP_ERROR opened = transport_->open();
    if (opened != RTP_SUCCESS) {
        return opened;
    }
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        active_.store(true);
    }
    try {
        if (with_runner) {
            runner_ = std::thread(&rtcp_internal::runner, this);
        }
    } catch (const std::system_error &) {
        LOG_ERROR("Failed to start the RTCP runner");
        active_.store(false);
        transport_->close();
        return RTP_FAILED;
    }
    transport_->start_receiving();
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::stop() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    bool was_active = false;
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        was_active = active_.exchange(false);
    }
    wake_.notify_all();
    // The runner is gone before the last report: nothing can follow the BYE,
    // and nothing is sent on a transport being closed.
    if (runner_.joinable()) {
        runner_.join();
    }
    RTP_ERROR r = RTP_SUCCESS;
    bool scheduled = false;
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        scheduled = timer_running_;
        timer_running_ = false;
    }
    if (was_active && scheduled) {
        // RFC 3550 6.3.7: a large session's BYEs are spread out.
        const int members = static_cast<int>(member_count()) + 1;
        if (!rtcp_bye_at_once(members)) {
            wait_to_leave(members);
        }
    }
    if (was_active) {
        {
            std::lock_guard<std::mutex> packet(packet_lock_);
            bye_ssrcs_ = {local_ssrc_->load()};
        }
        r = generate_report();
    }
    {
        // A restart is a new session: nothing queued, compound first again.
        std::lock_guard<std::mutex> packet(packet_lock_);
        feedback_queue_.clear();
        compound_sent_ = false;
    }
    if (transport_) {
        transport_->close();
        transport_.reset();
    }
    std::lock_guard<std::mutex> table(table_lock_);
    participants_.clear();
    sr_sent_.clear();
    members_.clear();
    std::lock_guard<std::mutex> members(membership_lock_);
    pool_.clear();
    timer_ = rtcp_timer{};
    avpf_ = avpf_state{};
    early_due_ = -1;
    return r == RTP_PENDING ? RTP_SUCCESS : r;
}

// --- runner -----------------------------------------------------------------------

void rtcp_internal::runner() {
    LOG_INFO("RTCP instance created! Local SSRC: %lu",
             static_cast<unsigned long>(local_ssrc_->load()));
    // Nothing may leave the thread: an exception there would end the process.
    try {
        const double first = draw_interval(interval_inputs());  // initial
        // RFC 4585 3.5.2: an early packet before the first report moves that
        // report by twice this interval, not by the 5 s of no report yet.
        last_interval_s_.store(first);
        {
            std::lock_guard<std::mutex> members(membership_lock_);
            timer_ = rtcp_timer_start(rtcp_steady_seconds(), first);
            timer_running_ = true;
        }
        while (wait_for_timer()) {
            const double tc = rtcp_steady_seconds();
            try {
                run_feedback_tick(tc);
                if (!report_due(tc)) {
                    continue;  // woken for the tick alone
                }
                on_timer(tc);
                continue;
            } catch (const std::exception &e) {
                LOG_ERROR("RTCP runner: report failed: %s", e.what());
            } catch (...) {
                LOG_ERROR("RTCP runner: report failed");
            }
            // Tried again an interval later, not at once.
            const double retry = draw_interval(interval_inputs());
            std::lock_guard<std::mutex> members(membership_lock_);
            timer_.tn = std::max(timer_.tn, tc + retry);
        }
    } catch (...) {
        LOG_ERROR("RTCP runner stopped by an exception");
    }
}

bool rtcp_internal::report_due(double tc) {
    std::lock_guard<std::mutex> members(membership_lock_);
    return tc >= timer_.tn || (early_due_ >= 0 && tc >= early_due_);
}

void rtcp_internal::set_feedback_tick(std::function<int64_t(int64_t now_us)> tick) {
    {
        std::lock_guard<std::mutex> guard(tick_lock_);
        tick_ = std::move(tick);
    }
    std::lock_guard<std::mutex> members(membership_lock_);
    tick_due_ = -1;
}

void rtcp_internal::schedule_feedback_tick(int64_t at_us) {
    const double at = static_cast<double>(at_us) / 1e6;
    std::lock_guard<std::mutex> members(membership_lock_);
    if (tick_due_ < 0 || at < tick_due_) {
        tick_due_ = at;
        wake_.notify_all();
    }
}

void rtcp_internal::run_feedback_tick(double tc) {
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        if (tick_due_ < 0 || tc < tick_due_) {
            return;
        }
        tick_due_ = -1;
    }
    int64_t next = INT64_MAX;
    {
        std::lock_guard<std::mutex> guard(tick_lock_);
        if (tick_) {
            next = tick_(static_cast<int64_t>(tc * 1e6));
        }
    }
    if (next != INT64_MAX) {
        schedule_feedback_tick(next);
    }
}

bool rtcp_internal::wait_for_timer() {
    std::unique_lock<std::mutex> lock(membership_lock_);
    for (;;) {
        if (!active_.load()) {
            return false;
        }
        // An early feedback packet, or the loss recovery's tick, may be due
        // before the next report.
        double due = early_due_ >= 0 ? std::min(timer_.tn, early_due_) : timer_.tn;
        if (tick_due_ >= 0) {
            due = std::min(due, tick_due_);
        }
        const double left = due - rtcp_steady_seconds();
        if (left <= 0) {
            return true;
        }
        // Woken early by stop or by reverse reconsideration (tn moved).
        wake_.wait_for(lock, std::chrono::microseconds(std::llround(left * 1e6) + 1));
    }
}

void rtcp_internal::on_timer(double tc) {
    const bool feedback = (rce_flags_ & RCE_RTCP_FEEDBACK) != 0;
    if (feedback && !on_feedback_timer(tc)) {
        return;
    }
    age_sources();  // RFC 3550 6.3.5: at least once per interval
    const rtcp_interval_inputs in = interval_inputs();
    bool whole = true;
    {
        std::lock_guard<std::mutex> members(membership_lock_);
        // RFC 3550 6.3.6: reconsidered with the membership of now.
        if (!rtcp_timer_expired(timer_, tc, draw_interval(in))) {
            return;
        }
        if (feedback) {
            std::uniform_real_distribution<double> factor(0.5, 1.5);
            std::lock_guard<std::mutex> guard(random_lock_);
            whole = avpf_regular_report(avpf_, tc, trr_interval_ms_.load() / 1000.0,
                                        factor(random_engine_));
        }
    }
    RTP_ERROR r = RTP_SUCCESS;
    if (whole) {
        r = generate_report();
    } else {
        // RFC 4585 3.5.3: a suppressed report still carries waiting feedback.
        std::lock_guard<std::mutex> packet(packet_lock_);
        r = feedback_queue_.empty() ? RTP_SUCCESS : send_feedback_compound();
    }
    if (r != RTP_SUCCESS && r != RTP_PENDING) {
        LOG_INFO("Failed to send RTCP status report!");
    }
    // RFC 3550 6.3.6: the next interval is drawn anew with the average size
    // the report moved.
    rtcp_interval_inputs after = in;
    after.avg_rtcp_size = static_cast<double>(avg_rtcp_size_.load());
    after.initial = false;
    const double next = draw_interval(after);
    last_interval_s_.store(next);
    interval_ms_.store(static_cast<uint32_t>(std::lround(next * 1000)));
    std::lock_guard<std::mutex> members(membership_lock_);
    rtcp_timer_sent(timer_, tc, next, in.members);
}

void rtcp_internal::age_sources() {
    for (uint32_t ssrc : timed_out_sources()) {
        remove_timeout_ssrc(ssrc);
    }
}

void rtcp_internal::wait_to_leave(int members) {
    LOG_INFO("Scheduling the BYE of a session of %d members", members);
    // RFC 3550 6.3.7: members = 1, no sender, initial, and the average size
    // is that of the BYE compound; received BYEs count as members now.
    rtcp_interval_inputs in;
    in.rtcp_bw_kbps = rtcp_bandwidth_kbps_.load();
    in.reduced_min_s = reduced_minimum_ms_.load() / 1000.0;
    in.red_min = true;
    in.initial = true;
    {
        std::lock_guard<std::mutex> packet(packet_lock_);
        avg_rtcp_size_.store(get_rr_packet_size(rce_flags_, 0) + get_sdes_packet_size(own_items_) +
                             get_bye_packet_size({local_ssrc_->load()}) + header_overhead_.load());
    }
    leaving_members_.store(1);
    leaving_.store(true);
    const double start = rtcp_steady_seconds();
    in.avg_rtcp_size = static_cast<double>(avg_rtcp_size_.load());
    rtcp_timer bye = rtcp_bye_timer(start, draw_interval(in));
    std::unique_lock<std::mutex> lock(membership_lock_);
    for (;;) {
        const double tc = rtcp_steady_seconds();
        if (tc - start >= k_rtcp_max_leave_s) {
            break;
        }
        if (tc >= bye.tn) {
            in.members = leaving_members_.load();
            in.avg_rtcp_size = static_cast<double>(avg_rtcp_size_.load());
            if (rtcp_timer_expired(bye, tc, draw_interval(in))) {
                break;
            }
            continue;
        }
        const double until = std::min(bye.tn, start + k_rtcp_max_leave_s) - tc;
        wake_.wait_for(lock, std::chrono::microseconds(std::llround(until * 1e6) + 1));
    }
    leaving_.store(false);
}

// --- report generation ----------------------------------------------------------

std::vector<rtcp_app_packet> rtcp_internal::collect_app_packets() {
    std::vector<rtcp_app_packet> out;
    if (send_app_hooks_present_.load()) {
        std::lock_guard<std::mutex> hooks(send_app_lock_);
        for (auto &hook : send_app_hooks_) {
            uint8_t subtype = 0;
            uint32_t length = 0;
            std::unique_ptr<uint8_t[]> payload = hook.second(subtype, length);
            if (length == 0) {
                continue;
            }
            // One unusable packet from a hook must not cost the whole report.
            if (length % 4 != 0 || length > 65535 - k_rtcp_app_fixed_size || !payload) {
                LOG_WARN("APP packet of hook %s dropped: %u bytes cannot be sent",
                         hook.first.c_str(), length);
                continue;
            }
            out.emplace_back(hook.first.c_str(), subtype, length, std::move(payload));
        }
        return out;
    }
    for (auto &queue : app_queue_) {
        if (!queue.second.empty()) {
            out.push_back(std::move(queue.second.front()));
            queue.second.pop_front();
        }
    }
    return out;
}

bool rtcp_internal::write_first_packet(uint8_t *frame, size_t &offset, bool we_sent,
                                       uint16_t reports) {
    const uint32_t ssrc = local_ssrc_->load();
    if (!we_sent) {
        if (!construct_rtcp_header(frame, offset, get_rr_packet_size(rce_flags_, reports),
                                   static_cast<uint8_t>(reports), frame::RTCP_FRAME_RR) ||
            !construct_ssrc(frame, offset, ssrc)) {
            LOG_ERROR_AS("generate_report", "Failed to construct RR");
            return false;
        }
        return true;
    }
    const uint64_t now = now_();
    uint64_t expected = 0;
    clock_start_.compare_exchange_strong(expected, now);
    // RFC 3550 6.4.1: the RTP timestamp of the same instant as the NTP time,
    // extrapolated from the last sampled frame with the current clock rate.
    uint64_t rtp_ts = 0;
    if (rtp_) {
        rtp_ts = rtp_->get_rtp_ts();
        const uint64_t sampled = rtp_->get_sampling_ntp();
        if (sampled != 0) {
            rtp_ts += static_cast<uint64_t>(clock_rate() / 1000.0 *
                                            static_cast<double>(ntp_ms_between(sampled, now)));
        }
    }
    if (!construct_rtcp_header(frame, offset, get_sr_packet_size(rce_flags_, reports),
                               static_cast<uint8_t>(reports), frame::RTCP_FRAME_SR) ||
        !construct_ssrc(frame, offset, ssrc) ||
        !construct_sender_info(frame, offset, now, rtp_ts, sent_packets_.load(),
                               sent_octets_.load())) {
        LOG_ERROR_AS("generate_report", "Failed to construct SR");
        return false;
    }
    sent_since_report_.store(false);
    if (rtt_hook_installed_.load()) {
        for (const auto &p : participants_) {
            sr_sent_.emplace(p.first, now);
        }
    }
    return true;
}

void rtcp_internal::write_report_blocks(uint8_t *frame, size_t &offset) {
    const uint64_t now = now_();
    for (auto &entry : participants_) {
        receiver_statistics &s = entry.second->stats;
        if (!s.rtp_seen) {
            continue;
        }
        const report_values v = take_report_values(s);
        uint32_t lsr = 0;
        uint32_t dlsr = 0;
        if (s.lsr != 0) {
            lsr = s.lsr;
            dlsr = static_cast<uint32_t>(clock::ms_to_jiffies(ntp_ms_between(s.lsr_arrival, now)));
        }
        construct_report_block(frame, offset, entry.first, v.fraction, v.lost, v.cycles, v.max_seq,
                               v.jitter, lsr, dlsr);
    }
}

RTP_ERROR rtcp_internal::generate_report() {
    const bool we_sent = sent_since_report_.load();
    std::lock_guard<std::mutex> packet(packet_lock_);
    {
        std::lock_guard<std::mutex> table(table_lock_);
        // RFC 3550 6.4.1: a sender reports from its first interval; a pure
        // receiver has nothing to say before it heard someone.
        if (participants_.empty() && sent_packets_.load() == 0) {
            return RTP_SUCCESS;
        }
    }
    uint32_t trailer = 0;
    if (!security_trailer(trailer)) {
        return RTP_PENDING;  // never in clear on an SRTP stream
    }
    ++packet_counter_;
    std::unique_lock<std::mutex> table(table_lock_);
    uint16_t reports = 0;
    for (const auto &p : participants_) {
        reports = static_cast<uint16_t>(reports + (p.second->stats.rtp_seen ? 1 : 0));
    }
    std::vector<rtcp_app_packet> apps = collect_app_packets();
    uint32_t app_size = 0;
    for (const rtcp_app_packet &app : apps) {
        app_size += get_app_packet_size(app.payload_len);
    }
    const uint32_t size = (we_sent ? get_sr_packet_size(rce_flags_, reports)
                                   : get_rr_packet_size(rce_flags_, reports)) +
                          app_size + get_sdes_packet_size(own_items_) + queued_feedback_size() +
                          (bye_ssrcs_.empty() ? 0 : get_bye_packet_size(bye_ssrcs_)) + trailer;
    if (size > max_compound_size_.load()) {
        LOG_WARN(
            "Generate RTCP packet is too large %lli/%lli, reports should be circled, but not "
            "implemented!",
            static_cast<long long>(size), static_cast<long long>(max_compound_size_.load()));
    }
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size]());
    size_t offset = 0;
    if (!write_first_packet(frame.get(), offset, we_sent, reports)) {
        return RTP_FAILED;
    }
    write_report_blocks(frame.get(), offset);
    table.unlock();

    if (!write_sdes(frame.get(), offset)) {
        return RTP_FAILED;
    }
    // RFC 4585 3.1: feedback follows the RR/SR and the SDES; a regular
    // report carries whatever waited for it.
    write_queued_feedback(frame.get(), offset);
    const uint32_t ssrc = local_ssrc_->load();
    for (rtcp_app_packet &app : apps) {
        // Cannot fail: queued and hook packets were checked on their way in.
        if (!construct_app_block(frame.get(), offset, app.subtype & 0x1F, ssrc, app.name.get(),
                                 std::move(app.payload), app.payload_len)) {
            LOG_ERROR("Failed to construct APP packet");
            return RTP_FAILED;
        }
    }
    if (!bye_ssrcs_.empty()) {
        const bool written = construct_bye_packets(frame.get(), offset, bye_ssrcs_);
        bye_ssrcs_.clear();
        if (!written) {
            LOG_ERROR("Failed to construct BYE");
            return RTP_FAILED;
        }
    }
    const RTP_ERROR r = send_compound(std::move(frame), size);
    compound_sent_ = compound_sent_ || r == RTP_SUCCESS;
    if ((rce_flags_ & RCE_RTCP_FEEDBACK)) {
        std::lock_guard<std::mutex> members(membership_lock_);
        avpf_.allow_early = true;  // RFC 4585 3.5.3: a regular report went out
    }
    return r;
}

bool rtcp_internal::security_trailer(uint32_t &trailer) {
    trailer = get_security_overhead_size(rce_flags_);
    if ((rce_flags_ & RCE_SRTP)) {
        std::lock_guard<std::mutex> guard(srtcp_lock_);
        if (!srtcp_) {
            return false;
        }
        // The standard profiles' trailers differ (20 bytes with AES-GCM).
        trailer = static_cast<uint32_t>(srtcp_->trailer_size());
    }
    return true;
}

bool rtcp_internal::write_sdes(uint8_t *frame, size_t &offset) {
    frame::rtcp_sdes_chunk chunk{local_ssrc_->load(), {}};
    for (const auto &item : own_items_) {
        chunk.items.push_back(item.second);
    }
    if (!construct_rtcp_header(frame, offset, get_sdes_packet_size(own_items_), 1,
                               frame::RTCP_FRAME_SDES) ||
        !construct_sdes_chunk(frame, offset, std::move(chunk))) {
        LOG_ERROR("Failed to add SDES packet");
        return false;
    }
    return true;
}

RTP_ERROR rtcp_internal::send_compound(std::unique_ptr<uint8_t[]> frame, uint32_t size) {
    {
        std::lock_guard<std::mutex> guard(srtcp_lock_);
        if (srtcp_) {
            const RTP_ERROR r = srtcp_->handle_rtcp_encryption(
                rce_flags_, packet_counter_, local_ssrc_->load(), frame.get(), size);
            if (r != RTP_SUCCESS) {
                return r;
            }
        }
    }
    std::lock_guard<std::mutex> table(table_lock_);
    if (!transport_) {
        LOG_ERROR_AS("send_rtcp_packet_to_participants",
                     "Tried to send RTCP packet when socket does not exist!");
        return RTP_FAILED;
    }
    const RTP_ERROR r = transport_->send(frame.get(), size);
    if (r != RTP_SUCCESS) {
        LOG_ERROR_AS("send_rtcp_packet_to_participants",
                     "Sending rtcp packet with sendto() failed!");
    }
    update_avg_rtcp_size(size);
    return r;
}

}  // namespace tessal
