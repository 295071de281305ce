#pragma once

// A stream's RTCP (RFC 3550): reports sent every randomised interval, and
// the last reports received from each peer, through hooks or getters.
// Obtained with media_stream::get_rtcp; the stream owns it.
//
// Hooks run on the thread that receives RTCP, with the RTCP object's tables
// locked: they must not call back into the same object.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tessal/export.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"

namespace tessal {

class rtp;
class srtcp;
class rtcp_internal;

// Flat copies of received records; the copies' arrays are the caller's
// (released with frame::dealloc_sr/rr/sdes), SDES item data moves with them.
TESSAL_EXPORT frame::rtcp_sr convert_sr(const frame::rtcp_sender_report *sr) noexcept;
TESSAL_EXPORT frame::rtcp_rr convert_rr(const frame::rtcp_receiver_report *rr) noexcept;
TESSAL_EXPORT frame::rtcp_sdes convert_sdes_packet(const frame::rtcp_sdes_packet *sdes) noexcept;

class TESSAL_EXPORT rtcp {
public:
    // Made by the stream.
    rtcp(std::shared_ptr<rtp> rtp_state, std::shared_ptr<std::atomic<uint32_t>> local_ssrc,
         std::shared_ptr<std::atomic<uint32_t>> remote_ssrc, std::string cname, int rce_flags);
    rtcp(std::shared_ptr<rtp> rtp_state, std::shared_ptr<std::atomic<uint32_t>> local_ssrc,
         std::shared_ptr<std::atomic<uint32_t>> remote_ssrc, std::string cname,
         std::shared_ptr<srtcp> srtcp_ctx, int rce_flags);
    ~rtcp() noexcept;  // stops RTCP (with a final BYE) first
    rtcp(const rtcp &) = delete;
    rtcp &operator=(const rtcp &) = delete;

    // Each received SR/RR/SDES is handed to the hook as a flat record valid
    // during the call; its arrays (and SDES item data) become the
    // application's. RTP_BAD_ARGUMENT for null.
    RTP_ERROR install_sender_hook(void (*hook)(frame::rtcp_sr *)) noexcept;
    RTP_ERROR install_receiver_hook(void (*hook)(frame::rtcp_rr *)) noexcept;
    RTP_ERROR install_sdes_hook(void (*hook)(frame::rtcp_sdes *)) noexcept;
    // The APP record itself: the hook owns it and its payload (delete[]
    // payload, then delete the record).
    RTP_ERROR install_app_hook(void (*hook)(frame::rtcp_app_packet *)) noexcept;
    // Called on the RTCP thread for every report; a returned non-zero
    // *length with an array allocated with new[] of that many bytes (a
    // multiple of 4) becomes an APP packet named `app_name` (1 to 4
    // characters). RTP_BAD_ARGUMENT for null or a bad name.
    RTP_ERROR install_send_app_hook(const char *app_name,
                                    uint8_t *(*hook)(uint8_t *subtype, uint32_t *length,
                                                     void *user_data),
                                    void *user_data) noexcept;
    RTP_ERROR remove_send_app_hook(const char *app_name) noexcept;
    RTP_ERROR remove_all_hooks() noexcept;

    // Queues one APP packet for the next report (the payload is copied).
    // RTP_BAD_ARGUMENT for a null name, a payload not a multiple of 4 bytes
    // or too long for one packet, or a null payload with a length.
    RTP_ERROR send_app_packet(const char *name, uint8_t subtype, uint32_t payload_len,
                              const uint8_t *payload) noexcept;
    // The next report carries a BYE for these SSRCs. RTP_BAD_ARGUMENT for
    // null or 0.
    RTP_ERROR send_bye_packet(const uint32_t *ssrcs, size_t count) noexcept;
    // Adds or replaces the item of its type (the data is not copied: keep it
    // alive until replaced or cleared). RTP_FAILED for type 0.
    RTP_ERROR add_sdes_item(const frame::rtcp_sdes_item &item) noexcept;
    // Leaves only the CNAME.
    RTP_ERROR clear_sdes_items() noexcept;

    // The last record received from `ssrc` that no hook took, or null. The
    // caller releases the arrays with frame::dealloc_*, then deletes the
    // record (and for SDES the item data first).
    frame::rtcp_sr *get_sr(uint32_t ssrc) noexcept;
    frame::rtcp_rr *get_rr(uint32_t ssrc) noexcept;
    frame::rtcp_sdes *get_sdes(uint32_t ssrc) noexcept;
    frame::rtcp_app_packet *get_app_packet(uint32_t ssrc) noexcept;

    // Called with (local SSRC, peer SSRC, round-trip time in ms) whenever a
    // report from a peer that was sent an SR carries LSR/DLSR about this
    // stream (RFC 3550 section 6.4.1). Runs on the RTCP receiving thread.
    // RTP_BAD_ARGUMENT for null.
    RTP_ERROR install_roundtrip_time_hook(void (*hook)(uint32_t local_ssrc, uint32_t remote_ssrc,
                                                       double rtt_ms)) noexcept;

    // RTCP feedback received (RFC 4585, RFC 5104), with or without
    // RCE_RTCP_FEEDBACK; run on the RTCP receiving thread, the arguments
    // valid during the call. A generic NACK: its sender, the media source
    // and the lost sequence numbers in the order it gives them. A PLI: its
    // sender and the media source. A FIR: its sender, then one call per
    // entry with the target SSRC and the command sequence number.
    // RTP_BAD_ARGUMENT for null.
    RTP_ERROR install_nack_hook(void (*hook)(uint32_t sender_ssrc, uint32_t media_ssrc,
                                             const uint16_t *lost, size_t count)) noexcept;
    RTP_ERROR install_pli_hook(void (*hook)(uint32_t sender_ssrc, uint32_t media_ssrc)) noexcept;
    RTP_ERROR install_fir_hook(void (*hook)(uint32_t sender_ssrc, uint32_t target_ssrc,
                                            uint8_t seq)) noexcept;

    // What this stream has received from `ssrc` so far (RFC 3550 A.3, A.8):
    // false when nothing is known about that source.
    struct reception_statistics {
        uint32_t expected;     // packets expected from the first sequence number on
        uint32_t received;     // packets counted
        int32_t lost;          // cumulative, expected - received, never negative
        double fraction_lost;  // lost / expected, 0..1
        double jitter_ms;      // interarrival jitter in milliseconds
        uint32_t clock_rate;   // of the source's RTP timestamps
    };
    bool get_reception_statistics(uint32_t ssrc, reception_statistics *out) noexcept;

    // The clock the SR's RTP timestamp follows; `clock_rate` 0 keeps the
    // stream's rate.
    RTP_ERROR set_ts_info(uint64_t clock_start, uint32_t clock_rate,
                          uint32_t rtp_ts_start) noexcept;

    rtcp_internal *internal() noexcept { return impl_.get(); }

private:
    std::unique_ptr<rtcp_internal> impl_;
};

}  // namespace tessal
