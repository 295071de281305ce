// Feeds compound RTCP datagrams to an RTCP object's reception, and the same
// bytes to the feedback parsers on their own. Input: a flags byte (bit 0:
// hooks take the records, else they stay pending and are replaced by the
// next datagram; bit 1: a round-trip hook; bit 2: feedback on, the bytes
// also become feedback requests; bit 3: reduced size), then the datagram,
// given twice. Nothing may be read outside the datagram, and every record
// must be released.
#include <cstdint>
#include <vector>

#include "rtcp_fuzz_engine.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    if (size == 0) {
        return 0;
    }
    const std::unique_ptr<rtcp_internal> engine = fuzz_rtcp::make_engine(data[0]);
    rtcp_internal &rtcp = *engine;
    if (data[0] & 2) {
        rtcp.update_sender_stats(100);
        rtcp.generate_report();
    }
    for (int round = 0; round < 2; ++round) {
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + 1, data + size);
        rtcp.handle_incoming_packet(datagram.data(), datagram.size());
    }
    {
        // The parsers alone, on an exact-size copy (reception decrypts in
        // place with SRTCP, never here, but the copy keeps them honest).
        const std::vector<uint8_t> packet(data + 1, data + size);
        rtcp_nack nack;
        rtcp_pli pli;
        rtcp_fir fir;
        parse_nack_packet(packet.data(), packet.size(), nack);
        parse_pli_packet(packet.data(), packet.size(), pli);
        parse_fir_packet(packet.data(), packet.size(), fir);
    }
    if (data[0] & 4) {
        fuzz_rtcp::request_feedback(rtcp, 0x11223344, data + 1, size - 1);
    }
    return 0;
}
