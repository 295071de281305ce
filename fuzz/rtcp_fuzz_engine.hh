#pragma once

// The RTCP object both RTCP fuzz targets drive: a transport that sends
// nowhere, started without its report thread, a clock that moves only when
// told, and the flags byte's choices (bit 0: hooks take the records, else
// they stay pending; bit 1: a round-trip hook).

#include <cstdint>
#include <memory>

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

// A started RTCP object with the hooks `flags` asks for.
inline std::unique_ptr<tessal::rtcp_internal> make_engine(uint8_t flags) {
    using namespace tessal;
    shared_ssrc local = make_shared_ssrc(0xAABBCCDD);
    auto rtcp = std::make_unique<rtcp_internal>(std::make_shared<rtp>(FMT_H265, local, false),
                                                local, make_shared_ssrc(1), "fuzz", RCE_WITH_RTCP);
    clock_ntp() = 0x83AA7E8000000000ULL;
    rtcp->set_ntp_source(read_clock);
    rtcp->set_transport(std::make_shared<null_transport>());
    rtcp->start_without_runner();
    if (flags & 1) {
        rtcp->install_sender_hook(take_sr);
        rtcp->install_receiver_hook(take_rr);
        rtcp->install_sdes_hook(take_sdes);
        rtcp->install_app_hook(take_app);
    }
    if (flags & 2) {
        rtcp->install_roundtrip_time_hook([](uint32_t, uint32_t, double) {});
    }
    return rtcp;
}

}  // namespace fuzz_rtcp
