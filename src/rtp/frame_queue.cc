#include "rtp/frame_queue.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <utility>

#include "util/log.hh"

namespace tessal {

namespace {

using std::chrono::nanoseconds;

__extension__ typedef __int128 wide_int;

// Far beyond any sensible pacing delay, and far enough from the limits of
// nanoseconds and of steady-clock time points that sums cannot overflow.
constexpr int64_t k_max_delay_ns = std::numeric_limits<int64_t>::max() / 4;

constexpr uint8_t k_marker_bit = 0x80;

void real_sleep(nanoseconds delay) {
    std::this_thread::sleep_for(delay);
}

int64_t saturate(wide_int value) {
    return static_cast<int64_t>(std::clamp<wide_int>(value, -k_max_delay_ns, k_max_delay_ns));
}

// d × k, saturated.
nanoseconds scaled(nanoseconds d, uint64_t k) {
    return nanoseconds(saturate(static_cast<wide_int>(d.count()) * k));
}

// Payload header plus the start, middle and end FU headers
// (RFC 6184 section 5.8, RFC 7798 section 4.4.3, RFC 9328).
size_t media_header_size(RTP_FORMAT format) {
    switch (format) {
        case FMT_H264:
            return 4;
        case FMT_H265:
        case FMT_H266:
        case FMT_V3C:
            return 5;
        default:
            return 0;
    }
}

void mark_packet(const buffer_vector &packet) {
    const auto &header = packet.front();
    if (header.first >= 2 && header.second != nullptr) {
        header.second[1] |= k_marker_bit;
    }
}

// RFC 3550 section 5.1 leaves the marker to the profile: a frame of several
// packets marks its last one; a single packet keeps what its enqueue gave it.
void mark_frame_end(packet_vector &packets) {
    if (packets.size() < 2) {
        return;
    }
    mark_packet(packets.back());
}

std::unique_ptr<uint8_t[]> new_block(size_t bytes, bool zeroed) {
    return std::unique_ptr<uint8_t[]>(zeroed ? new uint8_t[bytes]() : new uint8_t[bytes]);
}

// Slot `index` of a list of fixed-size blocks, adding blocks as needed.
// Existing blocks never move.
uint8_t *block_slot(std::vector<std::unique_ptr<uint8_t[]>> &blocks, size_t index, size_t slot_size,
                    bool zeroed) {
    const size_t block = index / k_max_queue_size;
    while (blocks.size() <= block) {
        blocks.push_back(new_block(k_max_queue_size * slot_size, zeroed));
    }
    return blocks[block].get() + (index % k_max_queue_size) * slot_size;
}

RTP_ERROR out_of_memory(const char *function) {
    LOG_ERROR_AS(function, "Out of memory");
    return RTP_ALLOC_FAILED;
}

}  // namespace

frame_queue::frame_queue(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp,
                         int rce_flags)
    : rtp_(std::move(rtp)),
      sink_(std::move(sink)),
      rce_flags_(rce_flags),
      tag_slot_((rce_flags & RCE_SRTP_STANDARD)   ? k_standard_tag_slot
                : (rce_flags & RCE_SRTP_AUTH_TAG) ? k_auth_tag_size
                                                  : 0),
      now_(clock::hrc::now),
      sleep_(real_sleep) {
    // Whether a frame of one packet can skip the transaction is fixed with
    // the stream: its flags, its tag slot and its format.
    try {
        single_.resize(1);
        single_.front().reserve(4);  // room for what a send handler may add
        single_offered_ = rtp_ && sink_ && tag_slot_ == 0 &&
                          !(rce_flags_ & (RCE_PACE_FRAMES | RCE_PACE_FRAGMENTS)) &&
                          media_header_size(rtp_->get_payload()) == 0;
    } catch (const std::bad_alloc &) {
        single_.clear();  // send_single is then not offered
    }
}

frame_queue::~frame_queue() {
    end_transaction();
}

RTP_ERROR frame_queue::init_transaction(bool reuse_last_timestamp) noexcept {
    return start_transaction(reuse_last_timestamp, nullptr, nullptr);
}

RTP_ERROR frame_queue::init_transaction(uint8_t *frame, bool reuse_last_timestamp) noexcept {
    if (frame == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return start_transaction(reuse_last_timestamp, nullptr, frame);
}

RTP_ERROR frame_queue::init_transaction(std::unique_ptr<uint8_t[]> frame,
                                        bool reuse_last_timestamp) noexcept {
    if (!frame) {
        return RTP_BAD_ARGUMENT;
    }
    return start_transaction(reuse_last_timestamp, std::move(frame), nullptr);
}

RTP_ERROR frame_queue::start_transaction(bool reuse_last_timestamp,
                                         std::unique_ptr<uint8_t[]> owned,
                                         uint8_t *frame) noexcept {
    end_transaction();
    if (!rtp_ || !sink_) {
        LOG_ERROR_AS("init_transaction", "Send queue has no socket or RTP state");
        return RTP_UNINITIALIZED;
    }
    try {
        // The last transaction's record and blocks are reused: a stream that
        // keeps pushing allocates nothing here once warmed up.
        std::unique_ptr<transaction> t =
            spare_transaction_ ? std::move(spare_transaction_) : std::make_unique<transaction>();
        t->packets = std::move(spare_packets_);
        block_slot(t->header_blocks, 0, k_rtp_header_size, false);
        if (tag_slot_ > 0) {
            // Zeroed: a tag slot no handler writes must not leak old memory
            // (a reused slot holds a tag this stream sent already).
            block_slot(t->tag_blocks, 0, tag_slot_, true);
        }
        if (const size_t size = media_header_size(rtp_->get_payload()); size > 0) {
            if (!t->media_headers || t->media_headers_size != size) {
                t->media_headers = new_block(size, true);
                t->media_headers_size = size;
            }
        }
        t->owned_frame = std::move(owned);
        t->frame_data = frame;
        t->dealloc_hook = dealloc_hook_;
        rtp_->fill_header(t->common_header, reuse_last_timestamp);
        active_ = std::move(t);
    } catch (const std::bad_alloc &) {
        return out_of_memory("init_transaction");
    }
    return RTP_SUCCESS;
}

void frame_queue::end_transaction() noexcept {
    if (!active_) {
        return;
    }
    // Keep the emptied piece lists and the packet list for the next
    // transactions, up to one block's worth.
    packet_vector &packets = active_->packets;
    const size_t wanted = std::min(spare_pieces_.size() + packets.size(), k_max_queue_size);
    if (spare_pieces_.capacity() < wanted) {
        try {
            spare_pieces_.reserve(wanted);
        } catch (const std::bad_alloc &) {
            // Without room the lists are simply not kept.
        }
    }
    for (buffer_vector &pieces : packets) {
        if (spare_pieces_.size() >= std::min(spare_pieces_.capacity(), k_max_queue_size)) {
            break;
        }
        pieces.clear();
        spare_pieces_.push_back(std::move(pieces));
    }
    packets.clear();
    if (packets.capacity() <= k_max_queue_size) {
        spare_packets_ = std::move(packets);
    }
    // What belongs to the frame goes now; the record and its blocks stay.
    transaction &t = *active_;
    t.buffers.clear();
    t.headers_used = 0;
    t.tags_used = 0;
    t.owned_frame.reset();
    t.frame_data = nullptr;
    // Copy blocks are kept for the next frames, up to a bound.
    size_t kept = 0;
    size_t blocks = 0;
    while (blocks < t.owned_copies.size() && kept + t.copy_sizes[blocks] <= k_kept_copy_bytes) {
        kept += t.copy_sizes[blocks];
        ++blocks;
    }
    t.owned_copies.resize(blocks);
    t.copy_sizes.resize(blocks);
    t.copy_block = 0;
    t.copy_used = 0;
    t.dealloc_hook = nullptr;
    std::memset(t.common_header, 0, sizeof(t.common_header));
    spare_transaction_ = std::move(active_);
}

uint8_t *frame_queue::copy_space(size_t bytes) {
    transaction &t = *active_;
    for (; t.copy_block < t.owned_copies.size(); ++t.copy_block, t.copy_used = 0) {
        if (t.copy_used + bytes <= t.copy_sizes[t.copy_block]) {
            uint8_t *p = t.owned_copies[t.copy_block].get() + t.copy_used;
            t.copy_used += bytes;
            return p;
        }
    }
    const size_t size = std::max(k_copy_block_bytes, bytes);
    t.owned_copies.push_back(new_block(size, false));
    t.copy_sizes.push_back(size);
    t.copy_block = t.owned_copies.size() - 1;
    t.copy_used = bytes;
    return t.owned_copies.back().get();
}

RTP_ERROR frame_queue::no_transaction(const char *function) noexcept {
    LOG_ERROR_AS(function, "No active transaction");
    return RTP_BAD_ARGUMENT;
}

uint8_t *frame_queue::stamp_next_header() {
    uint8_t *slot =
        block_slot(active_->header_blocks, active_->headers_used, k_rtp_header_size, false);
    std::memcpy(slot, active_->common_header, k_rtp_header_size);
    rtp_->update_sequence(slot);
    return slot;
}

uint8_t *frame_queue::take_header_slot() {
    uint8_t *slot = stamp_next_header();
    ++active_->headers_used;
    return slot;
}

buffer_vector frame_queue::take_pieces() {
    if (spare_pieces_.empty()) {
        buffer_vector pieces;
        pieces.reserve(4);
        return pieces;
    }
    buffer_vector pieces = std::move(spare_pieces_.back());
    spare_pieces_.pop_back();
    return pieces;
}

RTP_ERROR frame_queue::finalize(buffer_vector &&packet) {
    if (tag_slot_ > 0) {
        uint8_t *tag = block_slot(active_->tag_blocks, active_->tags_used, tag_slot_, true);
        ++active_->tags_used;
        packet.emplace_back(tag_slot_, tag);
    }
    active_->packets.push_back(std::move(packet));
    rtp_->inc_sequence();
    rtp_->inc_sent_pkts();
    return RTP_SUCCESS;
}

RTP_ERROR frame_queue::enqueue_message(uint8_t *data, size_t length, bool marker) noexcept {
    if (data == nullptr || length == 0) {
        LOG_ERROR("Tried to enqueue invalid message");
        return RTP_BAD_ARGUMENT;
    }
    if (!active_) {
        return no_transaction(__func__);
    }
    try {
        uint8_t *header = take_header_slot();
        if (marker) {
            header[1] |= k_marker_bit;
        }
        buffer_vector packet = take_pieces();
        packet.emplace_back(k_rtp_header_size, header);
        packet.emplace_back(length, data);
        return finalize(std::move(packet));
    } catch (const std::bad_alloc &) {
        return out_of_memory(__func__);
    }
}

RTP_ERROR frame_queue::enqueue_message(uint8_t *data, size_t length) noexcept {
    return enqueue_message(data, length, false);
}

RTP_ERROR frame_queue::enqueue_message(buffer_vector &pieces) noexcept {
    if (pieces.empty()) {
        LOG_ERROR("Tried to enqueue an empty buffer");
        return RTP_BAD_ARGUMENT;
    }
    for (const auto &piece : pieces) {
        if (piece.second == nullptr && piece.first > 0) {
            LOG_ERROR("Tried to enqueue invalid message");
            return RTP_BAD_ARGUMENT;
        }
    }
    if (!active_) {
        return no_transaction(__func__);
    }
    try {
        uint8_t *header = take_header_slot();
        buffer_vector packet = take_pieces();
        packet.emplace_back(k_rtp_header_size, header);
        // The SRTP send handler encrypts exactly one payload piece in place
        // (RFC 3711 section 3.1: the payload is the encrypted portion), so several pieces are
        // joined into a copy; shared pieces such as FU headers and the caller's frame then stay in
        // the clear.
        const bool join =
            (rce_flags_ & RCE_SRTP) && !(rce_flags_ & RCE_SRTP_NO_ENCRYPTION) && pieces.size() > 1;
        if (join) {
            size_t total = 0;
            for (const auto &piece : pieces) {
                total += piece.first;
            }
            uint8_t *copy = copy_space(total);
            size_t offset = 0;
            for (const auto &piece : pieces) {
                if (piece.first > 0) {
                    std::memcpy(copy + offset, piece.second, piece.first);
                    offset += piece.first;
                }
            }
            packet.emplace_back(total, copy);
        } else {
            packet.insert(packet.end(), pieces.begin(), pieces.end());
        }
        return finalize(std::move(packet));
    } catch (const std::bad_alloc &) {
        return out_of_memory(__func__);
    }
}

RTP_ERROR frame_queue::enqueue_finalize(buffer_vector &packet) noexcept {
    if (packet.empty()) {
        LOG_ERROR("Tried to enqueue an empty buffer");
        return RTP_BAD_ARGUMENT;
    }
    if (!active_) {
        return no_transaction(__func__);
    }
    try {
        buffer_vector copy = take_pieces();
        copy.assign(packet.begin(), packet.end());
        return finalize(std::move(copy));
    } catch (const std::bad_alloc &) {
        return out_of_memory(__func__);
    }
}

RTP_ERROR frame_queue::update_rtp_header() noexcept {
    if (!active_) {
        return no_transaction(__func__);
    }
    try {
        stamp_next_header();
    } catch (const std::bad_alloc &) {
        return out_of_memory(__func__);
    }
    return RTP_SUCCESS;
}

RTP_ERROR frame_queue::flush_queue(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc) noexcept {
    if (!active_) {
        return no_transaction(__func__);
    }
    packet_vector &packets = active_->packets;
    if (packets.empty()) {
        LOG_ERROR("Cannot send an empty packet!");
        end_transaction();
        return RTP_BAD_ARGUMENT;
    }
    if (auto_marker_) {
        mark_frame_end(packets);
    }

    RTP_ERROR rc = RTP_SUCCESS;
    try {
        clock::hrc::hrc_t now = now_();
        if (rce_flags_ & RCE_PACE_FRAMES) {
            now = pace_frame(now);
        }
        std::optional<nanoseconds> gap;
        if (rce_flags_ & RCE_PACE_FRAGMENTS) {
            gap = fragment_gap(packets.size());
        }
        rc = gap ? send_spread(to4, to6, ssrc, now, *gap) : send_batched(to4, to6, ssrc);
    } catch (const std::bad_alloc &) {
        rc = out_of_memory(__func__);
    }
    end_transaction();
    return rc;
}

RTP_ERROR frame_queue::send_single(uint8_t *data, size_t length, bool marker, sockaddr_in &to4,
                                   sockaddr_in6 &to6, uint32_t ssrc) noexcept {
    if (!single_offered_) {
        return RTP_BAD_ARGUMENT;
    }
    end_transaction();
    if (data == nullptr || length == 0) {
        LOG_ERROR("Tried to enqueue invalid message");
        return RTP_BAD_ARGUMENT;
    }
    // The steps of the transaction path, in its order: header template,
    // sequence number, marker, then the counters, then the send.
    rtp_->fill_header(single_header_, false);
    rtp_->update_sequence(single_header_);
    if (marker) {
        single_header_[1] |= k_marker_bit;
    }
    buffer_vector &packet = single_.front();
    packet.clear();
    packet.emplace_back(k_rtp_header_size, single_header_);
    packet.emplace_back(length, data);
    rtp_->inc_sequence();
    rtp_->inc_sent_pkts();
    return send_packets(to4, to6, ssrc, single_);
}

void frame_queue::collect_hot_lines(hot_lines &out) const {
    out.add_between(single_header_, &sink_ + 1);
    if (!single_.empty()) {
        out.add(single_.data(), sizeof(single_.front()));
        out.add(single_.front().data(), single_.front().capacity() * sizeof(single_.front()[0]));
    }
    if (rtp_) {
        rtp_->collect_hot_lines(out);
    }
    if (sink_) {
        sink_->collect_hot_lines(out);
    }
}

RTP_ERROR frame_queue::send_batched(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc) {
    return send_packets(to4, to6, ssrc, active_->packets);
}

RTP_ERROR frame_queue::send_packets(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc,
                                    packet_vector &packets) {
    int bytes = 0;
    if (sink_->sendto(ssrc, to4, to6, packets, 0, &bytes) != RTP_SUCCESS) {
        const int err = errno;
        rtp_->count_send_failure();
        LOG_ERROR_AS("flush_queue", "Failed to flush the message queue: %li",
                     static_cast<long>(err));
        return RTP_SEND_FAILED;
    }
    rtp_->count_sent(packets.size(), bytes > 0 ? static_cast<uint64_t>(bytes) : 0);
    return RTP_SUCCESS;
}

// Packet i leaves `i × gap` after `start`, one datagram per system call.
RTP_ERROR frame_queue::send_spread(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc,
                                   clock::hrc::hrc_t start, nanoseconds gap) {
    packet_vector &packets = active_->packets;
    for (size_t i = 0; i < packets.size(); ++i) {
        const nanoseconds elapsed = std::chrono::duration_cast<nanoseconds>(now_() - start);
        const nanoseconds delay = scaled(gap, i) - elapsed;
        if (delay > nanoseconds::zero()) {
            sleep_(delay);
        }
        int bytes = 0;
        if (sink_->sendto(ssrc, to4, to6, packets[i], 0, &bytes) != RTP_SUCCESS) {
            const int err = errno;
            rtp_->count_send_failure();
            LOG_ERROR_AS("flush_queue", "Failed to send packet: %li", static_cast<long>(err));
            return RTP_SEND_FAILED;
        }
        rtp_->count_sent(1, bytes > 0 ? static_cast<uint64_t>(bytes) : 0);
    }
    return RTP_SUCCESS;
}

// Frame k of a run is due at run_start + k × frame_interval. A late frame
// starts a new run; a frame early by more than an interval waits one interval
// and starts a new run. While catching up nothing waits, and catching up ends
// at the first frame that arrives within half an interval of its slot.
clock::hrc::hrc_t frame_queue::pace_frame(clock::hrc::hrc_t now) {
    nanoseconds delay{0};
    bool restart_after_delay = false;
    {
        std::lock_guard<std::mutex> guard(pacing_lock_);
        pacing_state &p = pacing_;
        if (!p.frame_rate_on) {
            return now;
        }
        const nanoseconds interval = p.frame_interval;
        const nanoseconds slack = std::chrono::duration_cast<nanoseconds>(p.run_start - now) +
                                  scaled(interval, p.frames_in_run);
        if (slack < nanoseconds::zero()) {
            p.run_start = now;
            p.frames_in_run = 0;
        } else if (p.catch_up) {
            if (static_cast<double>(slack.count()) < static_cast<double>(interval.count()) / 2.0) {
                p.catch_up = false;
            }
            p.run_start = now;
            p.frames_in_run = 0;
        } else if (slack > interval) {
            delay = interval;
            restart_after_delay = true;
        } else {
            delay = slack;
        }
        ++p.frames_in_run;
    }
    // The lock is not held while sleeping, so configuration never waits on a
    // push.
    if (delay > nanoseconds::zero()) {
        sleep_(delay);
        now = now_();
    }
    if (restart_after_delay) {
        std::lock_guard<std::mutex> guard(pacing_lock_);
        pacing_.run_start = now;
        pacing_.frames_in_run = 1;
    }
    return now;
}

// The spacing of a frame's packets, or nothing when fragment pacing is off.
std::optional<nanoseconds> frame_queue::fragment_gap(size_t packets) {
    std::lock_guard<std::mutex> guard(pacing_lock_);
    const pacing_state &p = pacing_;
    if (!p.frame_rate_on || p.catch_up) {
        return std::nullopt;
    }
    if (p.pace_numerator <= 0 || p.pace_denominator <= 0) {
        return nanoseconds::zero();
    }
    const wide_int gap = static_cast<wide_int>(p.pace_numerator) * p.frame_interval.count() /
                         (static_cast<wide_int>(packets) * p.pace_denominator);
    return nanoseconds(saturate(gap));
}

RTP_ERROR frame_queue::deinit_transaction() noexcept {
    if (!active_) {
        LOG_WARN("Trying to deinit transaction, no active transaction!");
        return RTP_BAD_ARGUMENT;
    }
    end_transaction();
    return RTP_SUCCESS;
}

RTP_ERROR frame_queue::mark_last_packet() noexcept {
    if (!active_) {
        return no_transaction(__func__);
    }
    if (active_->packets.empty()) {
        LOG_ERROR("No packet to mark");
        return RTP_BAD_ARGUMENT;
    }
    mark_packet(active_->packets.back());
    return RTP_SUCCESS;
}

buffer_vector &frame_queue::get_buffer_vector() noexcept {
    if (active_) {
        return active_->buffers;
    }
    LOG_ERROR("No active transaction");
    idle_buffers_.clear();
    return idle_buffers_;
}

uint8_t *frame_queue::get_media_headers() noexcept {
    return active_ ? active_->media_headers.get() : nullptr;
}

void frame_queue::install_dealloc_hook(dealloc_hook_fn hook) noexcept {
    if (hook != nullptr) {
        dealloc_hook_ = hook;
    }
}

void frame_queue::set_frame_rate(bool on, std::optional<nanoseconds> interval,
                                 bool catch_up) noexcept {
    std::lock_guard<std::mutex> guard(pacing_lock_);
    pacing_.frame_rate_on = on;
    if (interval && *interval >= nanoseconds::zero()) {
        pacing_.frame_interval = *interval;
    }
    pacing_.frames_in_run = 0;
    pacing_.catch_up = catch_up;
}

void frame_queue::set_pacing(int64_t numerator, int64_t denominator) noexcept {
    std::lock_guard<std::mutex> guard(pacing_lock_);
    pacing_.pace_numerator = numerator;
    pacing_.pace_denominator = denominator;
}

void frame_queue::set_pacing_clock(time_source now, sleeper sleep) noexcept {
    now_ = now != nullptr ? now : clock::hrc::now;
    sleep_ = sleep != nullptr ? sleep : real_sleep;
}

}  // namespace tessal
