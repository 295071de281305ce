#pragma once

// The RTCP object both RTCP fuzz targets drive: a transport that sends
// nowhere, started without its report thread, a clock that moves only when
// told, and the flags byte's choices (bit 0: hooks take the records, else
// they stay pending, feedback records then dropped; bit 1: a round-trip hook;
// bit 2: RCE_RTCP_FEEDBACK, bit 3 with it: RCE_RTCP_REDUCED_SIZE).

#include <cstdint>
#include <memory>
#include <vector>

#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"

namespace fuzz_rtcp {

struct null_transport : tessal::rtcp_transport {
    tessal::RTP_ERROR open() override { return tessal::RTP_SUCCESS; }
    void start_receiving() override {}
    tessal::RTP_ERROR send(const uint8_t *, size_t) override { return tessal::RTP_SUCCESS; }
    void close() override {}
    size_t header_overhead() const override { return 28; }
};

// The engine's NTP clock: starts at the same instant every run.
inline uint64_t &clock_ntp() {
    static uint64_t now = 0;
    return now;
}
inline uint64_t read_clock() {
    return clock_ntp();
}
inline void advance_clock_ms(uint64_t ms) {
    clock_ntp() += (ms << 32) / 1000;
}

inline void take_sr(tessal::frame::rtcp_sender_report *sr) {
    delete sr;
}
inline void take_rr(tessal::frame::rtcp_receiver_report *rr) {
    delete rr;
}
inline void take_sdes(tessal::frame::rtcp_sdes_packet *sdes) {
    tessal::sdes_packet_deleter()(sdes);
}
inline void take_app(tessal::frame::rtcp_app_packet *app) {
    tessal::app_packet_deleter()(app);
}
inline void take_nack(tessal::rtcp_nack *nack) {
    delete nack;
}
inline void take_pli(tessal::rtcp_pli *pli) {
    delete pli;
}
inline void take_fir(tessal::rtcp_fir *fir) {
    delete fir;
}

// A started RTCP object with the hooks `flags` asks for.
inline std::unique_ptr<tessal::rtcp_internal> make_engine(uint8_t flags) {
    using namespace tessal;
    shared_ssrc local = make_shared_ssrc(0xAABBCCDD);
    int rce = RCE_WITH_RTCP;
    if (flags & 4) {
        rce |= RCE_RTCP_FEEDBACK | ((flags & 8) ? RCE_RTCP_REDUCED_SIZE : 0);
    }
    auto rtcp = std::make_unique<rtcp_internal>(std::make_shared<rtp>(FMT_H265, local, false),
                                                local, make_shared_ssrc(1), "fuzz", rce);
    clock_ntp() = 0x83AA7E8000000000ULL;
    rtcp->set_ntp_source(read_clock);
    rtcp->set_transport(std::make_shared<null_transport>());
    rtcp->start_without_runner();
    if (flags & 1) {
        rtcp->install_sender_hook(take_sr);
        rtcp->install_receiver_hook(take_rr);
        rtcp->install_sdes_hook(take_sdes);
        rtcp->install_app_hook(take_app);
        rtcp->install_nack_hook(take_nack);
        rtcp->install_pli_hook(take_pli);
        rtcp->install_fir_hook(take_fir);
    }
    if (flags & 2) {
        rtcp->install_roundtrip_time_hook([](uint32_t, uint32_t, double) {});
    }
    return rtcp;
}

// Feedback requests from fuzz bytes (RCE_RTCP_FEEDBACK engines): a NACK of
// the sequence numbers the bytes spell (big-endian pairs), a PLI and a FIR
// about `media`, then whatever waits goes out early.
inline void request_feedback(tessal::rtcp_internal &rtcp, uint32_t media, const uint8_t *data,
                             size_t size) {
    std::vector<uint16_t> lost;
    for (size_t i = 0; i + 1 < size && lost.size() < 4096; i += 2) {
        lost.push_back(static_cast<uint16_t>(data[i] << 8 | data[i + 1]));
    }
    rtcp.send_nack(media, lost);
    rtcp.send_pli(media);
    rtcp.send_fir(media);
    rtcp.send_early_feedback();
}

}  // namespace fuzz_rtcp
