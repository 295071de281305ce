#pragma once

// The generic payload format: the format object of every stream that carries
// neither H.264, H.265, H.266 nor V3C, and the base of the H.26x formats.
//
// Send side: one pushed frame becomes one RTP packet or, with
// RCE_FRAGMENT_GENERIC, a run of payload-size packets that share a timestamp
// and whose last packet carries the marker bit.
//
// Receive side: packet_handler is the stream's depacketizer in the reception
// flow. Without RCE_FRAGMENT_GENERIC every packet is a frame; with it, packets
// that share a timestamp are collected in a media_frame_table and joined once
// the run up to the marked packet is complete.
//
// Thread contract: push_frame runs on the one thread that pushes on the
// stream; packet_handler and the table are used only on the reception flow's
// processing thread; set_fps and set_pace may run on a configuring thread.

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "rtp/frame_queue.hh"
#include "rtp/rtp.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "util/clock.hh"

namespace tessal {
namespace formats {

// Received frames in arrival order on a power-of-two ring that keeps its
// storage: once it has held as many frames as it ever holds at once it no
// longer allocates (a deque allocates a block every few dozen frames that
// pass through). Does not own the frames.
class frame_fifo {
public:
    bool empty() const noexcept { return count_ == 0; }
    size_t size() const noexcept { return count_; }
    frame::rtp_frame *front() const noexcept { return slots_[head_]; }
    // The i-th frame from the front, i < size().
    frame::rtp_frame *&operator[](size_t i) noexcept {
        return slots_[(head_ + i) & (slots_.size() - 1)];
    }
    // Throws std::bad_alloc when a full ring cannot grow; the fifo is then
    // as it was.
    void push_back(frame::rtp_frame *f);
    void pop_front() noexcept;
    // Keeps the first `n` frames and forgets the others, n <= size().
    void truncate(size_t n) noexcept { count_ = n; }
    void clear() noexcept { count_ = 0; }

private:
    std::vector<frame::rtp_frame *> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

// Received fragments by RTP sequence number: slot `seq` modulo a power of
// two, each holding at most one frame, whose header tells which sequence
// number it is. The ring starts small and doubles when two fragments held at
// once want one slot, so it never drops a fragment for want of room; at
// 65536 slots every sequence number has its own. It keeps its size, so in
// steady state storing a fragment allocates nothing. Does not own the frames.
class fragment_ring {
public:
    struct slot {
        frame::rtp_frame *frame = nullptr;
        // FU start and end bits (H.26x).
        bool is_start = false;
        bool is_end = false;
        // H.26x: at the first and the last fragment of a run of consecutive
        // fragments of one NAL unit, the sequence number of the other end.
        uint16_t run_other_end = 0;
    };
    static constexpr size_t k_initial_slots = 1024;
    static constexpr size_t k_max_slots = 65536;

    // The slot holding the fragment `seq`, or null.
    slot *find(uint16_t seq) noexcept {
        if (slots_.empty()) {
            return nullptr;
        }
        slot &s = slots_[seq & (slots_.size() - 1)];
        return s.frame != nullptr && s.frame->header.sequence == seq ? &s : nullptr;
    }
    const slot *find(uint16_t seq) const noexcept {
        return const_cast<fragment_ring *>(this)->find(seq);
    }
    // The slot for `seq`: empty, or holding a fragment with the same
    // sequence number. Throws std::bad_alloc when the ring cannot grow; it
    // is then as it was.
    slot &claim(uint16_t seq);
    // Calls f(slot &) for every slot that holds a fragment.
    template <typename F>
    void for_each(F f) {
        for (slot &s : slots_) {
            if (s.frame != nullptr) {
                f(s);
            }
        }
    }
    size_t capacity() const noexcept { return slots_.size(); }

private:
    void grow();
    std::vector<slot> slots_;
};

// One frame under reassembly. Sequence numbers wrap, so fragments are keyed by
// their serial distance from `anchor` (RFC 1982 arithmetic on 16 bits): a
// packet up to 32768 numbers before the anchor sorts before it, one up to
// 32767 after sorts after it. The fragments themselves are in the table's
// fragment ring; the record holds those of its timestamp with keys in
// [first_key, last_key].
struct media_info {
    // Sequence number of the earliest fragment held.
    uint32_t start_seq = 0;
    // Sequence number of the marked fragment; k_no_end_seq until it arrives.
    uint32_t end_seq = 0;
    // Distinct fragments held: a repeated fragment replaces the stored one.
    uint64_t received_count = 0;
    // Sum of the payload lengths of the fragments held.
    uint64_t total_size = 0;
    // Keys of the earliest and the latest fragment held.
    uint32_t first_key = 0;
    uint32_t last_key = 0;
    // The frame's RTP timestamp.
    uint32_t timestamp = 0;
    // Sequence number of the packet that opened the record.
    uint16_t anchor = 0;
    // When the record was opened, on the table's clock.
    clock::hrc::hrc_t first_seen{};
    // Whether the earliest fragment held is known to be the frame's first,
    // decided when it arrives or when the packet before it does.
    bool start_known = false;
    bool in_use = false;
};

// A fixed table of records looked up by RTP timestamp, looked through in
// full (it is small). A record type has `in_use` and `timestamp` members.
template <typename Record, size_t Capacity>
class timestamp_records {
public:
    static constexpr size_t k_capacity = Capacity;

    bool empty() const noexcept { return used_ == 0; }
    size_t size() const noexcept { return used_; }
    size_t count(uint32_t timestamp) const noexcept { return find(timestamp) != nullptr ? 1 : 0; }
    // The record of `timestamp`; throws std::out_of_range without one.
    Record &at(uint32_t timestamp) {
        if (Record *record = find(timestamp)) {
            return *record;
        }
        throw std::out_of_range("no record of that timestamp");
    }
    const Record &at(uint32_t timestamp) const {
        return const_cast<timestamp_records *>(this)->at(timestamp);
    }
    Record *find(uint32_t timestamp) noexcept {
        if (used_ == 0) {
            return nullptr;
        }
        for (Record &record : records_) {
            if (record.in_use && record.timestamp == timestamp) {
                return &record;
            }
        }
        return nullptr;
    }
    const Record *find(uint32_t timestamp) const noexcept {
        return const_cast<timestamp_records *>(this)->find(timestamp);
    }
    // A free record, or null when all are in use.
    Record *free_record() noexcept {
        for (Record &record : records_) {
            if (!record.in_use) {
                return &record;
            }
        }
        return nullptr;
    }
    void mark_used(Record &record) noexcept {
        if (!record.in_use) {
            record.in_use = true;
            ++used_;
        }
    }
    void mark_free(Record &record) noexcept {
        if (record.in_use) {
            record.in_use = false;
            --used_;
        }
    }
    std::array<Record, Capacity> &all() noexcept { return records_; }

private:
    std::array<Record, Capacity> records_{};
    size_t used_ = 0;
};

// The generic frames under reassembly: only those incomplete at once. A
// record opened when all are in use first releases the one opened earliest,
// as expiry would release it later: with 64 frames incomplete at once the
// oldest is past hope.
using media_records = timestamp_records<media_info, 64>;

constexpr uint32_t k_no_end_seq = 0xFFFFFFFF;
// The table is scanned for stale records at most this often.
constexpr int64_t k_expiry_scan_interval_ms = 100;

// A packet the table has seen: which frame (timestamp) it belonged to.
struct seen_packet {
    uint32_t timestamp = 0;
    uint16_t seq = 0;
    bool marker = false;
    bool valid = false;
};

// A frame the table delivered, so that repeats and late copies of its
// fragments are dropped instead of becoming frames of their own.
struct finished_frame {
    uint32_t timestamp = 0;
    uint16_t start_seq = 0;
    uint16_t end_seq = 0;
    bool valid = false;
};

// The generic reassembly table, the argument packet_handler is installed
// with. Owns every fragment it holds and releases them when destroyed.
//
// Nothing on the wire marks a frame's first fragment: a run is known to
// start at its earliest fragment only when the packet before that one was
// seen and ends a frame (its marker bit) or belongs to another frame. A run
// whose predecessor was lost, or never seen because the stream was joined
// in the middle of a frame, cannot be told from the tail of a frame whose
// first fragments were lost, and is dropped when it expires rather than
// delivered damaged. (A marked packet before any unmarked one is taken as a
// frame of one packet: see `fragmenting`.)
struct media_frame_table {
    using time_source = clock::hrc::hrc_t (*)();

    media_frame_table() = default;
    ~media_frame_table();
    media_frame_table(const media_frame_table &) = delete;
    media_frame_table &operator=(const media_frame_table &) = delete;

    // RTP timestamp -> frame under reassembly.
    media_records frames;
    // The fragments the records hold.
    fragment_ring fragments;
    // Not owned: the stream's RTP state (kept alive by the format object),
    // whose packet delay limit bounds how long a record may stay incomplete.
    // Without it the default limit applies.
    const rtp *rtp_ctx = nullptr;
    // The clock records are aged by; tests replace it.
    time_source now = clock::hrc::now;
    clock::hrc::hrc_t last_scan{};

    // The latest packets by sequence number modulo the ring size.
    static constexpr size_t k_seen_slots = 1024;
    std::array<seen_packet, k_seen_slots> seen{};
    // Whether a packet without the marker bit was seen: until then every
    // packet has been a frame of its own, and a marked packet is one too.
    bool fragmenting = false;
    static constexpr size_t k_finished_slots = 64;
    std::array<finished_frame, k_finished_slots> finished{};
    size_t finished_next = 0;
    // Frames one packet completed beyond the one handed back with it, for
    // media::frame_getter.
    frame_fifo ready;
    // Records given up incomplete: expired, pushed out of a full table, or
    // robbed of a fragment by another frame's. Written on the processing
    // thread, read from any.
    std::atomic<uint64_t> discarded_frames{0};
    // Repeats of delivered fragments dropped.
    std::atomic<uint64_t> duplicates{0};
};

class media {
public:
    // Keeps the stream's socket, RTP state and enable flags and builds the
    // send queue from them.
    media(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    // Releases every fragment still held for reassembly, then the queue.
    virtual ~media();
    media(const media &) = delete;
    media &operator=(const media &) = delete;

    // Sends [data, data + data_len) to addr/addr6 as one frame through the
    // send handlers of `ssrc`, on the pushing thread. The caller keeps the
    // buffer, which must stay valid for the call. RTP_BAD_ARGUMENT for null
    // data or zero length; otherwise the result of push_media_frame
    // (RTP_SUCCESS, or the send queue's RTP_UNINITIALIZED, RTP_ALLOC_FAILED,
    // RTP_BAD_ARGUMENT or RTP_SEND_FAILED).
    RTP_ERROR push_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data, size_t data_len,
                         int rtp_flags, uint32_t ssrc) noexcept;
    // The same, releasing the buffer once everything has been sent.
    RTP_ERROR push_frame(sockaddr_in &addr, sockaddr_in6 &addr6, std::unique_ptr<uint8_t[]> data,
                         size_t data_len, int rtp_flags, uint32_t ssrc) noexcept;

    // The reassembly table: the argument to install packet_handler with.
    void *get_media_frame_info() noexcept;
    // RTP_FRAME_READY with the next frame completed together with another
    // (packet_handler returned RTP_FRAMES_READY), else RTP_NO_SUCH_ITEM;
    // RTP_BAD_ARGUMENT for a null out. Processing thread only.
    RTP_ERROR frame_getter(frame::rtp_frame **out) noexcept;
    // Frames given up incomplete by the reassembly (never delivered, their
    // fragments released), and repeated packets dropped; any thread.
    virtual uint64_t frames_discarded_incomplete() const noexcept;
    virtual uint64_t duplicates_dropped() const noexcept;
    // Payloads the format could not read (H.26x: neither a NAL unit, an
    // aggregation nor a fragmentation unit); any thread.
    virtual uint64_t payloads_malformed() const noexcept { return 0; }

    // The reception-flow depacketizer. `arg` is the table, `*out` the parsed
    // packet; `data` and `size` are not used.
    // - Without RCE_FRAGMENT_GENERIC: RTP_FRAME_READY, the packet is the frame.
    // - With it: RTP_FRAME_READY with the joined frame in *out when the packet
    //   completes one (or is a marked packet that starts a frame: the one
    //   before it belongs to another); RTP_FRAMES_READY with *out null when
    //   it completes more than one, for frame_getter; RTP_SUCCESS with *out
    //   null when the table kept the packet or dropped it as a repeat of a
    //   fragment of a frame already delivered.
    // RTP_BAD_ARGUMENT without a packet or a table, RTP_ALLOC_FAILED when
    // memory runs out (*out is then left for the caller to release, or null
    // if the table had already taken it). Incomplete records older than the
    // stream's packet delay limit are released.
    static RTP_ERROR packet_handler(void *arg, int rce_flags, uint8_t *data, size_t size,
                                    frame::rtp_frame **out) noexcept;

    // Frame-rate control of the send queue: on for a positive numerator and
    // denominator, with an interval of denominator/numerator seconds; a
    // denominator (or numerator) that is not positive switches it off and
    // keeps the previous interval. With RCE_PACE_FRAMES the queue first
    // catches up.
    void set_fps(int64_t numerator, int64_t denominator) noexcept;
    // Spreads a frame's packets over numerator/denominator of the interval.
    void set_pace(int64_t numerator, int64_t denominator) noexcept;

    // Adds the lines a push touches, down to the socket's.
    void collect_hot_lines(hot_lines &out) const;

protected:
    // The send path; formats with their own packetization override it.
    // `rtp_flags` is not used by the generic format. Logs and returns the
    // queue's result when the transaction cannot start or a packet cannot be
    // enqueued; otherwise returns what flush_queue returns.
    virtual RTP_ERROR push_media_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                                       size_t data_len, int rtp_flags, uint32_t ssrc);

    std::shared_ptr<datagram_sink> sink_;
    std::shared_ptr<rtp> rtp_ctx_;
    int rce_flags_;
    std::unique_ptr<frame_queue> fqueue_;
    // Apart from the object (about 12 KiB of reassembly records), so that
    // the send path's fields and the queue lie together.
    std::unique_ptr<media_frame_table> media_frame_info_;
};

}  // namespace formats
}  // namespace tessal
