#include "formats/media.hh"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

// Logged as push_media_frame's own warning, where the frame was refused
// fragmentation.
void warn_if_oversize(size_t data_len, size_t max) {
    if (data_len > max) {
        LOG_WARN_AS("push_media_frame",
                    "Packet is larger (%zu bytes) than maximum payload size (%zu bytes)", data_len,
                    max);
        LOG_WARN_AS("push_media_frame", "Consider using RCE_FRAGMENT_GENERIC!");
    }
}

__extension__ typedef unsigned __int128 wide_uint;

constexpr uint16_t k_key_origin = 0x8000;

// The fragment's serial distance from the record's anchor, moved up by
// half the sequence space so that packets before the anchor sort first.
uint32_t sort_key(uint16_t anchor, uint16_t seq) {
    return static_cast<uint16_t>(seq - anchor + k_key_origin);
}

uint16_t key_to_seq(uint16_t anchor, uint32_t key) {
    return static_cast<uint16_t>(anchor + key - k_key_origin);
}

// The record's fragment of sort key `key`, or null.
fragment_ring::slot *fragment_at(media_frame_table &table, const media_info &record,
                                 uint32_t key) noexcept {
    fragment_ring::slot *s = table.fragments.find(key_to_seq(record.anchor, key));
    return s != nullptr && s->frame->header.timestamp == record.timestamp ? s : nullptr;
}

// Releases the record's fragments and frees the record.
void release_record(media_frame_table &table, media_info &record) noexcept {
    uint64_t left = record.received_count;
    for (uint32_t key = record.first_key; left > 0 && key <= record.last_key; ++key) {
        if (fragment_ring::slot *s = fragment_at(table, record, key)) {
            frame::dealloc_frame(s->frame);
            s->frame = nullptr;
            --left;
        }
    }
    table.frames.mark_free(record);
}

// Releases a record that never completed, and counts it.
void discard_record(media_frame_table &table, media_info &record) noexcept {
    table.discarded_frames.fetch_add(1, std::memory_order_relaxed);
    release_record(table, record);
}

int64_t delay_limit_ms(const media_frame_table &table) {
    const size_t limit =
        table.rtp_ctx != nullptr ? table.rtp_ctx->get_pkt_max_delay() : k_default_pkt_max_delay_ms;
    return static_cast<int64_t>(
        std::min<size_t>(limit, static_cast<size_t>(std::numeric_limits<int64_t>::max())));
}

// Releases the records that stayed incomplete for longer than the stream's
// packet delay limit; the table is looked through at most every 100 ms.
void expire_stale(media_frame_table &table) {
    const clock::hrc::hrc_t now = table.now();
    if (clock::hrc::diff(now, table.last_scan) < k_expiry_scan_interval_ms) {
        return;
    }
    table.last_scan = now;
    const int64_t limit = delay_limit_ms(table);
    for (media_info &record : table.frames.all()) {
        if (record.in_use && clock::hrc::diff(now, record.first_seen) > limit) {
            discard_record(table, record);
        }
    }
}

// A kept fragment outlives its datagram, which lives in the reception ring
// only while the handlers run.
void forget_datagram(frame::rtp_frame *packet) {
    packet->datagram = nullptr;
    packet->datagram_size = 0;
}

// An empty record for `timestamp`, anchored at `seq`. When every record is in
// use, the one opened earliest is released first, as expiry releases it.
media_info &open_record(media_frame_table &table, uint32_t timestamp, uint16_t seq) {
    media_info *record = table.frames.free_record();
    if (record == nullptr) {
        media_info *oldest = nullptr;
        for (media_info &r : table.frames.all()) {
            if (oldest == nullptr || clock::hrc::diff(r.first_seen, oldest->first_seen) < 0) {
                oldest = &r;
            }
        }
        discard_record(table, *oldest);
        record = oldest;
    }
    *record = media_info{};
    record->timestamp = timestamp;
    record->anchor = seq;
    record->start_seq = seq;
    record->end_seq = k_no_end_seq;
    record->first_seen = table.now();
    table.frames.mark_used(*record);
    return *record;
}

// Stores `packet` in `record`, in `slot`, the ring's slot for its sequence
// number. A repeated fragment replaces the stored copy and is not counted
// again. A fragment with the same sequence number held for another frame
// (65536 packets back, or a peer that reuses numbers) leaves that frame
// incomplete for good: its record is released at once, as expiry would.
void store_fragment(media_frame_table &table, media_info &record, fragment_ring::slot &slot,
                    frame::rtp_frame *packet) noexcept {
    const uint16_t seq = packet->header.sequence;
    if (slot.frame != nullptr && slot.frame->header.timestamp != record.timestamp) {
        media_info *owner = table.frames.find(slot.frame->header.timestamp);
        if (owner != nullptr) {
            discard_record(table, *owner);
        }
        if (slot.frame != nullptr) {  // a fragment of no record
            frame::dealloc_frame(slot.frame);
            slot.frame = nullptr;
        }
    }
    const uint32_t key = sort_key(record.anchor, seq);
    if (slot.frame != nullptr) {
        record.total_size -= slot.frame->payload_length;
        frame::dealloc_frame(slot.frame);
    } else if (record.received_count++ == 0) {
        record.first_key = key;
        record.last_key = key;
    }
    slot.frame = packet;
    record.total_size += packet->payload_length;
    record.first_key = std::min(record.first_key, key);
    record.last_key = std::max(record.last_key, key);
    record.start_seq = key_to_seq(record.anchor, record.first_key);
    if (packet->header.marker) {
        record.end_seq = seq;
    }
}

// The run is complete when the marked fragment is the last one held and no
// sequence number between the earliest fragment and it is missing.
bool is_complete(const media_info &record) {
    if (record.end_seq == k_no_end_seq || record.received_count == 0) {
        return false;
    }
    const uint32_t end_key = sort_key(record.anchor, static_cast<uint16_t>(record.end_seq));
    // Keys are distinct, so as many fragments as keys in [first, end] means
    // none is missing.
    return record.last_key == end_key &&
           record.received_count == uint64_t{end_key - record.first_key} + 1;
}

// One frame carrying `header` and the fragments' payloads in sequence order.
// Null when memory runs out.
frame::rtp_frame *join_fragments(media_frame_table &table, const media_info &record,
                                 const frame::rtp_header &header) noexcept {
    frame::rtp_frame *joined = frame::alloc_rtp_frame(static_cast<size_t>(record.total_size));
    if (joined == nullptr) {
        return nullptr;
    }
    joined->header = header;
    size_t offset = 0;
    for (uint32_t key = record.first_key; key <= record.last_key; ++key) {
        const frame::rtp_frame *fragment = fragment_at(table, record, key)->frame;
        if (fragment->payload_length > 0) {
            std::memcpy(joined->payload + offset, fragment->payload, fragment->payload_length);
            offset += fragment->payload_length;
        }
    }
    return joined;
}

void remember(media_frame_table &table, const frame::rtp_frame *packet) {
    const uint16_t seq = packet->header.sequence;
    const bool marker = packet->header.marker != 0;
    table.seen[seq % media_frame_table::k_seen_slots] = {packet->header.timestamp, seq, marker,
                                                         true};
    table.fragmenting = table.fragmenting || !marker;
}

// Whether the packet seen as `prev` ends the frame before a packet of
// `timestamp`: RFC 3550 section 5.1, its marker bit flags the last packet of
// a frame; a packet of another timestamp belongs to another frame.
bool ends_frame_before(const seen_packet &prev, uint32_t timestamp) {
    return prev.marker || prev.timestamp != timestamp;
}

// Whether a run of `timestamp` whose earliest fragment is `start` is known
// to begin there (see media_frame_table). Nothing seen before it proves
// nothing: the stream may have been joined in the middle of the frame.
bool starts_frame(const media_frame_table &table, uint16_t start, uint32_t timestamp) {
    const uint16_t before = static_cast<uint16_t>(start - 1);
    const seen_packet &prev = table.seen[before % media_frame_table::k_seen_slots];
    return prev.valid && prev.seq == before && ends_frame_before(prev, timestamp);
}

// A repeat or late copy of a fragment of a frame already delivered.
bool is_finished(const media_frame_table &table, uint32_t timestamp, uint16_t seq) {
    for (const finished_frame &f : table.finished) {
        if (f.valid && f.timestamp == timestamp &&
            static_cast<uint16_t>(seq - f.start_seq) <=
                static_cast<uint16_t>(f.end_seq - f.start_seq)) {
            return true;
        }
    }
    return false;
}

void note_finished(media_frame_table &table, uint32_t timestamp, uint16_t start, uint16_t end) {
    table.finished[table.finished_next] = {timestamp, start, end, true};
    table.finished_next = (table.finished_next + 1) % media_frame_table::k_finished_slots;
}

// Joins the record of `timestamp` into table.ready when its run is complete
// and known to start at its earliest fragment. False when memory ran out.
bool complete_record(media_frame_table &table, uint32_t timestamp) {
    media_info *found = table.frames.find(timestamp);
    if (found == nullptr) {
        return true;
    }
    media_info &record = *found;
    if (!is_complete(record) ||
        !(record.start_known ||
          starts_frame(table, static_cast<uint16_t>(record.start_seq), timestamp))) {
        return true;
    }
    // The frame carries the header of the marked fragment.
    frame::rtp_frame *joined =
        join_fragments(table, record, fragment_at(table, record, record.last_key)->frame->header);
    note_finished(table, timestamp, static_cast<uint16_t>(record.start_seq),
                  static_cast<uint16_t>(record.end_seq));
    release_record(table, record);
    if (joined == nullptr) {
        return false;
    }
    table.ready.push_back(joined);
    return true;
}

RTP_ERROR reassemble(media_frame_table &table, frame::rtp_frame **out) {
    expire_stale(table);
    frame::rtp_frame *packet = *out;
    const uint32_t timestamp = packet->header.timestamp;
    const uint16_t seq = packet->header.sequence;
    remember(table, packet);
    if (is_finished(table, timestamp, seq)) {
        // A repeat, or a late copy, of a fragment of a frame delivered: the
        // network may do that, and the frame must not arrive twice.
        table.duplicates.fetch_add(1, std::memory_order_relaxed);
        frame::dealloc_frame(packet);
        *out = nullptr;
        return RTP_SUCCESS;
    }
    media_info *found = table.frames.find(timestamp);
    if (found == nullptr && packet->header.marker &&
        (!table.fragmenting || starts_frame(table, seq, timestamp))) {
        note_finished(table, timestamp, seq, seq);
        table.ready.push_back(packet);  // a frame of one packet
    } else {
        forget_datagram(packet);
        // The one step that may fail to allocate, before the table takes the
        // packet: a failure leaves it with the caller.
        fragment_ring::slot &slot = table.fragments.claim(seq);
        if (found == nullptr) {
            media_info &record = open_record(table, timestamp, seq);
            store_fragment(table, record, slot, packet);
            record.start_known = starts_frame(table, seq, timestamp);
        } else {
            const uint32_t old_start = found->start_seq;
            store_fragment(table, *found, slot, packet);
            if (found->start_seq != old_start) {
                found->start_known = starts_frame(table, seq, timestamp);
            }
        }
    }
    *out = nullptr;
    // The packet may complete its own frame, and be the one before the
    // earliest fragment of a complete run of another.
    bool ok = complete_record(table, timestamp);
    const seen_packet &here = table.seen[seq % media_frame_table::k_seen_slots];
    const seen_packet &next =
        table.seen[static_cast<uint16_t>(seq + 1) % media_frame_table::k_seen_slots];
    if (next.valid && next.seq == static_cast<uint16_t>(seq + 1) &&
        ends_frame_before(here, next.timestamp)) {
        media_info *held = table.frames.find(next.timestamp);
        if (held != nullptr && held->start_seq == next.seq) {
            held->start_known = true;
        }
        ok = complete_record(table, next.timestamp) && ok;
    }
    if (table.ready.size() == 1) {
        *out = table.ready.front();
        table.ready.pop_front();
        return RTP_FRAME_READY;
    }
    if (!table.ready.empty()) {
        return RTP_FRAMES_READY;
    }
    return ok ? RTP_SUCCESS : RTP_ALLOC_FAILED;
}

// RFC 3550 section 5.1: the marker bit flags the last packet of a frame.
RTP_ERROR enqueue_fragments(frame_queue &queue, uint8_t *data, size_t data_len, size_t max) {
    size_t offset = 0;
    while (data_len - offset > max) {
        const RTP_ERROR rc = queue.enqueue_message(data + offset, max, false);
        if (rc != RTP_SUCCESS) {
            return rc;
        }
        offset += max;
    }
    return queue.enqueue_message(data + offset, data_len - offset, true);
}

// denominator/numerator seconds in whole nanoseconds, truncated (30000/1001
// gives 33 366 666 ns), saturated at the largest duration.
std::chrono::nanoseconds frame_interval(int64_t numerator, int64_t denominator) {
    const wide_uint ns =
        static_cast<wide_uint>(denominator) * 1'000'000'000u / static_cast<wide_uint>(numerator);
    const wide_uint max = static_cast<wide_uint>(std::numeric_limits<int64_t>::max());
    return std::chrono::nanoseconds(static_cast<int64_t>(std::min(ns, max)));
}

}  // namespace

void frame_fifo::push_back(frame::rtp_frame *f) {
    if (count_ == slots_.size()) {
        std::vector<frame::rtp_frame *> grown(std::max<size_t>(16, 2 * slots_.size()));
        for (size_t i = 0; i < count_; ++i) {
            grown[i] = (*this)[i];
        }
        slots_.swap(grown);
        head_ = 0;
    }
    slots_[(head_ + count_) & (slots_.size() - 1)] = f;
    ++count_;
}

void frame_fifo::pop_front() noexcept {
    head_ = (head_ + 1) & (slots_.size() - 1);
    --count_;
}

fragment_ring::slot &fragment_ring::claim(uint16_t seq) {
    if (slots_.empty()) {
        slots_.resize(k_initial_slots);
    }
    for (;;) {
        slot &s = slots_[seq & (slots_.size() - 1)];
        if (s.frame == nullptr || s.frame->header.sequence == seq || slots_.size() == k_max_slots) {
            return s;
        }
        grow();
    }
}

// Two numbers that differ modulo the old size differ modulo the new one too,
// so the fragments held move over without meeting.
void fragment_ring::grow() {
    std::vector<slot> grown(2 * slots_.size());
    for (const slot &s : slots_) {
        if (s.frame != nullptr) {
            grown[s.frame->header.sequence & (grown.size() - 1)] = s;
        }
    }
    slots_.swap(grown);
}

media_frame_table::~media_frame_table() {
    fragments.for_each([](fragment_ring::slot &s) { frame::dealloc_frame(s.frame); });
    while (!ready.empty()) {
        frame::dealloc_frame(ready.front());
        ready.pop_front();
    }
}

media::media(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : sink_(std::move(sink)),
      rtp_ctx_(std::move(rtp_ctx)),
      rce_flags_(rce_flags),
      fqueue_(std::make_unique<frame_queue>(sink_, rtp_ctx_, rce_flags_)),
      media_frame_info_(std::make_unique<media_frame_table>()) {
    media_frame_info_->rtp_ctx = rtp_ctx_.get();
}

media::~media() = default;

RTP_ERROR media::push_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data, size_t data_len,
                            int rtp_flags, uint32_t ssrc) noexcept {
    if (data == nullptr || data_len == 0) {
        return RTP_BAD_ARGUMENT;
    }
    return push_media_frame(addr, addr6, data, data_len, rtp_flags, ssrc);
}

RTP_ERROR media::push_frame(sockaddr_in &addr, sockaddr_in6 &addr6, std::unique_ptr<uint8_t[]> data,
                            size_t data_len, int rtp_flags, uint32_t ssrc) noexcept {
    // `data` is released when this returns, after the queue has sent it.
    return push_frame(addr, addr6, data.get(), data_len, rtp_flags, ssrc);
}

void *media::get_media_frame_info() noexcept {
    return media_frame_info_.get();
}

RTP_ERROR media::frame_getter(frame::rtp_frame **out) noexcept {
    if (out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (media_frame_info_->ready.empty()) {
        return RTP_NO_SUCH_ITEM;
    }
    *out = media_frame_info_->ready.front();
    media_frame_info_->ready.pop_front();
    return RTP_FRAME_READY;
}

uint64_t media::frames_discarded_incomplete() const noexcept {
    return media_frame_info_->discarded_frames.load(std::memory_order_relaxed);
}

uint64_t media::duplicates_dropped() const noexcept {
    return media_frame_info_->duplicates.load(std::memory_order_relaxed);
}

RTP_ERROR media::push_media_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                                  size_t data_len, int, uint32_t ssrc) {
    const size_t payload_size = rtp_ctx_->get_payload_size();
    const bool fragments = (rce_flags_ & RCE_FRAGMENT_GENERIC) != 0;
    if ((!fragments || data_len <= payload_size) && fqueue_->can_send_single()) {
        // One packet, the common case of audio: no transaction needed.
        // Marked with RCE_FRAGMENT_GENERIC, so a reassembling receiver sees a
        // complete frame of one packet.
        warn_if_oversize(data_len, payload_size);
        return fqueue_->send_single(data, data_len, fragments, addr, addr6, ssrc);
    }
    RTP_ERROR rc = fqueue_->init_transaction(data, false);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Invalid frame queue or failed to initialize transaction!");
        return rc;
    }
    if (fragments && data_len > payload_size) {
        rc = enqueue_fragments(*fqueue_, data, data_len, payload_size);
        if (rc != RTP_SUCCESS) {
            LOG_ERROR("Failed to enqueue packet when fragmenting generic frame");
            fqueue_->deinit_transaction();
            return rc;
        }
    } else {
        warn_if_oversize(data_len, payload_size);
        // Marked with RCE_FRAGMENT_GENERIC, so a reassembling receiver sees a
        // complete frame of one packet.
        rc = fqueue_->enqueue_message(data, data_len, fragments);
        if (rc != RTP_SUCCESS) {
            LOG_ERROR("Failed to enqueue message: %d", static_cast<int>(rc));
            fqueue_->deinit_transaction();
            return rc;
        }
    }
    return fqueue_->flush_queue(addr, addr6, ssrc);
}

RTP_ERROR media::packet_handler(void *arg, int rce_flags, uint8_t *, size_t,
                                frame::rtp_frame **out) noexcept {
    if (out == nullptr || *out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (!(rce_flags & RCE_FRAGMENT_GENERIC)) {
        return RTP_FRAME_READY;
    }
    if (arg == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        return reassemble(*static_cast<media_frame_table *>(arg), out);
    } catch (const std::bad_alloc &) {
        return RTP_ALLOC_FAILED;
    }
}

void media::set_fps(int64_t numerator, int64_t denominator) noexcept {
    const bool on = numerator > 0 && denominator > 0;
    std::optional<std::chrono::nanoseconds> interval;
    if (on) {
        interval = frame_interval(numerator, denominator);
    }
    fqueue_->set_frame_rate(on, interval, (rce_flags_ & RCE_PACE_FRAMES) != 0);
}

void media::collect_hot_lines(hot_lines &out) const {
    // The object's head: its vtable pointer and the send-side fields.
    out.add_between(this, &fqueue_ + 1);
    if (fqueue_) {
        fqueue_->collect_hot_lines(out);
    }
}

void media::set_pace(int64_t numerator, int64_t denominator) noexcept {
    fqueue_->set_pacing(numerator, denominator);
}

}  // namespace formats
}  // namespace tessal
