// Feeds compound RTCP datagrams to an RTCP object's reception. Input: a
// flags byte (bit 0: hooks take the records, else they stay pending and
// are replaced by the next datagram; bit 1: a round-trip hook), then the
// datagram, given twice. Nothing may be read outside the datagram, and every
// record must be released.
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
        rtcp.update_sender_stats(100);
        rtcp.generate_report();
    }
    for (int round = 0; round < 2; ++round) {
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + 1, data + size);
        rtcp.handle_incoming_packet(datagram.data(), datagram.size());
    }
    return 0;
}
