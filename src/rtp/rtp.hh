#pragma once

// Per-stream RTP sender state (RFC 3550 section 5.1): SSRC, sequence number,
// timestamps and payload type, the payload size the formats cut frames to,
// and the RTP reception handler that turns a datagram into an rtp_frame.
//
// Header writing runs on the one thread that pushes a stream's frames; the
// RTCP thread reads get_rtp_ts()/get_sampling_ntp() concurrently;
// configuration setters may run on any application thread.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "util/clock.hh"
#include "util/hot_lines.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

constexpr size_t k_rtp_header_size = 12;
constexpr size_t k_default_payload_size_v4 = 1452;
constexpr size_t k_default_payload_size_v6 = 1432;
constexpr size_t k_default_pkt_max_delay_ms = 500;

// Clock-derived RTP timestamps (RFC 3550 section 5.1: the timestamp grows
// at the payload format's clock rate): `base` at `origin`, `rate` ticks per
// second after it. Nothing here reads a clock.
struct timestamp_clock {
    uint32_t base = 0;
    clock::hrc::hrc_t origin{};
    uint32_t rate = 0;

    // The timestamp at `now`; `base` for any instant before `origin`.
    uint32_t at(clock::hrc::hrc_t now) const noexcept;
    // Runs at `new_rate` from timestamp `ts` taken at `taken` on, so that a
    // rate change neither jumps nor stalls the timestamps.
    void rebase(uint32_t new_rate, uint32_t ts, clock::hrc::hrc_t taken) noexcept {
        base = ts;
        origin = taken;
        rate = new_rate;
    }
};

class rtp {
public:
    using time_source = clock::hrc::hrc_t (*)();

    rtp(RTP_FORMAT format, shared_ssrc local_ssrc, bool ipv6);

    // Default clock rate of `format` (RFC 3551); 8000 Hz with a WARNING for
    // variable-rate and unknown formats.
    void set_default_clock_rate(RTP_FORMAT format);

    uint32_t get_ssrc() const noexcept;
    uint16_t get_sequence() const noexcept { return next_sequence_; }
    void inc_sequence() noexcept { ++next_sequence_; }
    void inc_sent_pkts() noexcept { ++sent_packets_; }
    uint64_t get_sent_pkts() const noexcept { return sent_packets_; }

    // What the socket accepted from the send queue, and the sends it
    // refused. Counted on the pushing thread (its only writer), read from
    // any thread.
    void count_sent(uint64_t packets, uint64_t bytes) noexcept {
        packets_sent_.store(packets_sent_.load(std::memory_order_relaxed) + packets,
                            std::memory_order_relaxed);
        bytes_sent_.store(bytes_sent_.load(std::memory_order_relaxed) + bytes,
                          std::memory_order_relaxed);
    }
    void count_send_failure() noexcept {
        send_failures_.store(send_failures_.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
    }
    uint64_t packets_sent() const noexcept { return packets_sent_.load(std::memory_order_relaxed); }
    uint64_t bytes_sent() const noexcept { return bytes_sent_.load(std::memory_order_relaxed); }
    uint64_t send_failures() const noexcept {
        return send_failures_.load(std::memory_order_relaxed);
    }

    // Writes the next sequence number into bytes 2-3 of a 12-byte header.
    void update_sequence(uint8_t *header) const noexcept;

    // Writes a complete 12-byte header: 0x80, payload type without marker,
    // sequence, timestamp, SSRC. With `reuse_last_timestamp` the previous
    // header's timestamp is repeated.
    void fill_header(uint8_t *header, bool reuse_last_timestamp) noexcept;

    // An application timestamp for the next headers; -1 clears it.
    void set_timestamp(uint64_t value) noexcept {
        explicit_timestamp_ = static_cast<int64_t>(value);
    }
    void set_sampling_ntp(uint64_t ntp) noexcept;
    uint64_t get_sampling_ntp() const noexcept {
        return sampling_ntp_.load(std::memory_order_relaxed);
    }
    uint32_t get_rtp_ts() const noexcept { return last_rtp_ts_.load(std::memory_order_relaxed); }

    void set_clock_rate(uint32_t rate) noexcept {
        clock_rate_.store(rate, std::memory_order_relaxed);
    }
    uint32_t get_clock_rate() const noexcept { return clock_rate_.load(std::memory_order_relaxed); }
    void set_dynamic_payload(uint8_t pt) noexcept {
        dynamic_payload_.store(pt, std::memory_order_relaxed);
    }
    uint8_t get_dynamic_payload() const noexcept {
        return dynamic_payload_.load(std::memory_order_relaxed);
    }
    void set_payload_size(size_t size) noexcept {
        payload_size_.store(size, std::memory_order_relaxed);
    }
    size_t get_payload_size() const noexcept {
        return payload_size_.load(std::memory_order_relaxed);
    }
    void set_pkt_max_delay(size_t ms) noexcept {
        pkt_max_delay_.store(ms, std::memory_order_relaxed);
    }
    size_t get_pkt_max_delay() const noexcept {
        return pkt_max_delay_.load(std::memory_order_relaxed);
    }
    RTP_FORMAT get_payload() const noexcept { return format_; }

    // The RTP reception handler: RTP_PKT_SKIPPED for a datagram that is not
    // RTP (shorter than 12 bytes or not version 2); RTP_FAILED and *out null
    // when the CSRC list, extension or padding does not fit; RTP_PKT_CHANGED
    // with a new frame in *out otherwise; RTP_SUCCESS with the frame in *out
    // (the caller releases it) for a packet of padding only without
    // RCE_WITH_RTCP, as nothing then counts it. `arg` is the stream's
    // frame::frame_pool, or null for frames from the heap. Reads no state;
    // never reads outside [packet, packet + size).
    static RTP_ERROR packet_handler(void *arg, int rce_flags, uint8_t *packet, size_t size,
                                    frame::rtp_frame **out) noexcept;

    // Replaces the steady clock behind clock-derived timestamps (tests).
    void set_time_source(time_source source) noexcept { now_ = source; }

    // Adds the lines a sent header touches: this state and the SSRC cell.
    void collect_hot_lines(hot_lines &out) const {
        out.add(this, sizeof(*this));
        out.add(local_ssrc_.get(), sizeof(*local_ssrc_));
    }

private:
    uint32_t clock_timestamp() noexcept;

    shared_ssrc local_ssrc_;
    timestamp_clock clock_;  // at the rate of the last clock-derived timestamp
    uint16_t next_sequence_;
    RTP_FORMAT format_;
    std::atomic<uint8_t> dynamic_payload_;
    std::atomic<uint32_t> clock_rate_{8000};
    // The last clock-derived timestamp and when it was taken (pushing thread).
    bool clock_used_ = false;
    uint32_t last_clock_ts_ = 0;
    clock::hrc::hrc_t last_clock_at_{};
    uint64_t sent_packets_ = 0;
    int64_t explicit_timestamp_ = -1;
    bool ntp_given_ = false;
    std::atomic<uint64_t> sampling_ntp_{0};
    std::atomic<uint32_t> last_rtp_ts_{0};
    bool last_ts_from_clock_ = false;
    std::atomic<size_t> payload_size_;
    std::atomic<size_t> pkt_max_delay_{k_default_pkt_max_delay_ms};
    time_source now_ = clock::hrc::now;
    std::atomic<uint64_t> packets_sent_{0};
    std::atomic<uint64_t> bytes_sent_{0};
    std::atomic<uint64_t> send_failures_{0};
};

}  // namespace tessal
