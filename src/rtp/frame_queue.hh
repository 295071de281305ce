#pragma once

// The send queue: turns one media frame into RTP packets (one transaction)
// and hands them to the socket in as few system calls as the stream allows.
//
// All packets of a transaction share one 12-byte header template filled when
// the transaction starts (same timestamp); each packet gets its own copy with
// its own sequence number. Payload bytes are not copied: a packet is a
// buffer_vector whose first piece is its header slot and whose further pieces
// point into the caller's frame or into small buffers the transaction owns.
//
// Thread contract: a queue is used only by the thread that pushes on its
// stream (one push at a time). The pacing setters may run on any thread.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "rtp/rtp.hh"
#include "tessal/util.hh"
#include "util/clock.hh"
#include "util/datagram_sink.hh"

namespace tessal {

// Packets one slot block holds; the first block is allocated when a
// transaction starts, further blocks only for frames that need them.
constexpr size_t k_max_queue_size = 5000;
// Bytes reserved per packet for the SRTP authentication tag (RFC 3711:
// HMAC-SHA1 truncated to 80 bits).
constexpr size_t k_auth_tag_size = 10;
// With RCE_SRTP_STANDARD: room for the largest standard tag (AES-GCM, RFC
// 7714); the SRTP send handler shrinks the slot to its profile's tag.
constexpr size_t k_standard_tag_slot = 16;
// Joined SRTP payloads are copied into blocks of this size (or one payload's
// size, if larger); blocks up to k_kept_copy_bytes stay for later frames.
constexpr size_t k_copy_block_bytes = 64 * 1024;
constexpr size_t k_kept_copy_bytes = 1024 * 1024;

using dealloc_hook_fn = void (*)(void *);

// One frame in flight. Owned by its frame_queue; everything in it is released
// when the transaction ends. Slots live in fixed-size blocks that never move,
// because packets hold raw pointers into them.
struct transaction {
    // Scratch list the payload formats fill to build multi-piece packets.
    buffer_vector buffers;
    // One buffer_vector per enqueued packet, in enqueue order.
    packet_vector packets;
    uint8_t common_header[k_rtp_header_size] = {};
    // Blocks of k_max_queue_size header slots of 12 bytes; slot i is the
    // header of packet i.
    std::vector<std::unique_ptr<uint8_t[]>> header_blocks;
    // Payload header and FU headers of the H.26x/V3C formats; null for other
    // formats.
    std::unique_ptr<uint8_t[]> media_headers;
    size_t media_headers_size = 0;
    // Blocks of k_max_queue_size tag slots of 10 bytes (RCE_SRTP_AUTH_TAG)
    // or 16 (RCE_SRTP_STANDARD); none otherwise.
    std::vector<std::unique_ptr<uint8_t[]>> tag_blocks;
    size_t headers_used = 0;
    size_t tags_used = 0;
    std::unique_ptr<uint8_t[]> owned_frame;
    uint8_t *frame_data = nullptr;  // not owned
    // Joined payloads made for SRTP encryption: blocks that never move,
    // filled one after the other and kept for later frames.
    std::vector<std::unique_ptr<uint8_t[]>> owned_copies;
    std::vector<size_t> copy_sizes;
    size_t copy_block = 0;  // the block being filled
    size_t copy_used = 0;   // bytes used in it
    dealloc_hook_fn dealloc_hook = nullptr;
};

class frame_queue {
public:
    using time_source = clock::hrc::hrc_t (*)();
    using sleeper = void (*)(std::chrono::nanoseconds);

    // `socket` and `rtp` are the stream's; `rce_flags` its enable flags.
    frame_queue(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp, int rce_flags);
    // Ends an open transaction without sending it.
    ~frame_queue();
    frame_queue(const frame_queue &) = delete;
    frame_queue &operator=(const frame_queue &) = delete;

    // Discards any open transaction and starts a new one, filling the header
    // template (a fresh timestamp unless `reuse_last_timestamp`).
    // RTP_ALLOC_FAILED when the slots cannot be allocated, RTP_UNINITIALIZED
    // when the queue was built without a socket or RTP state.
    RTP_ERROR init_transaction(bool reuse_last_timestamp) noexcept;
    // The same, recording the caller's `frame` (not owned). RTP_BAD_ARGUMENT
    // for a null frame, leaving any open transaction as it was.
    RTP_ERROR init_transaction(uint8_t *frame, bool reuse_last_timestamp) noexcept;
    // The same, taking ownership of `frame` until the transaction ends.
    // RTP_BAD_ARGUMENT for a null frame, leaving any open transaction as it was.
    RTP_ERROR init_transaction(std::unique_ptr<uint8_t[]> frame,
                               bool reuse_last_timestamp) noexcept;

    // Adds a packet whose payload is [data, data + length), referenced, not
    // copied; it must stay valid until flush_queue returns. `marker` sets the
    // marker bit. RTP_BAD_ARGUMENT for null data, zero length or no open
    // transaction; RTP_ALLOC_FAILED when the slots cannot grow.
    RTP_ERROR enqueue_message(uint8_t *data, size_t length, bool marker) noexcept;
    RTP_ERROR enqueue_message(uint8_t *data, size_t length) noexcept;
    // Adds a packet whose payload is the concatenation of `pieces`. The vector
    // is copied (the caller may reuse it at once); the bytes are referenced,
    // except with RCE_SRTP (and not RCE_SRTP_NO_ENCRYPTION), where several
    // pieces are joined into one copy the SRTP handler may encrypt in place.
    // RTP_BAD_ARGUMENT for an empty vector, a null piece of non-zero length or
    // no open transaction.
    RTP_ERROR enqueue_message(buffer_vector &pieces) noexcept;
    // Stores a copy of `packet` (header piece included) as the next packet,
    // appending a tag slot with RCE_SRTP_AUTH_TAG, and advances the RTP
    // sequence number. `packet` itself is left unchanged.
    RTP_ERROR enqueue_finalize(buffer_vector &packet) noexcept;
    // Writes the header template, stamped with the current sequence number,
    // into the next free header slot without taking it.
    RTP_ERROR update_rtp_header() noexcept;

    // Sends the transaction's packets to `to4`/`to6` through the send
    // handlers registered for `ssrc`, pacing as configured, and ends the
    // transaction whatever the outcome. RTP_BAD_ARGUMENT when nothing was
    // enqueued, RTP_SEND_FAILED when the socket refuses a packet (packets
    // already sent stay sent). Blocks for the pacing sleeps.
    RTP_ERROR flush_queue(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc) noexcept;
    // Whether a frame of one packet can go out through send_single: no
    // pacing, no SRTP tag slot and no payload header to keep for it.
    bool can_send_single() const noexcept { return single_offered_; }
    // Sends a frame of one packet, [data, data + length) after a fresh
    // header (`marker` sets its marker bit), without opening a transaction:
    // the datagram, the sequence number, the handlers' view and the result
    // are those of init_transaction, enqueue_message and flush_queue, with
    // less work per push. Discards an open transaction, as
    // init_transaction does. Only when can_send_single().
    RTP_ERROR send_single(uint8_t *data, size_t length, bool marker, sockaddr_in &to4,
                          sockaddr_in6 &to6, uint32_t ssrc) noexcept;
    // Ends the transaction without sending. RTP_BAD_ARGUMENT (with a WARNING)
    // when none is open. The caller's unowned frame is not touched.
    RTP_ERROR deinit_transaction() noexcept;

    // Adds the lines a push touches: the queue's send fields, the RTP
    // state's and the sink's.
    void collect_hot_lines(hot_lines &out) const;

    // Whether flush_queue marks the last packet of a transaction of two or
    // more packets (on by default). Formats whose frame spans several
    // transactions switch it off and place the marker with mark_last_packet.
    void set_auto_marker(bool on) noexcept { auto_marker_ = on; }
    // Sets the marker bit of the packet enqueued last in the open
    // transaction. RTP_BAD_ARGUMENT when no transaction is open or it holds
    // no packet yet.
    RTP_ERROR mark_last_packet() noexcept;

    // The open transaction's scratch list, emptied at transaction start.
    // Without a transaction: an ERROR and an empty list of the queue's own
    // that is cleared at every such call.
    buffer_vector &get_buffer_vector() noexcept;
    // The open transaction's payload-header buffer: 4 bytes for FMT_H264,
    // 5 for FMT_H265, FMT_H266 and FMT_V3C; null for other formats or
    // without a transaction.
    uint8_t *get_media_headers() noexcept;
    // Stores `hook` (ignored when null); transactions record it, the send
    // path never calls it.
    void install_dealloc_hook(dealloc_hook_fn hook) noexcept;

    // Frame-rate control for RCE_PACE_FRAMES and RCE_PACE_FRAGMENTS.
    // `on` switches it on or off; `interval` replaces the frame interval when
    // given and not negative (nullopt keeps it); `catch_up` lets frames go undelayed (and unspread)
    // until they arrive within half an interval of their slot. Starts a new pacing run.
    void set_frame_rate(bool on, std::optional<std::chrono::nanoseconds> interval,
                        bool catch_up) noexcept;
    // Fragment pacing spreads a frame's packets over numerator/denominator of
    // the frame interval. A fraction that is not positive spreads nothing:
    // the packets still go one per system call, back to back.
    void set_pacing(int64_t numerator, int64_t denominator) noexcept;

    // Replaces the steady clock and the sleep used for pacing (tests); a
    // null argument restores the real one. Call before pushing.
    void set_pacing_clock(time_source now, sleeper sleep) noexcept;

private:
    struct pacing_state {
        bool frame_rate_on = false;
        std::chrono::nanoseconds frame_interval{0};
        int64_t pace_numerator = 0;
        int64_t pace_denominator = 0;
        clock::hrc::hrc_t run_start{};
        uint64_t frames_in_run = 0;
        bool catch_up = false;
    };

    RTP_ERROR start_transaction(bool reuse_last_timestamp, std::unique_ptr<uint8_t[]> owned,
                                uint8_t *frame) noexcept;
    void end_transaction() noexcept;
    RTP_ERROR no_transaction(const char *function) noexcept;
    uint8_t *stamp_next_header();
    uint8_t *take_header_slot();
    // `bytes` of room for a joined payload in the open transaction.
    uint8_t *copy_space(size_t bytes);
    buffer_vector take_pieces();
    RTP_ERROR finalize(buffer_vector &&packet);
    clock::hrc::hrc_t pace_frame(clock::hrc::hrc_t now);
    std::optional<std::chrono::nanoseconds> fragment_gap(size_t packets);
    RTP_ERROR send_spread(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc,
                          clock::hrc::hrc_t start, std::chrono::nanoseconds gap);
    RTP_ERROR send_batched(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc);
    RTP_ERROR send_packets(sockaddr_in &to4, sockaddr_in6 &to6, uint32_t ssrc,
                           packet_vector &packets);

    // What every push reads comes first, up to sink_: the lines
    // collect_hot_lines adds.
    // send_single's packet: its header and one piece list, reused.
    uint8_t single_header_[k_rtp_header_size] = {};
    bool single_offered_ = false;
    packet_vector single_;
    std::unique_ptr<transaction> active_;
    std::shared_ptr<rtp> rtp_;
    std::shared_ptr<datagram_sink> sink_;
    dealloc_hook_fn dealloc_hook_ = nullptr;
    int rce_flags_;
    size_t tag_slot_;  // bytes reserved per packet for an SRTP tag, or 0
    bool auto_marker_ = true;

    // Written by the configuring thread, read and advanced by the pushing
    // thread; never held across a sleep.
    std::mutex pacing_lock_;
    pacing_state pacing_;

    time_source now_;
    sleeper sleep_;

    // Emptied piece lists kept from earlier transactions, so enqueueing does
    // not allocate once the queue has warmed up.
    std::vector<buffer_vector> spare_pieces_;
    std::unique_ptr<transaction> spare_transaction_;
    packet_vector spare_packets_;
    buffer_vector idle_buffers_;
};

}  // namespace tessal
