// Drives one RTCP object through a session: compound datagrams from peers,
// media packets counted in the reception statistics, reports built between
// them, and sources aged out, in the order the input gives. State carried
// from one datagram to the next (members, statistics, pending records, the
// last SR of each peer) is what a single-datagram target cannot reach.
//
// Input: a flags byte (bit 0: hooks take the records; bit 1: a round-trip
// hook), then records of a kind byte and a 2-byte big-endian length:
// kind % 4 = 0: an RTCP compound datagram; 1: an RTP datagram; 2: build a
// report; 3: age the sources by the length in seconds.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"

namespace {

struct null_transport : tessal::rtcp_transport {
    tessal::RTP_ERROR open() override { return tessal::RTP_SUCCESS; }
    void start_receiving() override {}
    tessal::RTP_ERROR send(const uint8_t *, size_t) override { return tessal::RTP_SUCCESS; }
    void close() override {}
    size_t header_overhead() const override { return 28; }
};

void take_sr(tessal::frame::rtcp_sender_report *sr) {
    delete sr;
}
void take_rr(tessal::frame::rtcp_receiver_report *rr) {
    delete rr;
}
void take_sdes(tessal::frame::rtcp_sdes_packet *sdes) {
    tessal::sdes_packet_deleter()(sdes);
}
void take_app(tessal::frame::rtcp_app_packet *app) {
    tessal::app_packet_deleter()(app);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    if (size == 0) {
        return 0;
    }
    shared_ssrc local = make_shared_ssrc(0xAABBCCDD);
    rtcp_internal rtcp(std::make_shared<rtp>(FMT_H265, local, false), local, make_shared_ssrc(1),
                       "fuzz", RCE_WITH_RTCP);
    rtcp.set_transport(std::make_shared<null_transport>());
    rtcp.start_without_runner();
    if (data[0] & 1) {
        rtcp.install_sender_hook(take_sr);
        rtcp.install_receiver_hook(take_rr);
        rtcp.install_sdes_hook(take_sdes);
        rtcp.install_app_hook(take_app);
    }
    if (data[0] & 2) {
        rtcp.install_roundtrip_time_hook([](uint32_t, uint32_t, double) {});
    }
    for (size_t pos = 1; pos + 3 <= size;) {
        const uint8_t kind = data[pos] % 4;
        const size_t len =
            std::min<size_t>(size_t{data[pos + 1]} << 8 | data[pos + 2], size - pos - 3);
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + pos + 3, data + pos + 3 + len);
        pos += 3 + len;
        if (kind == 0) {
            rtcp.handle_incoming_packet(datagram.data(), datagram.size());
        } else if (kind == 1) {
            frame::rtp_frame *out = nullptr;
            if (rtp::packet_handler(nullptr, 0, datagram.data(), len, &out) == RTP_PKT_CHANGED) {
                rtcp_internal::recv_packet_handler_common(&rtcp, RCE_WITH_RTCP, datagram.data(),
                                                          len, &out);
            }
            frame::dealloc_frame(out);
        } else if (kind == 2) {
            rtcp.update_sender_stats(len);
            rtcp.generate_report();
        } else {
            rtcp.age_sources(static_cast<uint32_t>(len) * 1000);
        }
    }
    rtcp.stop();
    return 0;
}
