#pragma once

// Loss recovery of one stream (RFC 4585 feedback, RFC 4588 retransmission):
// the sending side keeps its recent packets and answers NACKs, and passes
// key-frame requests (PLI, FIR) to the application at most once per round
// trip (RFC 5104 section 4.3.1.2). Protocol decisions live in the pure parts
// (rtp/retransmission_store, rtp/rtx); this joins them to the stream's socket.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "rtp/nack_tracker.hh"
#include "rtp/retransmission_store.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "util/buffer_vector.hh"

namespace tessal {

struct loss_recovery_sender_counts {
    uint64_t nacks_received = 0;            // NACK packets about our media
    uint64_t packets_requested = 0;         // sequence numbers they asked for
    uint64_t retransmissions_sent = 0;      // packets sent again
    uint64_t retransmissions_refused = 0;   // refused by the cap
    uint64_t retransmissions_unknown = 0;   // no longer (or never) stored
    uint64_t retransmissions_too_soon = 0;  // resent less than a round trip ago
    uint64_t key_frame_requests = 0;        // PLI and FIR passed to the application
};

class loss_recovery_sender {
public:
    // Sends one whole datagram as it is (no send handlers: a stored packet
    // is already protected, a retransmission is protected by the caller's
    // chain if it needs to be).
    using send_fn = std::function<RTP_ERROR(uint8_t *data, size_t size)>;

    // Sends one RTX packet through the stream's send handlers for the RTX
    // SSRC (SRTP protects it there as a packet of its own): the header, the
    // payload and, when `tag_slot` > 0, a tag slot of that many bytes.
    using protect_and_send_fn = std::function<RTP_ERROR(buffer_vector &pieces)>;

    struct config {
        retransmission_limits limits;
        int rtx_payload_type = -1;  // -1: resend on the original SSRC
        uint32_t rtx_ssrc = 0;
        uint16_t rtx_first_seq = 0;
        // The stream's packets are SRTP-protected. Resent on the original
        // SSRC, a packet goes again as it was protected (kept after SRTP's
        // send handler); as RTX it is kept before SRTP and the RTX packet is
        // protected once, under its own SSRC and sequence number.
        bool srtp = false;
        size_t tag_slot = 0;
    };

    loss_recovery_sender(config c, send_fn send, protect_and_send_fn protect_and_send = {});

    // New settings; a change of limits empties the store.
    void reconfigure(const config &c);

    // The socket's send handlers for the stream's SSRC, which store each
    // packet as it goes out: store_handler before SRTP's handler (without
    // SRTP, and for RTX), store_protected_handler after it (with SRTP on
    // the original SSRC). Each stores only in its own mode.
    static RTP_ERROR store_handler(void *arg, buffer_vector &pieces);
    static RTP_ERROR store_protected_handler(void *arg, buffer_vector &pieces);

    // A NACK asked for `seqs` (RTCP's thread).
    void on_nack(const std::vector<uint16_t> &seqs, int64_t now_us, int64_t rtt_us);
    // A PLI or FIR: true when the application is to be told (the first
    // request, or the first a round trip after the last one told).
    bool on_key_frame_request(int64_t now_us, int64_t rtt_us);

    loss_recovery_sender_counts counts() const;
    config settings() const;

private:
    void store(const buffer_vector &pieces, bool protected_bytes);
    RTP_ERROR send_rtx(const config &c, std::vector<uint8_t> &rtx);

    config config_;  // under lock_
    const send_fn send_;
    const protect_and_send_fn protect_and_send_;
    // Lock order: nack_lock_ -> lock_; nothing is sent under lock_ (the send
    // handlers take it under the socket's locks).
    std::mutex nack_lock_;
    std::vector<std::vector<uint8_t>> outgoing_;  // under nack_lock_
    std::vector<uint8_t> tag_;                    // under nack_lock_
    mutable std::mutex lock_;
    retransmission_store store_;             // under lock_
    std::vector<uint8_t> rtx_;               // under lock_
    uint16_t rtx_seq_;                       // under lock_
    int64_t last_key_frame_us_ = INT64_MIN;  // under lock_
    loss_recovery_sender_counts counts_;     // under lock_
};

struct loss_recovery_receiver_counts {
    uint64_t nack_requests = 0;       // lists of lost packets handed to RTCP
    uint64_t key_frame_requests = 0;  // PLI or FIR handed to RTCP
    nack_counters tracker;
};

// The receiving side: finds the gaps in a remote source's sequence numbers,
// asks for them with NACKs (about once per round trip, until the packet's
// deadline) and, when it gives one up in a key-frame stream, asks for a key
// frame (no more than once per round trip, RFC 5104 section 4.3.1.2).
class loss_recovery_receiver {
public:
    struct actions {
        std::function<void(uint32_t media_ssrc, const std::vector<uint16_t> &lost)> send_nack;
        std::function<void(uint32_t media_ssrc)> request_key_frame;  // PLI or FIR
        std::function<int64_t()> round_trip_us;                      // 0: unknown
        // Asks for tick() at `at_us` (steady microseconds), so that timers
        // run when no packet arrives.
        std::function<void(int64_t at_us)> schedule_tick;
    };

    loss_recovery_receiver(const nack_config &config, actions a, bool key_frames);

    // The reception flow's packet observer (its processing thread): false
    // for a duplicate.
    static bool observer(void *arg, const frame::rtp_frame &packet, bool retransmission);
    // Sends what is due at `now_us`; returns when it is next needed
    // (INT64_MAX: not before a packet arrives).
    int64_t tick(int64_t now_us);
    // The round trip as this side measured it (microseconds, 0 unknown):
    // from a NACK to the retransmission it brought back, smoothed (RFC 6298
    // style, gain 1/8). A receiver that sends no media has no RTCP round
    // trip (RFC 3550 measures it from sender reports).
    int64_t measured_round_trip_us() const;
    // The application asks for a key frame; false if one was asked for less
    // than a round trip ago.
    bool request_key_frame(int64_t now_us);
    void set_max_wait(int64_t max_wait_us);

    loss_recovery_receiver_counts counts() const;

private:
    bool on_packet(const frame::rtp_frame &packet, bool retransmission);
    void tick_locked(int64_t now_us);
    int64_t round_trip_locked() const;
    bool key_frame_locked(int64_t now_us);

    const actions actions_;
    const bool key_frames_;
    mutable std::mutex lock_;
    nack_tracker tracker_;                            // under lock_
    nack_due due_;                                    // under lock_
    bool have_source_ = false;                        // under lock_
    uint32_t source_ = 0;                             // under lock_: the media SSRC tracked
    int64_t last_key_frame_us_ = INT64_MIN;           // under lock_
    int64_t max_wait_us_ = -1;                        // under lock_; -1: the tracker's default
    nack_counters earlier_;                           // under lock_: of trackers of earlier sources
    std::unordered_map<uint16_t, int64_t> asked_at_;  // under lock_: first NACK of each
    int64_t srtt_us_ = 0;                             // under lock_; 0: no sample yet
    loss_recovery_receiver_counts counts_;            // under lock_
};

// A clock for loss recovery: steady microseconds.
int64_t loss_recovery_now_us();

}  // namespace tessal
