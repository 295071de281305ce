// Drives one RTCP object through a session: compound datagrams from peers,
// media packets counted in the reception statistics, reports built between
// them, and sources aged out, in the order the input gives. State carried
// from one datagram to the next (members, statistics, pending records, the
// last SR of each peer) is what a single-datagram target cannot reach.
//
// Input: a flags byte (bit 0: hooks take the records; bit 1: a round-trip
// hook; bit 2: feedback on; bit 3: reduced size), then records of a kind
// byte and a 2-byte big-endian length: kind % 4 = 0: an RTCP compound
// datagram; 1: an RTP datagram; 2: build a report, or with feedback on and
// kind bit 2 set, request feedback spelled by the record's bytes; 3: move the
// clock on by the length in seconds and time sources out.
#include <algorithm>
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
    for (size_t pos = 1; pos + 3 <= size;) {
        const uint8_t kind = data[pos] % 4;
        const bool feedback_request = (data[0] & 4) && (data[pos] & 4);
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
        } else if (kind == 2 && feedback_request) {
            fuzz_rtcp::request_feedback(rtcp, 1, datagram.data(), datagram.size());
        } else if (kind == 2) {
            rtcp.update_sender_stats(len);
            rtcp.generate_report();
        } else {
            fuzz_rtcp::advance_clock_ms(uint64_t{len} * 1000);
            rtcp.age_sources();
        }
    }
    rtcp.stop();
    return 0;
}
