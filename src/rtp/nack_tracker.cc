#include "rtp/nack_tracker.hh"

#include <algorithm>
#include <climits>

namespace tessal {

namespace {

int64_t clamp_time(int64_t us) noexcept {
    return std::min(std::max(us, int64_t{0}), nack_tracker::k_max_time_us);
}

// Times come from the caller: a sum saturates rather than wrap.
int64_t add_time(int64_t t, int64_t d) noexcept {
    int64_t sum = 0;
    if (__builtin_add_overflow(t, d, &sum)) {
        return d > 0 ? INT64_MAX : INT64_MIN;
    }
    return sum;
}

// The serial distance (RFC 1982 on 16 bits) from `from` to `seq`, in
// [-32768, 32767].
int32_t seq_distance(uint16_t seq, uint16_t from) noexcept {
    return static_cast<int16_t>(static_cast<uint16_t>(seq - from));
}

}  // namespace

nack_tracker::nack_tracker(const nack_config &config) : config_(config) {
    config_.reorder_delay_us = clamp_time(config_.reorder_delay_us);
    config_.max_wait_us = clamp_time(config_.max_wait_us);
    config_.max_requests = std::max(config_.max_requests, 1u);
    config_.max_missing = std::min(std::max(config_.max_missing, size_t{1}), size_t{k_history});
    config_.max_jump = std::min(std::max(config_.max_jump, 1u), k_history - 1);
    config_.default_rtt_us = clamp_time(config_.default_rtt_us);
    config_.min_rtt_us = std::max(clamp_time(config_.min_rtt_us), int64_t{1});
}

void nack_tracker::set_max_wait(int64_t max_wait_us) noexcept {
    config_.max_wait_us = clamp_time(max_wait_us);
}

nack_arrival nack_tracker::on_packet(uint16_t seq, int64_t now_us, bool retransmission) {
    if (!started_) {
        return start(seq);
    }
    const int32_t d = seq_distance(seq, static_cast<uint16_t>(highest_));
    if (d > static_cast<int32_t>(config_.max_jump) || -d > static_cast<int32_t>(config_.max_jump)) {
        return jump(seq, now_us, retransmission);
    }
    if (!retransmission) {
        bad_seq_ = -1;
    }
    const int64_t ext = highest_ + d;
    return d > 0 ? advance(ext, now_us, retransmission) : behind(ext, retransmission);
}

nack_arrival nack_tracker::start(uint16_t seq) {
    started_ = true;
    // Extended numbers start one cycle up, so the packets before the first
    // stay positive.
    highest_ = int64_t{1} << 16 | seq;
    base_ = highest_;
    set_received(highest_);
    return {NACK_ARRIVAL_IN_ORDER, 0, 0};
}

// RFC 3550 appendix A.1: a packet far from the others is taken as a new
// start only when the next one follows it; one stray packet changes nothing.
nack_arrival nack_tracker::jump(uint16_t seq, int64_t now_us, bool retransmission) {
    if (retransmission) {
        return {NACK_ARRIVAL_JUMP, 0, 0};
    }
    if (bad_seq_ == seq) {
        return restart(seq, now_us);
    }
    bad_seq_ = static_cast<uint16_t>(seq + 1);
    return {NACK_ARRIVAL_JUMP, 0, 0};
}

nack_arrival nack_tracker::restart(uint16_t seq, int64_t now_us) {
    // What was missing belongs to the old numbering: given up.
    for (const entry &e : missing_) {
        give_up(e.seq, now_us);
    }
    missing_.clear();
    std::fill(std::begin(history_), std::end(history_), 0);
    // Well above anything remembered, so the old numbers read as too old.
    highest_ = ((highest_ >> 16) + 2) << 16 | seq;
    base_ = highest_ - 1;  // the packet that announced the jump
    set_received(base_);
    set_received(highest_);
    bad_seq_ = -1;
    ++counters_.restarts;
    return {NACK_ARRIVAL_RESTART, 0, 0};
}

nack_arrival nack_tracker::advance(int64_t ext, int64_t now_us, bool retransmission) {
    // The numbers skipped become missing; their bits leave the history.
    for (int64_t s = highest_ + 1; s <= ext; ++s) {
        history_[(s / 64) % (k_history / 64)] &= ~(uint64_t{1} << (s % 64));
    }
    const auto gap = static_cast<uint32_t>(ext - highest_ - 1);
    if (gap > 0) {
        open_gap(highest_ + 1, ext - 1, now_us);
    }
    highest_ = ext;
    set_received(ext);
    // Further behind than max_jump, a packet would read as a jump: asking
    // for it is of no use any more.
    while (!missing_.empty() && missing_.front().seq < highest_ - config_.max_jump) {
        give_up(missing_.front().seq, now_us);
        missing_.pop_front();
    }
    if (!retransmission) {
        ++advances_;
    }
    count_later_packets(now_us);
    return {gap > 0 ? NACK_ARRIVAL_AFTER_GAP : NACK_ARRIVAL_IN_ORDER, gap, 0};
}

void nack_tracker::open_gap(int64_t first, int64_t last, int64_t now_us) {
    // Beyond the bound the oldest are given up, oldest first: those waited
    // for longest, then those of this gap that never enter the list.
    const auto bound = static_cast<int64_t>(config_.max_missing);
    const int64_t kept_from = std::max(first, last - bound + 1);
    const int64_t kept = last - kept_from + 1;
    while (!missing_.empty() && static_cast<int64_t>(missing_.size()) + kept > bound) {
        give_up(missing_.front().seq, now_us);
        missing_.pop_front();
    }
    for (int64_t s = first; s < kept_from; ++s) {
        give_up(s, now_us);
    }
    for (int64_t s = kept_from; s <= last; ++s) {
        entry e;
        e.seq = s;
        e.seen_us = now_us;
        e.eligible_us = add_time(now_us, config_.reorder_delay_us);
        e.advances_before = advances_;
        missing_.push_back(e);
    }
}

// The packet rule of the reordering allowance. Entries reach the count
// oldest first, so those counted form the front of the list: walk from the
// back up to the first one counted before.
void nack_tracker::count_later_packets(int64_t now_us) noexcept {
    if (config_.reorder_packets == 0) {
        return;
    }
    for (auto it = missing_.rbegin(); it != missing_.rend() && !it->counted; ++it) {
        if (advances_ - it->advances_before >= config_.reorder_packets) {
            it->counted = true;
            it->eligible_us = std::min(it->eligible_us, now_us);
        }
    }
}

nack_arrival nack_tracker::behind(int64_t ext, bool retransmission) {
    if (ext < base_ || ext <= highest_ - static_cast<int64_t>(k_history)) {
        return {NACK_ARRIVAL_TOO_OLD, 0, 0};
    }
    if (received(ext)) {
        ++counters_.duplicates;
        if (retransmission) {
            ++counters_.duplicate_retransmissions;
        }
        return {NACK_ARRIVAL_DUPLICATE, 0, 0};
    }
    set_received(ext);
    const auto it = std::lower_bound(missing_.begin(), missing_.end(), ext,
                                     [](const entry &e, int64_t s) { return e.seq < s; });
    if (it == missing_.end() || it->seq != ext) {
        // Neither received nor waited for: given up before.
        ++counters_.recovered_late;
        return {NACK_ARRIVAL_RECOVERED_LATE, 0, 0};
    }
    const uint32_t requests = it->requests;
    missing_.erase(it);
    if (requests > 0 || retransmission) {
        ++counters_.recovered_in_time;
        return {NACK_ARRIVAL_RECOVERED, 0, requests};
    }
    ++counters_.reordered;
    return {NACK_ARRIVAL_REORDERED, 0, 0};
}

void nack_tracker::due(int64_t now_us, int64_t rtt_us, nack_due &out) {
    out.nack.clear();
    last_rtt_us_ = rtt_us;
    const int64_t rtt = rtt_or_default(rtt_us);
    // One pass: entries past their deadline are given up and leave the
    // list, the others are asked for when their time has come.
    auto keep = missing_.begin();
    for (auto it = missing_.begin(); it != missing_.end(); ++it) {
        if (now_us >= deadline(*it)) {
            give_up(it->seq, now_us);
            continue;
        }
        request_if_due(*it, now_us, rtt, out);
        if (keep != it) {
            *keep = *it;
        }
        ++keep;
    }
    missing_.erase(keep, missing_.end());
    out.given_up.assign(given_up_.begin(), given_up_.end());
    given_up_.clear();
    given_up_since_ = INT64_MAX;
}

void nack_tracker::request_if_due(entry &e, int64_t now_us, int64_t rtt_us, nack_due &out) {
    if (e.requests >= config_.max_requests) {
        return;  // waits for its deadline
    }
    // The first request after the reordering allowance, each other one a
    // round trip after the one before.
    const int64_t at = e.requests == 0 ? e.eligible_us : add_time(e.last_request_us, rtt_us);
    if (now_us < at) {
        return;
    }
    if (e.requests == 0) {
        ++counters_.packets_asked;
    }
    ++e.requests;
    ++counters_.requests;
    e.last_request_us = now_us;
    out.nack.push_back(static_cast<uint16_t>(e.seq));
}

int64_t nack_tracker::next_deadline() const noexcept {
    int64_t next = given_up_since_;
    const int64_t rtt = rtt_or_default(last_rtt_us_);
    for (const entry &e : missing_) {
        next = std::min(next, deadline(e));
        if (e.requests < config_.max_requests) {
            next =
                std::min(next, e.requests == 0 ? e.eligible_us : add_time(e.last_request_us, rtt));
        }
    }
    return next;
}

int64_t nack_tracker::deadline(const entry &e) const noexcept {
    return add_time(e.seen_us, config_.max_wait_us);
}

void nack_tracker::give_up(int64_t ext, int64_t now_us) {
    ++counters_.given_up;
    given_up_since_ = std::min(given_up_since_, now_us);
    // A flood of jumps between two timer calls lists only the first
    // k_history: the stream learns of the loss all the same.
    if (given_up_.size() < k_history) {
        given_up_.push_back(static_cast<uint16_t>(ext));
    }
}

bool nack_tracker::received(int64_t ext) const noexcept {
    return (history_[(ext / 64) % (k_history / 64)] >> (ext % 64)) & 1u;
}

void nack_tracker::set_received(int64_t ext) noexcept {
    history_[(ext / 64) % (k_history / 64)] |= uint64_t{1} << (ext % 64);
}

int64_t nack_tracker::rtt_or_default(int64_t rtt_us) const noexcept {
    if (rtt_us <= 0) {
        return std::max(config_.default_rtt_us, config_.min_rtt_us);
    }
    return std::max(clamp_time(rtt_us), config_.min_rtt_us);
}

}  // namespace tessal
