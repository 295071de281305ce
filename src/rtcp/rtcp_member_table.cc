#include "rtcp/rtcp_member_table.hh"

namespace tessal {

rtcp_member_table::rtcp_member_table(size_t capacity) : capacity_(capacity) {}

bool rtcp_member_table::heard(uint32_t ssrc, uint64_t now_ms, bool rtp) {
    auto it = entries_.find(ssrc);
    if (it == entries_.end()) {
        if (entries_.size() >= capacity_) {
            return false;
        }
        it = entries_.emplace(ssrc, entry{}).first;
    }
    entry &e = it->second;
    e.heard_ms = now_ms;
    if (rtp) {
        e.rtp_ms = now_ms;
        if (!e.sender) {
            e.sender = true;  // RFC 3550 6.3.3: senders++
            ++senders_;
        }
    }
    return true;
}

bool rtcp_member_table::remove(uint32_t ssrc) {
    auto it = entries_.find(ssrc);
    if (it == entries_.end()) {
        return false;
    }
    senders_ -= it->second.sender ? 1 : 0;
    entries_.erase(it);
    return true;
}

bool rtcp_member_table::silent(uint32_t ssrc, uint64_t now_ms, uint64_t timeout_ms) const {
    auto it = entries_.find(ssrc);
    return it != entries_.end() && now_ms > it->second.heard_ms &&
           now_ms - it->second.heard_ms > timeout_ms;
}

std::vector<uint32_t> rtcp_member_table::expire(uint64_t now_ms, uint64_t sender_timeout_ms,
                                                uint64_t member_timeout_ms) {
    std::vector<uint32_t> expired;
    for (auto &[ssrc, e] : entries_) {
        // RFC 3550 6.3.5: no RTP since tc - 2T: no longer a sender.
        if (e.sender && now_ms > e.rtp_ms && now_ms - e.rtp_ms > sender_timeout_ms) {
            e.sender = false;
            --senders_;
        }
        // RFC 3550 6.3.5: nothing at all since tc - M * Td: timed out.
        if (now_ms > e.heard_ms && now_ms - e.heard_ms > member_timeout_ms) {
            expired.push_back(ssrc);
        }
    }
    return expired;
}

void rtcp_member_table::clear() {
    entries_.clear();
    senders_ = 0;
}

}  // namespace tessal
