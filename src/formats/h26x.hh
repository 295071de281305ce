#pragma once

// The common packetizer and depacketizer of the video formats (H.264, H.265,
// H.266, V3C). One push carries one access unit in Annex-B byte-stream
// form (V3C: one unit, taken whole); the sender finds its NAL units,
// aggregates a leading run of small ones, sends the others whole or as
// fragmentation units (FUs). The receiver turns single NAL unit packets,
// aggregation packets and FUs back into NAL units with a start code in front
// (none for V3C).
//
// Thread contract: the send side runs on the one thread that pushes on the
// stream; the receive side (packet_handler, frame_getter and the tables) only
// on the reception flow's processing thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "formats/h26x_access_unit_gate.hh"
#include "formats/h26x_duplicate_filter.hh"
#include "formats/media.hh"
#include "util/clock.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

// One NAL unit of a pushed buffer.
struct nal_info {
    uint64_t nal_offset = 0;      // first byte after the start code
    uint64_t start_code_len = 0;  // 3 or 4 (0 for a buffer taken whole)
    uint64_t nal_len = 0;         // NAL header included, start code excluded
    bool aggregate_candidate = false;
    bool sent_in_aggregate = false;
};

enum fragment_kind : int {
    FRAGMENT_INVALID = -2,
    FRAGMENT_NONE = -1,
    FRAGMENT_FIRST = 1,
    FRAGMENT_MIDDLE = 2,
    FRAGMENT_LAST = 3,
    FRAGMENT_AGGREGATE = 4,
    FRAGMENT_STAP_B = 5,
};

enum nal_class : uint8_t {
    NAL_CLASS_INTRA = 0,
    NAL_CLASS_INTER = 1,
    NAL_CLASS_OTHER = 255,
};

// A set of sequence numbers: a bitmap indexed by sequence number modulo its
// size (a power of two, at least the span of the set), over the serial range
// [min, max] (RFC 1982 arithmetic on 16 bits, so a set may span the wrap).
// Inserting and looking up cost the same in any arrival order; the bitmap
// keeps its storage when cleared.
class seq_set {
public:
    bool contains(uint16_t seq) const noexcept;
    // Throws std::bad_alloc when the bitmap cannot grow; the set is then as
    // it was.
    void insert(uint16_t seq);
    void clear() noexcept;
    bool empty() const noexcept { return span_ == 0; }
    // The first and the last number of the range held; the set must not be
    // empty.
    uint16_t min() const noexcept { return low_; }
    uint16_t max() const noexcept { return static_cast<uint16_t>(low_ + span_ - 1); }
    // Calls f(seq) for every number held, from min() to max().
    template <typename F>
    void for_each(F f) const {
        for (uint32_t i = 0; i < span_; ++i) {
            const auto q = static_cast<uint16_t>(low_ + i);
            if (bit(q)) {
                f(q);
            }
        }
    }

private:
    static constexpr size_t k_word_bits = 64;
    size_t bits() const noexcept { return words_.size() * k_word_bits; }
    size_t index(uint16_t seq) const noexcept { return seq & (bits() - 1); }
    bool bit(uint16_t seq) const noexcept {
        return ((words_[index(seq) / k_word_bits] >> (index(seq) % k_word_bits)) & 1) != 0;
    }
    void set(uint16_t seq) noexcept {
        words_[index(seq) / k_word_bits] |= uint64_t{1} << (index(seq) % k_word_bits);
    }
    // Makes room for a range of `span` numbers from low_.
    void reserve(uint32_t span);

    std::vector<uint64_t> words_;
    uint16_t low_ = 0;
    uint32_t span_ = 0;  // up to 65536
};

// FU reassembly state of one access unit (one RTP timestamp). Its pending
// fragments, those stored and not yet joined or released, are the ones of
// its timestamp in the fragment ring.
struct access_unit_info {
    uint32_t timestamp = 0;
    clock::hrc::hrc_t first_arrival{};
    seq_set received_seqs;
    // Fragments pending.
    size_t pending = 0;
    // At least one NAL unit of the access unit has been handed on.
    bool delivered = false;
    bool in_use = false;
};

// The timestamps of the last `k_capacity` access units dropped, to discard
// their late packets: a ring in the order they were dropped (timestamps
// wrap, so their numeric order says nothing) and an open-addressing index.
class dropped_timestamps {
public:
    static constexpr size_t k_capacity = 600;

    bool contains(uint32_t timestamp) const noexcept;
    // Remembers `timestamp` unless it is already; the oldest is forgotten
    // when the memory is full.
    void remember(uint32_t timestamp) noexcept;

private:
    static constexpr size_t k_buckets = 2048;  // a power of two, > 3 * k_capacity
    static size_t bucket_of(uint32_t timestamp) noexcept {
        return ((timestamp * 2654435761u) >> 21) & (k_buckets - 1);
    }
    void erase(uint32_t timestamp) noexcept;

    std::array<uint32_t, k_capacity> order_{};
    size_t oldest_ = 0;
    size_t count_ = 0;
    std::array<uint32_t, k_buckets> keys_{};
    std::array<bool, k_buckets> used_{};
};

// Index just after the first start code (00 00 01, or 00 00 00 01) at or
// after `offset`, or -1. `scan_step` is 1 (H.264) or 4 (H.265, H.266): the
// buffer is read in words at that step. Never reads outside [data, data+len).
int64_t find_h26x_start_code(const uint8_t *data, size_t len, size_t offset,
                             uint8_t &start_code_len, uint8_t scan_step);

// The aggregation packet (STAP-A, AP) of one push: the payload header, then
// for each NAL unit a 16-bit big-endian size and the unit. The pieces point
// into this object and into the caller's buffer, so it must stay put from
// enqueue() until the transaction is flushed.
class aggregation_packet {
public:
    void add(uint8_t *data, size_t len) { nalus_.emplace_back(len, data); }
    size_t size() const noexcept { return nalus_.size(); }
    const std::vector<std::pair<size_t, uint8_t *>> &nalus() const noexcept { return nalus_; }
    // Builds the packet behind `header` (1 or 2 bytes) and enqueues it. A
    // unit above `max_size` is left out after logging `too_large`;
    // `enqueue_failed` is logged when the queue refuses the packet.
    RTP_ERROR enqueue(frame_queue &queue, const uint8_t *header, size_t header_len, size_t max_size,
                      const char *too_large, const char *enqueue_failed);
    void clear();

private:
    uint8_t header_[2] = {};
    std::vector<std::pair<size_t, uint8_t *>> nalus_;
    std::vector<std::array<uint8_t, 2>> sizes_;
    buffer_vector buffers_;
};

class h26x : public media {
public:
    h26x(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    ~h26x() override;

    // --- send side ---------------------------------------------------------
    // The NAL units of an Annex-B buffer and whether a leading run can be
    // aggregated into one packet of `payload_size`.
    void scl(uint8_t *data, size_t data_len, size_t payload_size, std::vector<nal_info> &nals,
             bool &should_aggregate);
    RTP_ERROR single_nal_unit(uint8_t *data, size_t data_len);
    RTP_ERROR divide_frame_to_fus(uint8_t *data, size_t &data_len, size_t payload_size,
                                  buffer_vector &buffers, uint8_t *fu_headers);
    void initialize_fu_headers(uint8_t nal_type, uint8_t *fu_headers);

    // --- receive side ------------------------------------------------------
    // Reception-flow handler; `arg` is the h26x object, `*out` the parsed
    // packet. RTP_FRAME_READY: *out is a NAL unit for the application;
    // RTP_FRAMES_READY: NAL units wait for frame_getter; RTP_SUCCESS: the
    // packet was kept; RTP_FAILED: it was discarded. With these three *out is
    // null. RTP_ALLOC_FAILED: whatever is left in *out is the caller's.
    // RTP_BAD_ARGUMENT without an object or a packet.
    static RTP_ERROR packet_handler(void *arg, int rce_flags, uint8_t *data, size_t size,
                                    frame::rtp_frame **out) noexcept;
    RTP_ERROR handle_packet(int rce_flags, frame::rtp_frame **out);
    // RTP_FRAME_READY with the next NAL unit of an aggregation packet, else
    // RTP_NO_SUCH_ITEM (RTP_BAD_ARGUMENT for a null out).
    RTP_ERROR frame_getter(frame::rtp_frame **out);
    uint64_t frames_discarded_incomplete() const noexcept override {
        return discarded_incomplete_.load(std::memory_order_relaxed);
    }
    uint64_t duplicates_dropped() const noexcept override { return duplicate_log_.occurrences(); }
    uint64_t payloads_malformed() const noexcept override {
        return malformed_.load(std::memory_order_relaxed);
    }

    // True (with a warning) for a repeat of a packet received lately.
    bool is_duplicate_frame(uint32_t timestamp, uint16_t seq);
    // Packets the duplicate filter holds, and the most it ever holds.
    size_t duplicate_history_size() const noexcept { return duplicate_history_.size(); }
    static constexpr size_t duplicate_history_capacity() noexcept {
        return duplicate_filter::capacity();
    }
    RTP_ERROR handle_aggregation_packet(frame::rtp_frame **out, uint8_t header_len, int rce_flags);
    // A fresh record for `timestamp`. When all k_max_access_units records
    // are in use, one is given up first, as the garbage collection would
    // later: the oldest access unit handed on with nothing pending (quietly),
    // else the oldest of all (dropped, drop_access_unit).
    access_unit_info &initialize_new_access_unit(uint32_t timestamp);
    // Lookups of stored FUs made so far, joining and releasing included: the
    // reassembly's work, which stays a few lookups per packet in any arrival
    // order. Processing thread only.
    uint64_t fragment_lookups() const noexcept { return fragment_lookups_; }
    // Access units tracked at once; see initialize_new_access_unit.
    static constexpr size_t k_max_access_units = 64;
    // Joins the stored FUs start..end (the range may wrap) of one NAL unit,
    // `size` bytes of fragment data, into a new frame in *out: start code,
    // NAL header rebuilt from the start fragment, fragment data; the RTP
    // header is the end fragment's. RTP_FRAME_READY; else RTP_FAILED or
    // RTP_ALLOC_FAILED, *out untouched and the range's fragments released.
    RTP_ERROR reconstruction(frame::rtp_frame **out, size_t size, int rce_flags, uint16_t start,
                             uint16_t end, uint8_t header_len);
    void free_fragment(uint16_t seq);
    void drop_access_unit(uint32_t timestamp);
    // At most every 100 ms: access units that arrived more than max_delay_ms
    // ago leave the table. One with NAL units still pending, or none
    // delivered, is dropped (drop_access_unit); a delivered one is forgotten.
    void garbage_collect_lost_frames(size_t max_delay_ms);

    // Replaces the steady clock of the receive side (tests); the garbage
    // collection interval restarts on the new clock.
    using time_source = clock::hrc::hrc_t (*)();
    void set_time_source(time_source source) noexcept {
        now_ = source;
        last_gc_time_ = source();
    }

    // --- codec operations ----------------------------------------------------
    virtual RTP_ERROR add_aggregate_packet(uint8_t *data, size_t data_len);
    virtual RTP_ERROR finalize_aggregation_pkt();
    virtual void clear_aggregation_info();
    virtual RTP_ERROR fu_division(uint8_t *data, size_t data_len, size_t payload_size) = 0;
    virtual uint8_t get_nal_type(uint8_t *nal) const = 0;
    virtual uint8_t get_payload_header_size() const = 0;
    virtual uint8_t get_nal_header_size() const = 0;
    virtual uint8_t get_fu_header_size() const = 0;
    virtual uint8_t get_start_code_range() const = 0;
    virtual fragment_kind get_fragment_type(frame::rtp_frame *frame) const = 0;
    // The class of the NAL unit an FU packet carries, from its FU header.
    virtual nal_class get_nal_type(frame::rtp_frame *frame) const = 0;
    // The class of a NAL unit of type `nal_type`: a random access point on
    // which decoding can resume, a picture predicted from others, or neither.
    virtual nal_class get_nal_class(uint8_t nal_type) const = 0;
    // The class of a whole NAL unit of at least get_nal_header_size() bytes,
    // from its header; by default the class of its type.
    virtual nal_class get_nal_unit_class(uint8_t *nal) const {
        return get_nal_class(get_nal_type(nal));
    }
    virtual void get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) = 0;
    // What the first NAL unit of a packet that is not an FU middle or end
    // says about access unit boundaries; by default nothing.
    virtual au_start_hint access_unit_start(const frame::rtp_frame *) const {
        return au_start_hint::unknown;
    }
    virtual frame::rtp_frame *allocate_rtp_frame_with_startcode(bool add_start_code,
                                                                frame::rtp_header &header,
                                                                size_t size, size_t &write_pos);
    virtual void prepend_start_code(int rce_flags, frame::rtp_frame **frame);

protected:
    RTP_ERROR push_media_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                               size_t data_len, int rtp_flags, uint32_t ssrc) override;

    // Receive-side state (processing thread only).
    frame_fifo ready_frames_;
    // Access units with FUs, by timestamp.
    timestamp_records<access_unit_info, k_max_access_units> access_units_;
    // Repeats of the packets of the last 5 s, as far as a fixed table holds them.
    static constexpr int64_t k_duplicate_window_ms = 5000;
    duplicate_filter duplicate_history_{k_duplicate_window_ms};
    // The FUs stored, with their start and end bits.
    fragment_ring fu_fragments_;
    // Later packets of these access units are discarded.
    dropped_timestamps dropped_timestamps_;
    clock::hrc::hrc_t last_gc_time_;
    bool waiting_for_key_frame_ = true;
    // Resync mode only.
    access_unit_gate gate_;
    std::vector<access_unit_gate::unit> gate_units_;  // reused scratch
    time_source now_ = clock::hrc::now;
    // Lines a peer can trigger with every packet: one limiter per kind.
    log::limiter duplicate_log_;
    log::limiter invalid_log_;
    log::limiter aggregation_log_;
    log::limiter fragment_clash_log_;
    log::limiter missing_reference_log_;
    std::atomic<uint64_t> discarded_incomplete_{0};  // access units dropped
    std::atomic<uint64_t> malformed_{0};             // payloads that are no NAL unit, AP or FU

    // RTP_SUCCESS when a NAL unit of `data_len` bytes needs and allows FU
    // division at `payload_size`; else logs under divide_frame_to_fus.
    RTP_ERROR check_fu_division(size_t data_len, size_t payload_size) const;
    uint8_t *fu_header_buffer(size_t data_len, size_t payload_size, RTP_ERROR &rc);
    RTP_ERROR divide_into_fus(uint8_t *data, size_t data_len, size_t payload_size, uint8_t *headers,
                              uint8_t *fu_headers);

private:
    RTP_ERROR push_nal_units(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data, size_t data_len,
                             int rtp_flags, uint32_t ssrc);
    RTP_ERROR send_aggregate(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                             std::vector<nal_info> &nals, uint32_t ssrc, RTP_ERROR &result);
    RTP_ERROR enqueue_nal_unit(uint8_t *unit, size_t unit_len, size_t payload_size,
                               bool ends_access_unit);
    std::vector<nal_info> nal_scratch_;  // the NAL units of the frame being pushed

    // Receive side.
    // Hands a packet past the duplicate filter, of fragment kind `kind`, to
    // its path.
    RTP_ERROR dispatch(int rce_flags, frame::rtp_frame **out, fragment_kind kind);
    // Resync mode: the NAL units of a packet go to the gate, whole access
    // units come out of it into ready_frames_.
    RTP_ERROR handle_packet_in_whole_units(int rce_flags, frame::rtp_frame **out);
    void hold_nal_unit(frame::rtp_frame *nal, int rce_flags, uint16_t seq);
    void release_access_units();
    void forget_access_unit(uint32_t timestamp);
    RTP_ERROR handle_fragment(frame::rtp_frame **out, fragment_kind kind, int rce_flags);
    void store_fragment(access_unit_info &au, frame::rtp_frame *packet, fragment_kind kind);
    RTP_ERROR complete_nal_unit(frame::rtp_frame **out, access_unit_info &au, uint32_t ts,
                                uint16_t start, uint16_t end, int rce_flags);
    void end_wait_at_key_frame(int rce_flags, uint32_t ts, nal_class cls);
    bool start_code_wanted(int rce_flags) const;
    // The stored FU packet `seq` if it belongs to the access unit `timestamp`.
    frame::rtp_frame *stored_fragment(uint16_t seq, uint32_t timestamp) noexcept;
    void release_fragments(uint16_t start, uint16_t end, uint32_t timestamp);
    void remember_dropped(uint32_t timestamp);
    access_unit_info *find_access_unit(uint32_t timestamp) noexcept;
    void release_access_unit(access_unit_info &au) noexcept;
    // Fragment ring lookups, counted (see fragment_lookups).
    fragment_ring::slot *find_fragment(uint16_t seq) noexcept;
    // The pending FU `seq` of the access unit `timestamp`, or null.
    fragment_ring::slot *pending_fragment(uint16_t seq, uint32_t timestamp) noexcept;
    void join_run(uint32_t timestamp, uint16_t seq, uint16_t &first, uint16_t &last);
    void release_run(uint16_t seq);
    uint64_t fragment_lookups_ = 0;
};

// RFC 6184: single NAL unit packets, STAP-A, FU-A (non-interleaved mode).
class h264 : public h26x {
public:
    h264(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    ~h264() override;

    RTP_ERROR add_aggregate_packet(uint8_t *data, size_t data_len) override;
    RTP_ERROR finalize_aggregation_pkt() override;
    void clear_aggregation_info() override;
    RTP_ERROR fu_division(uint8_t *data, size_t data_len, size_t payload_size) override;
    uint8_t get_nal_type(uint8_t *nal) const override;
    uint8_t get_payload_header_size() const override { return 1; }
    uint8_t get_nal_header_size() const override { return 1; }
    uint8_t get_fu_header_size() const override { return 1; }
    uint8_t get_start_code_range() const override { return 1; }
    fragment_kind get_fragment_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_class(uint8_t nal_type) const override;
    void get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) override;
    au_start_hint access_unit_start(const frame::rtp_frame *packet) const override;
    frame::rtp_frame *allocate_rtp_frame_with_startcode(bool add_start_code,
                                                        frame::rtp_header &header, size_t size,
                                                        size_t &write_pos) override;
    void prepend_start_code(int rce_flags, frame::rtp_frame **frame) override;

private:
    aggregation_packet aggregation_;
};

// RFC 7798: single NAL unit packets, AP, FU.
class h265 : public h26x {
public:
    h265(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    ~h265() override;

    RTP_ERROR add_aggregate_packet(uint8_t *data, size_t data_len) override;
    RTP_ERROR finalize_aggregation_pkt() override;
    void clear_aggregation_info() override;
    RTP_ERROR fu_division(uint8_t *data, size_t data_len, size_t payload_size) override;
    uint8_t get_nal_type(uint8_t *nal) const override;
    uint8_t get_payload_header_size() const override { return 2; }
    uint8_t get_nal_header_size() const override { return 2; }
    uint8_t get_fu_header_size() const override { return 1; }
    uint8_t get_start_code_range() const override { return 4; }
    fragment_kind get_fragment_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_class(uint8_t nal_type) const override;
    void get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) override;
    au_start_hint access_unit_start(const frame::rtp_frame *packet) const override;

private:
    aggregation_packet aggregation_;
};

// RFC 9328: single NAL unit packets, AP, FU.
class h266 : public h26x {
public:
    h266(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    ~h266() override;

    // The payload header of the aggregation packets sent from the next push
    // on: false (the default) sends 0x38 0x01, the AP type where H.265 keeps
    // its type, which peers of this library read; true sends the RFC 9328
    // section 4.3.2 header (type 28 in the second byte, F, LayerId and TID
    // from the aggregated units) that other RFC 9328 receivers read. Any
    // thread may call it; it applies from the next aggregation packet on.
    void set_rfc9328_aggregation(bool enabled) noexcept {
        rfc9328_aggregation_.store(enabled, std::memory_order_relaxed);
    }
    bool get_rfc9328_aggregation() const noexcept {
        return rfc9328_aggregation_.load(std::memory_order_relaxed);
    }

    RTP_ERROR add_aggregate_packet(uint8_t *data, size_t data_len) override;
    RTP_ERROR finalize_aggregation_pkt() override;
    void clear_aggregation_info() override;
    RTP_ERROR fu_division(uint8_t *data, size_t data_len, size_t payload_size) override;
    uint8_t get_nal_type(uint8_t *nal) const override;
    uint8_t get_payload_header_size() const override { return 2; }
    uint8_t get_nal_header_size() const override { return 2; }
    uint8_t get_fu_header_size() const override { return 1; }
    uint8_t get_start_code_range() const override { return 4; }
    fragment_kind get_fragment_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_class(uint8_t nal_type) const override;
    void get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) override;
    au_start_hint access_unit_start(const frame::rtp_frame *packet) const override;

private:
    aggregation_packet aggregation_;
    std::atomic<bool> rfc9328_aggregation_{false};
};

// V3C units with the two-byte NAL unit header of H.265 (F, 6-bit type,
// 6-bit layer id, TID): every push is one unit, sent whole in one packet or
// as FUs of payload header type 57; there are no aggregation packets. Received
// units never get a start code, and a unit is a key unit when its layer id
// is 0. Thread contract as for formats::h26x.
class v3c : public h26x {
public:
    v3c(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags);
    ~v3c() override;

    RTP_ERROR fu_division(uint8_t *data, size_t data_len, size_t payload_size) override;
    uint8_t get_nal_type(uint8_t *nal) const override;
    uint8_t get_payload_header_size() const override { return 2; }
    uint8_t get_nal_header_size() const override { return 2; }
    uint8_t get_fu_header_size() const override { return 1; }
    uint8_t get_start_code_range() const override { return 4; }
    fragment_kind get_fragment_type(frame::rtp_frame *frame) const override;
    nal_class get_nal_type(frame::rtp_frame *frame) const override;
    // V3C classes its units by layer id, which the type does not carry:
    // NAL_CLASS_OTHER for every type. See get_nal_unit_class.
    nal_class get_nal_class(uint8_t nal_type) const override;
    nal_class get_nal_unit_class(uint8_t *nal) const override;
    void get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) override;
};

}  // namespace formats
}  // namespace tessal
