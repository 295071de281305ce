#pragma once

// What the tools print about RTCP (--rtcp): the reports peers send, round-trip
// times, and this side's own reception statistics. The hooks are plain
// functions, so the clock rate for jitter in milliseconds is kept here.

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cli.hh"
#include "tessal/tessal.hh"

namespace tessal_tools {

inline std::atomic<uint32_t> &rtcp_clock_rate() {
    static std::atomic<uint32_t> rate{90000};
    return rate;
}

inline double jitter_ms(uint32_t jitter) {
    const uint32_t rate = rtcp_clock_rate().load();
    return rate > 0 ? jitter * 1000.0 / rate : 0.0;
}

inline void print_report_blocks(const char *kind, uint32_t sender,
                                const tessal::frame::rtcp_report_block *blocks, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const auto &b = blocks[i];
        // RFC 3550 section 6.4.1: a signed 24-bit count (duplicates make it
        // negative).
        const int32_t lost = (b.cumulative_lost & 0x800000) != 0
                                 ? static_cast<int32_t>(b.cumulative_lost) - 0x1000000
                                 : static_cast<int32_t>(b.cumulative_lost);
        std::printf("rtcp: %s from %08" PRIx32 " about %08" PRIx32
                    ": fraction lost %.1f%%, cumulative lost %" PRId32 ", jitter %" PRIu32
                    " (%.2f ms), LSR %08" PRIx32 ", DLSR %.3f s\n",
                    kind, sender, b.source_ssrc, b.fraction_lost * 100.0 / 256.0, lost, b.jitter,
                    jitter_ms(b.jitter), b.last_sr, b.delay_since_last_sr / 65536.0);
    }
    if (count == 0 && kind[0] == 'R') {
        std::printf("rtcp: %s from %08" PRIx32 " with no report blocks\n", kind, sender);
    }
    std::fflush(stdout);
}

inline void on_receiver_report(tessal::frame::rtcp_rr *rr) {
    print_report_blocks("RR", rr->sender_ssrc, rr->reports, rr->header.count);
    tessal::frame::dealloc_rr(rr);
}

inline void on_sender_report(tessal::frame::rtcp_sr *sr) {
    const double fraction = sr->info.ntp_fraction / 4294967296.0;
    std::printf("rtcp: SR from %08" PRIx32 ": NTP %" PRIu32 ".%09.0f, RTP timestamp %" PRIu32
                ", %" PRIu32 " packets, %" PRIu32 " octets\n",
                sr->sender_ssrc, sr->info.ntp_seconds,
                fraction * 1e9 >= 999999999.5 ? 999999999.0 : fraction * 1e9,
                sr->info.rtp_timestamp, sr->info.packet_count, sr->info.octet_count);
    print_report_blocks("SR", sr->sender_ssrc, sr->reports, sr->header.count);
    tessal::frame::dealloc_sr(sr);
}

inline void on_roundtrip(uint32_t, uint32_t remote, double rtt_ms) {
    std::printf("rtcp: round-trip time to %08" PRIx32 ": %.2f ms\n", remote, rtt_ms);
    std::fflush(stdout);
}

// Installs the printing hooks; false (with a message) when the stream runs
// without RTCP.
inline bool watch_rtcp(const char *tool, tessal::media_stream *stream) {
    // Read once the stream runs (user keys start it).
    const int rate = stream->get_configuration_value(tessal::RCC_RTP_CLOCK_RATE);
    rtcp_clock_rate().store(rate > 0 ? static_cast<uint32_t>(rate) : 90000);
    tessal::rtcp *r = stream->get_rtcp();
    if (r == nullptr || r->install_receiver_hook(on_receiver_report) != tessal::RTP_SUCCESS ||
        r->install_sender_hook(on_sender_report) != tessal::RTP_SUCCESS ||
        r->install_roundtrip_time_hook(on_roundtrip) != tessal::RTP_SUCCESS) {
        std::fprintf(stderr, "%s: RTCP is not available on this stream\n", tool);
        return false;
    }
    return true;
}

// This side's reception statistics about `ssrc`, one line.
inline void print_reception(tessal::media_stream *stream, uint32_t ssrc) {
    tessal::rtcp *r = stream->get_rtcp();
    tessal::rtcp::reception_statistics s{};
    if (r == nullptr || !r->get_reception_statistics(ssrc, &s)) {
        return;
    }
    std::printf("rtcp: reception from %08" PRIx32 ": expected %" PRIu32 ", lost %" PRId32
                ", fraction lost %.1f%%, jitter %.2f ms\n",
                ssrc, s.expected, s.lost, s.fraction_lost * 100.0, s.jitter_ms);
    std::fflush(stdout);
}

// Starts a created stream the way both tools do: user keys, --set values,
// then the RTCP printing hooks. False (with a message) at the first failure.
// The stream's loss-recovery counters (RFC 4585 feedback, RFC 4588).
inline void print_loss_recovery(const char *tool, const tessal::media_stream *stream) {
    tessal::stream_statistics s;
    if (stream->get_statistics(&s) != tessal::RTP_SUCCESS) {
        return;
    }
    const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf(
        "%s: loss recovery: asked %llu packets in %llu NACKs, recovered in time %llu, late "
        "%llu, given up %llu, retransmissions received %llu; PLI/FIR sent %llu/%llu\n",
        tool, n(s.packets_requested), n(s.nacks_sent), n(s.recovered_in_time), n(s.recovered_late),
        n(s.given_up), n(s.retransmissions_received), n(s.pli_sent), n(s.fir_sent));
    std::printf(
        "%s: loss recovery: NACKs received %llu, packets resent %llu, refused by the cap %llu; "
        "PLI/FIR received %llu/%llu\n",
        tool, n(s.nacks_received), n(s.retransmissions_sent), n(s.retransmissions_refused),
        n(s.pli_received), n(s.fir_received));
}

inline bool finish_stream_setup(const char *tool, tessal::media_stream *stream, srtp_options &srtp,
                                const std::vector<config_setting> &settings, bool rtcp) {
    return key_stream(stream, srtp) && apply_settings(tool, stream, settings) &&
           (!rtcp || watch_rtcp(tool, stream));
}

}  // namespace tessal_tools
