// The receive side of the H.26x formats: single NAL unit packets, aggregation
// packets and fragmentation units (FUs) back into NAL units with a start code
// in front, behind a duplicate filter, a memory of dropped access units, an
// optional wait for a key frame and a garbage collection of stale units.

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "formats/h26x.hh"
#include "formats/h26x_receive.hh"
#include "rtp/frame_block.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr int64_t k_gc_interval_ms = 100;
constexpr size_t k_long_start_code_len = 4;  // 00 00 00 01
// RFC 6184 section 5.7.1: a STAP-B carries a 16-bit decoding order number.
constexpr uint8_t k_don_len = 2;

struct frame_deleter {
    void operator()(frame::rtp_frame *f) const noexcept { frame::dealloc_frame(f); }
};
using frame_ptr = std::unique_ptr<frame::rtp_frame, frame_deleter>;

RTP_ERROR discard(frame::rtp_frame **out) {
    frame::dealloc_frame(*out);
    *out = nullptr;
    return RTP_FAILED;
}

// Number of sequence numbers from `start` to `end` inclusive, across the wrap.
size_t range_length(uint16_t start, uint16_t end) {
    return size_t{static_cast<uint16_t>(end - start)} + 1;
}

}  // namespace

namespace {

// 00 .. 00 01 in the first `start_code_len` (> 0) bytes of `at`.
void write_start_code(uint8_t *at, size_t start_code_len) {
    std::memset(at, 0, start_code_len - 1);
    at[start_code_len - 1] = 1;
}

}  // namespace

frame::rtp_frame *alloc_frame_with_start_code(size_t start_code_len,
                                              const frame::rtp_header &header, size_t size,
                                              size_t &write_pos) noexcept {
    if (size > std::numeric_limits<size_t>::max() - start_code_len) {
        return nullptr;
    }
    frame::rtp_frame *f = frame::alloc_rtp_frame(size + start_code_len);
    if (f == nullptr) {
        return nullptr;
    }
    f->header = header;
    // The new frame has no CSRC list, extension or padding of its own.
    f->header.csrc_count = 0;
    f->header.extension = 0;
    f->header.padding = 0;
    if (start_code_len > 0) {
        write_start_code(f->payload, start_code_len);
    }
    write_pos += start_code_len;
    return f;
}

void prepend_start_code_bytes(frame::rtp_frame *frame, size_t start_code_len) noexcept {
    if (frame == nullptr || start_code_len == 0 ||
        frame->payload_length > std::numeric_limits<size_t>::max() - start_code_len) {
        return;
    }
    // A received packet has room in front of its payload: no copy.
    if (frame::extend_payload_front(frame, start_code_len)) {
        write_start_code(frame->payload, start_code_len);
        return;
    }
    uint8_t *bytes = new (std::nothrow) uint8_t[frame->payload_length + start_code_len];
    if (bytes == nullptr) {
        return;
    }
    write_start_code(bytes, start_code_len);
    if (frame->payload_length > 0) {
        std::memcpy(bytes + start_code_len, frame->payload, frame->payload_length);
    }
    frame::replace_payload(frame, bytes, frame->payload_length + start_code_len);
}

RTP_ERROR h26x::packet_handler(void *arg, int rce_flags, uint8_t *, size_t,
                               frame::rtp_frame **out) noexcept {
    if (arg == nullptr || out == nullptr || *out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        return static_cast<h26x *>(arg)->handle_packet(rce_flags, out);
    } catch (const std::bad_alloc &) {
        // *out is null, the caller's packet, or a NAL unit nobody else holds:
        // the caller releases whatever is left there.
        return RTP_ALLOC_FAILED;
    }
}

RTP_ERROR h26x::handle_packet(int rce_flags, frame::rtp_frame **out) {
    frame::rtp_frame *packet = *out;
    if (is_duplicate_frame(packet->header.timestamp, packet->header.sequence)) {
        return discard(out);
    }
    if ((rce_flags & RCE_H26X_RESYNC_ON_KEY_FRAME) != 0) {
        return handle_packet_in_whole_units(rce_flags, out);
    }
    return dispatch(rce_flags, out, get_fragment_type(packet));
}

RTP_ERROR h26x::dispatch(int rce_flags, frame::rtp_frame **out, fragment_kind kind) {
    frame::rtp_frame *packet = *out;
    const uint32_t ts = packet->header.timestamp;
    if (dropped_timestamps_.contains(ts)) {
        return discard(out);  // a late packet of an access unit already given up
    }
    switch (kind) {
        case FRAGMENT_INVALID:
            LOG_WARN_LIMITED_AS(invalid_log_, "packet_handler", "invalid frame received!");
            malformed_.fetch_add(1, std::memory_order_relaxed);
            return discard(out);
        case FRAGMENT_NONE:
            end_wait_at_key_frame(rce_flags, ts, get_nal_unit_class(packet->payload));
            prepend_start_code(rce_flags, out);
            return RTP_FRAME_READY;
        case FRAGMENT_AGGREGATE:
            return handle_aggregation_packet(out, get_payload_header_size(), rce_flags);
        case FRAGMENT_STAP_B:
            return handle_aggregation_packet(
                out, static_cast<uint8_t>(get_payload_header_size() + k_don_len), rce_flags);
        case FRAGMENT_FIRST:
        case FRAGMENT_MIDDLE:
        case FRAGMENT_LAST:
            return handle_fragment(out, kind, rce_flags);
    }
    return discard(out);
}

// Resync mode. The packet's NAL units are rebuilt as in the other mode,
// without its key-frame wait, and held by the gate; what the gate hands out
// are whole access units, and the wait for a key frame applies to those: a
// unit lost, or one predicting from pictures that were not all handed on,
// is never seen by the decoder. Returns RTP_FRAMES_READY when access units
// were released, RTP_SUCCESS when the packet was taken, RTP_FAILED when it
// was discarded.
RTP_ERROR h26x::handle_packet_in_whole_units(int rce_flags, frame::rtp_frame **out) {
    frame::rtp_frame *packet = *out;
    const uint16_t seq = packet->header.sequence;
    const fragment_kind kind = get_fragment_type(packet);
    const au_start_hint hint = kind == FRAGMENT_MIDDLE || kind == FRAGMENT_LAST
                                   ? au_start_hint::continues
                                   : access_unit_start(packet);
    if (!gate_.admit(seq, packet->header.timestamp, packet->header.marker != 0, hint, now_())) {
        return discard(out);  // behind what was handed on or given up
    }
    const int unit_flags = rce_flags & ~RCE_H26X_RESYNC_ON_KEY_FRAME;
    const size_t queued = ready_frames_.size();
    const RTP_ERROR rc = dispatch(unit_flags, out, kind);
    if (rc == RTP_FRAME_READY) {
        hold_nal_unit(*out, rce_flags, seq);
        *out = nullptr;
    } else if (rc == RTP_FRAMES_READY) {
        for (size_t i = queued; i < ready_frames_.size(); ++i) {
            hold_nal_unit(ready_frames_[i], rce_flags, seq);
        }
        ready_frames_.truncate(queued);
    } else if (rc != RTP_SUCCESS) {
        gate_.spoil(seq);
        if (rc != RTP_FAILED) {
            return rc;  // whatever is left in *out is the caller's
        }
    }
    release_access_units();
    if (ready_frames_.size() > queued) {
        return RTP_FRAMES_READY;
    }
    return rc == RTP_FAILED ? RTP_FAILED : RTP_SUCCESS;
}

void h26x::hold_nal_unit(frame::rtp_frame *nal, int rce_flags, uint16_t seq) {
    const size_t start_code_len =
        start_code_wanted(rce_flags) ? (get_nal_header_size() == 1 ? 3 : k_long_start_code_len) : 0;
    nal_class cls = NAL_CLASS_OTHER;
    if (nal->payload_length >= start_code_len + get_nal_header_size()) {
        cls = get_nal_unit_class(nal->payload + start_code_len);
    }
    try {
        gate_.hold(nal, cls);
    } catch (const std::bad_alloc &) {
        frame::dealloc_frame(nal);
        gate_.spoil(seq);
    }
}

void h26x::release_access_units() {
    gate_units_.clear();
    gate_.advance(now_(),
                  static_cast<int64_t>(rtp_ctx_ != nullptr ? rtp_ctx_->get_pkt_max_delay()
                                                           : k_default_pkt_max_delay_ms),
                  gate_units_);
    for (access_unit_gate::unit &au : gate_units_) {
        if (au.lost) {
            waiting_for_key_frame_ = true;
            if (!au.whole_unit_missing) {
                forget_access_unit(au.timestamp);
            }
            continue;
        }
        bool key = false;
        bool predicted = false;
        for (const access_unit_gate::held_nal &nal : au.nals) {
            key = key || nal.nal_class == NAL_CLASS_INTRA;
            predicted = predicted || nal.nal_class == NAL_CLASS_INTER;
        }
        if (waiting_for_key_frame_ && key) {
            LOG_INFO_AS("packet_handler", "Found a key frame at ts %lu",
                        static_cast<unsigned long>(au.timestamp));
            waiting_for_key_frame_ = false;
        } else if (waiting_for_key_frame_ && predicted) {
            LOG_WARN_LIMITED_AS(missing_reference_log_, "packet_handler",
                                "Dropping h26x access unit because of missing reference. "
                                "Timestamp: %lu. Seq: %u - %u",
                                static_cast<unsigned long>(au.timestamp), unsigned{au.first_seq},
                                unsigned{au.last_seq});
            for (const access_unit_gate::held_nal &nal : au.nals) {
                frame::dealloc_frame(nal.frame);
            }
            forget_access_unit(au.timestamp);
            continue;
        }
        for (const access_unit_gate::held_nal &nal : au.nals) {
            ready_frames_.push_back(nal.frame);
        }
    }
    gate_units_.clear();
}

// A unit the gate gave up or dropped: its reassembly state goes, and later
// packets with its timestamp are discarded.
void h26x::forget_access_unit(uint32_t timestamp) {
    if (find_access_unit(timestamp) != nullptr) {
        drop_access_unit(timestamp);
    } else {
        remember_dropped(timestamp);
    }
}

RTP_ERROR h26x::frame_getter(frame::rtp_frame **out) {
    if (out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (ready_frames_.empty()) {
        return RTP_NO_SUCH_ITEM;
    }
    *out = ready_frames_.front();
    ready_frames_.pop_front();
    return RTP_FRAME_READY;
}

bool h26x::is_duplicate_frame(uint32_t timestamp, uint16_t seq) {
    if (duplicate_history_.check_and_insert(timestamp, seq, now_())) {
        LOG_WARN_LIMITED(duplicate_log_, "duplicate ts and seq num received, discarding frame");
        return true;
    }
    return false;
}

duplicate_filter::duplicate_filter(int64_t window_ms) : window_ms_(window_ms) {}

bool duplicate_filter::check_and_insert(uint32_t timestamp, uint16_t seq, clock::hrc::hrc_t now) {
    static_assert((k_slots & (k_slots - 1)) == 0, "the slot count must divide 65536");
    if (!slots_) {
        slots_.reset(new slot[k_slots]);  // a sending stream never needs it
    }
    slot &s = slots_[seq & (k_slots - 1)];
    if (s.used && s.seq == seq && s.timestamp == timestamp &&
        clock::hrc::diff(now, s.arrival) <= window_ms_) {
        return true;
    }
    used_ += s.used ? 0 : 1;
    s = slot{now, timestamp, seq, true};
    return false;
}

// RFC 6184 section 5.7.1, RFC 7798 section 4.4.2, RFC 9328 section 4.3.2
// (no DON fields; a STAP-B has its DON inside `header_len`):
//
//   +----------------+---------------+-----------------+---------------+----
//   | payload header | NALU 1 size   | NALU 1          | NALU 2 size   | ...
//   |                | (16 bits, BE) | (size bytes)    | (16 bits, BE) |
//   +----------------+---------------+-----------------+---------------+----
RTP_ERROR h26x::handle_aggregation_packet(frame::rtp_frame **out, uint8_t header_len,
                                          int rce_flags) {
    frame::rtp_frame *packet = *out;
    std::vector<std::pair<size_t, uint16_t>> units;  // offset, size
    byte_reader reader(packet->payload, packet->payload_length);
    uint16_t unit_size = 0;
    if (reader.skip(header_len)) {
        while (reader.read_u16(unit_size)) {
            if (reader.remaining() < unit_size) {
                LOG_ERROR_LIMITED(
                    aggregation_log_,
                    "The received aggregation packet claims to be larger than packet!");
                malformed_.fetch_add(1, std::memory_order_relaxed);
                return discard(out);
            }
            if (unit_size > 0) {  // an empty unit is no NAL unit
                units.emplace_back(reader.position(), unit_size);
            }
            reader.skip(unit_size);
        }
    }

    std::vector<frame_ptr> frames;
    frames.reserve(units.size());
    const bool start_code = start_code_wanted(rce_flags);
    for (const auto &unit : units) {
        size_t pos = 0;
        frames.emplace_back(
            allocate_rtp_frame_with_startcode(start_code, packet->header, unit.second, pos));
        if (!frames.back()) {
            discard(out);
            return RTP_ALLOC_FAILED;
        }
        std::memcpy(frames.back()->payload + pos, packet->payload + unit.first, unit.second);
    }
    for (frame_ptr &f : frames) {
        ready_frames_.push_back(f.get());
        f.release();
    }
    for (const auto &unit : units) {
        if (unit.second >= get_nal_header_size()) {
            end_wait_at_key_frame(rce_flags, packet->header.timestamp,
                                  get_nal_unit_class(packet->payload + unit.first));
        }
    }
    frame::dealloc_frame(packet);
    *out = nullptr;
    return RTP_FRAMES_READY;
}

bool seq_set::contains(uint16_t seq) const noexcept {
    return static_cast<uint16_t>(seq - low_) < span_ && bit(seq);
}

void seq_set::insert(uint16_t seq) {
    if (span_ == 0) {
        reserve(1);
        low_ = seq;
        span_ = 1;
        set(seq);
        return;
    }
    const uint32_t ahead = static_cast<uint16_t>(seq - low_);
    if (ahead >= span_) {
        // Outside the range: it grows on the nearer side.
        const uint32_t behind = static_cast<uint16_t>(low_ - seq);
        const uint32_t to_seq = ahead + 1;
        const uint32_t from_seq = span_ + behind;
        reserve(std::min(to_seq, from_seq));
        if (from_seq < to_seq) {
            low_ = seq;
        }
        span_ = std::min(to_seq, from_seq);
    }
    set(seq);
}

void seq_set::clear() noexcept {
    if (span_ == 0) {
        return;
    }
    // Only the words the range covers can have a bit set.
    for (uint32_t i = 0; i < span_; i += k_word_bits) {
        words_[index(static_cast<uint16_t>(low_ + i)) / k_word_bits] = 0;
    }
    words_[index(max()) / k_word_bits] = 0;
    span_ = 0;
}

// A bitmap of the next power of two that holds `span` numbers, the numbers
// held moved over to their new places.
void seq_set::reserve(uint32_t span) {
    if (span <= bits()) {
        return;
    }
    size_t size = 4 * k_word_bits;
    while (size < span) {
        size *= 2;
    }
    std::vector<uint64_t> grown(size / k_word_bits);
    for_each([&grown, size](uint16_t q) {
        const size_t i = q & (size - 1);
        grown[i / k_word_bits] |= uint64_t{1} << (i % k_word_bits);
    });
    words_.swap(grown);
}

bool dropped_timestamps::contains(uint32_t timestamp) const noexcept {
    if (count_ == 0) {
        return false;
    }
    for (size_t b = bucket_of(timestamp); used_[b]; b = (b + 1) & (k_buckets - 1)) {
        if (keys_[b] == timestamp) {
            return true;
        }
    }
    return false;
}

void dropped_timestamps::remember(uint32_t timestamp) noexcept {
    if (contains(timestamp)) {
        return;
    }
    if (count_ == k_capacity) {
        erase(order_[oldest_]);
        order_[oldest_] = timestamp;
        oldest_ = (oldest_ + 1) % k_capacity;
    } else {
        order_[(oldest_ + count_) % k_capacity] = timestamp;
        ++count_;
    }
    size_t b = bucket_of(timestamp);
    while (used_[b]) {
        b = (b + 1) & (k_buckets - 1);
    }
    keys_[b] = timestamp;
    used_[b] = true;
}

// Linear probing: the entries after the freed bucket that would no longer be
// found from their home bucket move back into the gap.
void dropped_timestamps::erase(uint32_t timestamp) noexcept {
    size_t gap = bucket_of(timestamp);
    while (used_[gap] && keys_[gap] != timestamp) {
        gap = (gap + 1) & (k_buckets - 1);
    }
    if (!used_[gap]) {
        return;
    }
    used_[gap] = false;
    for (size_t j = (gap + 1) & (k_buckets - 1); used_[j]; j = (j + 1) & (k_buckets - 1)) {
        const size_t home = bucket_of(keys_[j]);
        // Whether `home` lies cyclically in (gap, j]: then the entry stays.
        const bool stays = gap < j ? (home > gap && home <= j) : (home > gap || home <= j);
        if (!stays) {
            keys_[gap] = keys_[j];
            used_[gap] = true;
            used_[j] = false;
            gap = j;
        }
    }
}

access_unit_info *h26x::find_access_unit(uint32_t timestamp) noexcept {
    return access_units_.find(timestamp);
}

void h26x::release_access_unit(access_unit_info &au) noexcept {
    access_units_.mark_free(au);
    au.received_seqs.clear();
    au.pending = 0;
    au.delivered = false;
}

access_unit_info &h26x::initialize_new_access_unit(uint32_t timestamp) {
    access_unit_info *au = find_access_unit(timestamp);
    if (au == nullptr) {
        au = access_units_.free_record();
        if (au == nullptr) {
            // All in use: the oldest unit handed on with nothing pending goes
            // quietly; failing that, the oldest is dropped as lost.
            access_unit_info *oldest = nullptr;
            access_unit_info *oldest_quiet = nullptr;
            for (access_unit_info &candidate : access_units_.all()) {
                const auto older = [&candidate](const access_unit_info *than) {
                    return than == nullptr ||
                           clock::hrc::diff(candidate.first_arrival, than->first_arrival) < 0;
                };
                if (older(oldest)) {
                    oldest = &candidate;
                }
                if (candidate.delivered && candidate.pending == 0 && older(oldest_quiet)) {
                    oldest_quiet = &candidate;
                }
            }
            if (oldest_quiet != nullptr) {
                release_access_unit(*oldest_quiet);
                au = oldest_quiet;
            } else {
                drop_access_unit(oldest->timestamp);
                au = oldest;
            }
        }
        access_units_.mark_used(*au);
        au->timestamp = timestamp;
        au->pending = 0;
    }
    au->received_seqs.clear();
    au->delivered = false;
    au->first_arrival = now_();
    return *au;
}

fragment_ring::slot *h26x::find_fragment(uint16_t seq) noexcept {
    ++fragment_lookups_;
    return fu_fragments_.find(seq);
}

fragment_ring::slot *h26x::pending_fragment(uint16_t seq, uint32_t timestamp) noexcept {
    fragment_ring::slot *s = find_fragment(seq);
    return s != nullptr && s->frame->header.timestamp == timestamp ? s : nullptr;
}

// Pending fragments of one access unit with consecutive sequence numbers
// (modulo 65536, so a unit may span the wrap) form runs; a run never goes on
// past an end fragment or back past a start fragment, which belong to a
// neighbouring NAL unit whose loss must not be papered over. The first and
// the last fragment of a run name each other, so the fragment `seq`, just
// stored, joins the run before it and the one after it in a few lookups in
// any arrival order. Its run is [first, last]: a NAL unit once it begins
// with a start fragment and ends with an end fragment.
void h26x::join_run(uint32_t timestamp, uint16_t seq, uint16_t &first, uint16_t &last) {
    const fragment_ring::slot *at = find_fragment(seq);
    first = seq;
    last = seq;
    if (!at->is_start) {
        const fragment_ring::slot *before =
            pending_fragment(static_cast<uint16_t>(seq - 1), timestamp);
        if (before != nullptr && !before->is_end) {
            first = before->run_other_end;
        }
    }
    if (!at->is_end) {
        const fragment_ring::slot *after =
            pending_fragment(static_cast<uint16_t>(seq + 1), timestamp);
        if (after != nullptr && !after->is_start) {
            last = after->run_other_end;
        }
    }
    find_fragment(first)->run_other_end = last;
    find_fragment(last)->run_other_end = first;
}

// Frees the run that the pending fragment `seq` lies in. Each step frees a
// fragment, so the walk costs no more than storing them did.
void h26x::release_run(uint16_t seq) {
    constexpr size_t k_max_steps = 0xFFFF;  // a run of the whole ring
    const fragment_ring::slot *at = find_fragment(seq);
    const uint32_t ts = at->frame->header.timestamp;
    uint16_t first = seq;
    size_t steps = 0;
    for (const fragment_ring::slot *s = at; !s->is_start && steps < k_max_steps; ++steps) {
        const fragment_ring::slot *before = pending_fragment(static_cast<uint16_t>(first - 1), ts);
        if (before == nullptr || before->is_end) {
            break;
        }
        --first;
        s = before;
    }
    uint16_t last = seq;
    for (const fragment_ring::slot *s = at; !s->is_end && steps < k_max_steps; ++steps) {
        const fragment_ring::slot *after = pending_fragment(static_cast<uint16_t>(last + 1), ts);
        if (after == nullptr || after->is_start) {
            break;
        }
        ++last;
        s = after;
    }
    release_fragments(first, last, ts);
}

// The FU path. A NAL unit is joined as soon as its last missing fragment
// arrives, so a lost fragment costs only its own NAL unit.
RTP_ERROR h26x::handle_fragment(frame::rtp_frame **out, fragment_kind kind, int rce_flags) {
    frame::rtp_frame *packet = *out;
    const uint32_t ts = packet->header.timestamp;
    const uint16_t seq = packet->header.sequence;
    access_unit_info *found = find_access_unit(ts);
    if (found == nullptr) {
        found = &initialize_new_access_unit(ts);
    } else if (found->received_seqs.contains(seq)) {
        return discard(out);  // a copy older than the duplicate window
    }
    access_unit_info &au = *found;
    store_fragment(au, packet, kind);
    *out = nullptr;  // the table owns the packet from here

    RTP_ERROR result = RTP_SUCCESS;
    uint16_t start = 0;
    uint16_t end = 0;
    join_run(ts, seq, start, end);
    if (find_fragment(start)->is_start && find_fragment(end)->is_end) {
        result = complete_nal_unit(out, au, ts, start, end, rce_flags);
        if (result == RTP_FAILED) {
            return result;  // dropped while waiting for a key frame
        }
    }
    garbage_collect_lost_frames(rtp_ctx_ != nullptr ? rtp_ctx_->get_pkt_max_delay()
                                                    : k_default_pkt_max_delay_ms);
    return result;
}

void h26x::store_fragment(access_unit_info &au, frame::rtp_frame *packet, fragment_kind kind) {
    const uint16_t seq = packet->header.sequence;
    // Everything that can fail to allocate comes before the hand-over.
    ++fragment_lookups_;
    fragment_ring::slot &slot = fu_fragments_.claim(seq);
    au.received_seqs.insert(seq);
    if (slot.frame != nullptr) {
        const uint32_t held_ts = slot.frame->header.timestamp;
        LOG_WARN_LIMITED_AS(fragment_clash_log_, "packet_handler",
                            "Found an existing fragment with same sequence number %u! Fragment "
                            "ts: %lu, current ts: %lu",
                            unsigned{seq}, static_cast<unsigned long>(held_ts),
                            static_cast<unsigned long>(packet->header.timestamp));
        // The older unit's NAL unit loses this fragment, so the rest of its
        // run goes too; the older unit's drop must not free the new one.
        release_run(seq);
    }
    // A kept packet outlives the datagram it was parsed from.
    packet->datagram = nullptr;
    packet->datagram_size = 0;
    slot.frame = packet;
    slot.is_start = kind == FRAGMENT_FIRST;
    slot.is_end = kind == FRAGMENT_LAST;
    ++au.pending;
}

RTP_ERROR h26x::complete_nal_unit(frame::rtp_frame **out, access_unit_info &au, uint32_t ts,
                                  uint16_t start, uint16_t end, int rce_flags) {
    const auto header_len = static_cast<uint8_t>(get_payload_header_size() + get_fu_header_size());
    const size_t count = range_length(start, end);
    size_t size = 0;
    for (size_t i = 0; i < count; ++i) {
        const frame::rtp_frame *f = stored_fragment(static_cast<uint16_t>(start + i), ts);
        if (f != nullptr && f->payload_length > header_len) {
            size += f->payload_length - header_len;
        }
    }

    if ((rce_flags & RCE_H26X_RESYNC_ON_KEY_FRAME) != 0 && waiting_for_key_frame_) {
        const nal_class cls = get_nal_type(stored_fragment(start, ts));
        end_wait_at_key_frame(rce_flags, ts, cls);
        if (cls == NAL_CLASS_INTER) {
            LOG_WARN_LIMITED_AS(missing_reference_log_, "packet_handler",
                                "Dropping h26x access unit because of missing reference. "
                                "Timestamp: %lu. Seq: %u - %u",
                                static_cast<unsigned long>(ts), unsigned{au.received_seqs.min()},
                                unsigned{au.received_seqs.max()});
            drop_access_unit(ts);
            return RTP_FAILED;
        }
    }

    const RTP_ERROR rc = reconstruction(out, size, rce_flags, start, end, header_len);
    // The unit leaves the pending fragments whether it could be rebuilt or
    // not (reconstruction has released them in every case but a missing
    // start fragment).
    release_fragments(start, end, ts);
    if (rc != RTP_FRAME_READY) {
        return RTP_SUCCESS;
    }
    au.delivered = true;
    return RTP_FRAME_READY;
}

// Resync mode: a key NAL unit, whichever packet carried it, ends the wait
// for one. Only FU NAL units wait themselves.
void h26x::end_wait_at_key_frame(int rce_flags, uint32_t ts, nal_class cls) {
    if ((rce_flags & RCE_H26X_RESYNC_ON_KEY_FRAME) != 0 && waiting_for_key_frame_ &&
        cls == NAL_CLASS_INTRA) {
        LOG_INFO_AS("packet_handler", "Found a key frame at ts %lu",
                    static_cast<unsigned long>(ts));
        waiting_for_key_frame_ = false;
    }
}

RTP_ERROR h26x::reconstruction(frame::rtp_frame **out, size_t size, int rce_flags, uint16_t start,
                               uint16_t end, uint8_t header_len) {
    const fragment_ring::slot *head = find_fragment(start);
    const size_t count = range_length(start, end);
    const bool have_head = head != nullptr;
    const uint32_t ts = have_head ? head->frame->header.timestamp : 0;
    // Check the whole range before anything is freed.
    for (size_t i = 0; i < count; ++i) {
        const auto q = static_cast<uint16_t>(start + i);
        const frame::rtp_frame *f = have_head ? stored_fragment(q, ts) : nullptr;
        if (f == nullptr || f->payload_length < header_len) {
            LOG_ERROR("Missing fragment in reconstruction. Seq range: %u - %u. Missing seq %u",
                      unsigned{start}, unsigned{end}, unsigned{q});
            if (have_head) {
                release_fragments(start, end, ts);
            }
            return RTP_FAILED;
        }
    }

    size_t pos = 0;
    frame::rtp_frame *joined = allocate_rtp_frame_with_startcode(start_code_wanted(rce_flags),
                                                                 stored_fragment(end, ts)->header,
                                                                 size + get_nal_header_size(), pos);
    if (joined == nullptr) {
        release_fragments(start, end, ts);
        return RTP_ALLOC_FAILED;
    }
    get_nal_header_from_fu_headers(pos, head->frame->payload, joined->payload);
    pos += get_nal_header_size();
    for (size_t i = 0; i < count; ++i) {
        const auto q = static_cast<uint16_t>(start + i);
        const frame::rtp_frame *f = stored_fragment(q, ts);
        const size_t n = f->payload_length - header_len;
        if (n > joined->payload_length - pos) {  // `size` does not cover the range
            frame::dealloc_frame(joined);
            release_fragments(start, end, ts);
            return RTP_FAILED;
        }
        if (n > 0) {
            std::memcpy(joined->payload + pos, f->payload + header_len, n);
            pos += n;
        }
        free_fragment(q);
    }
    joined->payload_length = pos;
    *out = joined;
    return RTP_FRAME_READY;
}

void h26x::free_fragment(uint16_t seq) {
    fragment_ring::slot *s = find_fragment(seq);
    if (s == nullptr) {
        LOG_ERROR("Tried to free an already freed fragment with seq: %u", unsigned{seq});
        return;
    }
    access_unit_info *owner = find_access_unit(s->frame->header.timestamp);
    if (owner != nullptr && owner->pending > 0) {
        --owner->pending;
    }
    frame::dealloc_frame(s->frame);
    s->frame = nullptr;
}

frame::rtp_frame *h26x::stored_fragment(uint16_t seq, uint32_t timestamp) noexcept {
    const fragment_ring::slot *s = pending_fragment(seq, timestamp);
    return s != nullptr ? s->frame : nullptr;
}

void h26x::release_fragments(uint16_t start, uint16_t end, uint32_t timestamp) {
    const size_t count = range_length(start, end);
    for (size_t i = 0; i < count; ++i) {
        const auto q = static_cast<uint16_t>(start + i);
        if (stored_fragment(q, timestamp) != nullptr) {
            free_fragment(q);
        }
    }
}

void h26x::drop_access_unit(uint32_t timestamp) {
    access_unit_info *au = find_access_unit(timestamp);
    if (au == nullptr) {
        LOG_ERROR("Tried to drop a non-existing frame");
        return;
    }
    discarded_incomplete_.fetch_add(1, std::memory_order_relaxed);
    waiting_for_key_frame_ = true;
    // Every pending fragment was received.
    au->received_seqs.for_each([this, au, timestamp](uint16_t q) {
        if (au->pending > 0 && stored_fragment(q, timestamp) != nullptr) {
            free_fragment(q);
        }
    });
    release_access_unit(*au);
    remember_dropped(timestamp);
}

// Later packets of a dropped access unit are discarded; the memory keeps the
// last 600 drops.
void h26x::remember_dropped(uint32_t timestamp) {
    dropped_timestamps_.remember(timestamp);
}

void h26x::garbage_collect_lost_frames(size_t max_delay_ms) {
    const clock::hrc::hrc_t now = now_();
    if (clock::hrc::diff(now, last_gc_time_) < k_gc_interval_ms) {
        return;
    }
    last_gc_time_ = now;
    for (access_unit_info &au : access_units_.all()) {
        if (!au.in_use) {
            continue;
        }
        const int64_t age = clock::hrc::diff(now, au.first_arrival);
        if (age <= 0 || static_cast<uint64_t>(age) <= max_delay_ms) {
            continue;
        }
        if (au.delivered && au.pending == 0) {
            // Handed on, nothing of it left waiting: no loss to remember and
            // no reason to wait for a key frame.
            release_access_unit(au);
        } else {
            drop_access_unit(au.timestamp);
        }
    }
}

bool h26x::start_code_wanted(int rce_flags) const {
    if ((rce_flags & RCE_H26X_OMIT_START_CODE) != 0) {
        return false;
    }
    return rtp_ctx_ == nullptr || rtp_ctx_->get_payload() != FMT_V3C;
}

frame::rtp_frame *h26x::allocate_rtp_frame_with_startcode(bool add_start_code,
                                                          frame::rtp_header &header, size_t size,
                                                          size_t &write_pos) {
    return alloc_frame_with_start_code(add_start_code ? k_long_start_code_len : 0, header, size,
                                       write_pos);
}

void h26x::prepend_start_code(int rce_flags, frame::rtp_frame **frame) {
    if (frame != nullptr && start_code_wanted(rce_flags)) {
        prepend_start_code_bytes(*frame, k_long_start_code_len);
    }
}

}  // namespace formats
}  // namespace tessal
