#include "formats/h26x_access_unit_gate.hh"

#include <algorithm>
#include <iterator>
#include <utility>

namespace tessal {
namespace formats {

namespace {

// Extended sequence numbers start here, so that ones below the first stay
// positive.
constexpr int64_t k_base = int64_t{1} << 32;
// A stream whose packets land this far behind what was finished, many times
// in a row, has restarted its numbering: the gate starts over.
constexpr int64_t k_far_behind = 1024;
constexpr unsigned k_restart_after = 64;

}  // namespace

access_unit_gate::~access_unit_gate() {
    for (auto &entry : held_) {
        for (held_nal &nal : entry.second) {
            frame::dealloc_frame(nal.frame);
        }
    }
}

int64_t access_unit_gate::extend(uint16_t seq) const noexcept {
    if (highest_ == k_unknown) {
        return k_base + seq;
    }
    const auto delta =
        static_cast<int16_t>(static_cast<uint16_t>(seq - static_cast<uint16_t>(highest_)));
    return highest_ + delta;
}

bool access_unit_gate::admit(uint16_t seq, uint32_t timestamp, bool marker, au_start_hint hint,
                             clock::hrc::hrc_t now) {
    int64_t ext = extend(seq);
    if (floor_ != k_unknown && ext < floor_) {
        if (floor_ - ext < k_far_behind || ++far_behind_ < k_restart_after) {
            return false;
        }
        restart_ = true;  // the next advance() gives up everything held
        far_behind_ = 0;
        return false;
    }
    far_behind_ = 0;
    if (!packets_.emplace(ext, packet{timestamp, now, marker, false, hint}).second) {
        return false;
    }
    if (highest_ == k_unknown || ext > highest_) {
        highest_ = ext;
    }
    return true;
}

void access_unit_gate::spoil(uint16_t seq) {
    const auto it = packets_.find(extend(seq));
    if (it != packets_.end()) {
        it->second.spoiled = true;
    }
}

void access_unit_gate::hold(frame::rtp_frame *nal, uint8_t nal_class) {
    held_[nal->header.timestamp].push_back(held_nal{extend(nal->header.sequence), nal, nal_class});
}

size_t access_unit_gate::nal_units_held() const noexcept {
    size_t n = 0;
    for (const auto &entry : held_) {
        n += entry.second.size();
    }
    return n;
}

// A packet begins an access unit when its codec says so, or when the packet
// before it is known and ended one (marker bit, or another timestamp). The
// very first packet of a stream is taken as a beginning unless the codec
// says otherwise; reordering at the start is covered because the choice is
// made again at every call until the first unit is finished.
bool access_unit_gate::starts_unit(packet_map::const_iterator it) const {
    const packet &p = it->second;
    if (p.hint == au_start_hint::continues) {
        return false;
    }
    if (p.hint == au_start_hint::begins) {
        return true;
    }
    const int64_t prev_seq = it->first - 1;
    if (it != packets_.begin()) {
        const auto prev = std::prev(it);
        if (prev->first == prev_seq) {
            return prev->second.timestamp != p.timestamp || prev->second.marker;
        }
    }
    if (last_seq_ != k_unknown && last_seq_ == prev_seq) {
        return last_timestamp_ != p.timestamp || last_marker_;
    }
    return !started_ && it == packets_.begin();
}

bool access_unit_gate::gap_expired(int64_t gap, clock::hrc::hrc_t now,
                                   int64_t reorder_window_ms) const {
    const auto after = packets_.upper_bound(gap);
    if (after == packets_.end()) {
        return false;  // nothing after it yet: the unit is still arriving
    }
    if (packets_.size() > k_max_packets || highest_ - gap > k_max_span) {
        return true;
    }
    return clock::hrc::diff(now, after->second.arrival) > reorder_window_ms;
}

void access_unit_gate::finish(int64_t from, int64_t to, bool lost, std::vector<unit> &out) {
    auto it = packets_.lower_bound(from);
    while (it != packets_.end() && it->first < to) {
        unit u;
        u.timestamp = it->second.timestamp;
        u.first_seq = static_cast<uint16_t>(it->first);
        u.lost = lost;
        const int64_t first = it->first;
        int64_t last = first;
        while (it != packets_.end() && it->first < to && it->second.timestamp == u.timestamp) {
            u.lost = u.lost || it->second.spoiled;
            last = it->first;
            last_seq_ = it->first;
            last_timestamp_ = it->second.timestamp;
            last_marker_ = it->second.marker;
            it = packets_.erase(it);
        }
        u.last_seq = static_cast<uint16_t>(last);
        const auto held = held_.find(u.timestamp);
        if (held != held_.end()) {
            std::vector<held_nal> &nals = held->second;
            auto keep = nals.begin();
            for (held_nal &nal : nals) {
                if (nal.seq > last) {
                    *keep++ = nal;  // a later unit with the same timestamp
                } else if (!u.lost && nal.seq >= first) {
                    u.nals.push_back(nal);
                } else {
                    frame::dealloc_frame(nal.frame);
                }
            }
            nals.erase(keep, nals.end());
            if (nals.empty()) {
                held_.erase(held);
            }
        }
        std::stable_sort(u.nals.begin(), u.nals.end(),
                         [](const held_nal &a, const held_nal &b) { return a.seq < b.seq; });
        started_ = true;
        out.push_back(std::move(u));
    }
}

void access_unit_gate::give_up(int64_t gap, std::vector<unit> &out) {
    const size_t before = out.size();
    if (!packets_.empty() && packets_.begin()->first < gap) {
        finish(packets_.begin()->first, gap, true, out);
    }
    if (out.size() == before) {
        // Nothing of the unit arrived: still a loss to report.
        unit u;
        u.lost = true;
        u.whole_unit_missing = true;
        u.first_seq = u.last_seq = static_cast<uint16_t>(gap);
        out.push_back(std::move(u));
    }
    started_ = true;
    last_seq_ = k_unknown;  // what the missing packet was is unknown
    next_ = k_unknown;
    floor_ = gap + 1;
}

void access_unit_gate::advance(clock::hrc::hrc_t now, int64_t reorder_window_ms,
                               std::vector<unit> &out) {
    if (restart_) {
        restart_ = false;
        if (!packets_.empty()) {
            finish(packets_.begin()->first, packets_.rbegin()->first + 1, true, out);
        } else {
            give_up(next_ != k_unknown ? next_ : 0, out);
        }
        next_ = floor_ = highest_ = last_seq_ = k_unknown;
        return;
    }
    while (!packets_.empty()) {
        int64_t start = next_;
        if (start == k_unknown) {
            auto it = packets_.begin();
            while (it != packets_.end() && !starts_unit(it)) {
                ++it;
            }
            if (it == packets_.end()) {
                if (packets_.size() <= k_max_packets &&
                    highest_ - packets_.begin()->first < k_max_span) {
                    return;  // wait for a packet that begins a unit
                }
                finish(packets_.begin()->first, packets_.begin()->first + 1, true, out);
                continue;
            }
            if (it != packets_.begin()) {
                // The tail of a unit whose head never arrived.
                finish(packets_.begin()->first, it->first, true, out);
                continue;  // the predecessor rule may now say more
            }
            start = it->first;
            if (started_) {
                next_ = floor_ = start;
            }
        }
        auto it = packets_.begin();
        if (it->first != start) {  // the unit's first packet is missing
            if (!gap_expired(start, now, reorder_window_ms)) {
                return;
            }
            give_up(start, out);
            continue;
        }
        // Walk to the unit's end over consecutive packets.
        bool ended = false;
        for (;;) {
            if (it->second.marker) {
                ended = true;
                break;
            }
            const auto next = std::next(it);
            if (next == packets_.end() || next->first != it->first + 1) {
                break;
            }
            if (next->second.timestamp != it->second.timestamp) {
                ended = true;
                break;
            }
            it = next;
        }
        const int64_t end = it->first;
        if (ended) {
            finish(start, end + 1, false, out);
            next_ = floor_ = end + 1;
            continue;
        }
        if (!gap_expired(end + 1, now, reorder_window_ms)) {
            return;
        }
        give_up(end + 1, out);
    }
}

}  // namespace formats
}  // namespace tessal
