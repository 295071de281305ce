// H.264 send side (RFC 6184, non-interleaved mode): STAP-A aggregation and
// FU-A fragmentation. The receive side is in h264_receive.cc.

#include "formats/h26x.hh"

#include <algorithm>
#include <utility>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr uint8_t k_stap_a = 24;
constexpr uint8_t k_fu_a = 28;
constexpr size_t k_max_aggregated_size = 0xFFFF;

}  // namespace

h264::h264(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(sink), std::move(rtp_ctx), rce_flags) {}

h264::~h264() = default;

// RFC 6184 section 1.3: F (1 bit), NRI (2 bits), type (5 bits).
uint8_t h264::get_nal_type(uint8_t *nal) const {
    return nal[0] & 0x1F;
}

RTP_ERROR h264::add_aggregate_packet(uint8_t *data, size_t data_len) {
    aggregation_.add(data, data_len);
    return RTP_SUCCESS;
}

//   +---------------+--------------+--------+--------------+--------+--
//   | STAP-A header | NALU 1 size  | NALU 1 | NALU 2 size  | NALU 2 | ...
//   | F|NRI|24      | (16 bits BE) |        | (16 bits BE) |        |
//   +---------------+--------------+--------+--------------+--------+--
RTP_ERROR h264::finalize_aggregation_pkt() {
    if (aggregation_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    // RFC 6184 section 5.7.1: the NRI of a STAP-A is the highest NRI of the
    // units it carries.
    uint8_t nri = 0;
    for (const auto &unit : aggregation_.nalus()) {
        nri = std::max(nri, static_cast<uint8_t>((unit.second[0] >> 5) & 0x03));
    }
    const uint8_t header[1] = {static_cast<uint8_t>((nri << 5) | k_stap_a)};
    return aggregation_.enqueue(*fqueue_, header, 1, k_max_aggregated_size, "NAL unit is too large",
                                "Failed to enqueue NALUs of an aggregation packet!");
}

void h264::clear_aggregation_info() {
    aggregation_.clear();
}

// RFC 6184 section 5.8:
//   +---------------+---------------+------------------+
//   | FU indicator  | FU header     | fragment         |
//   | F|NRI|28      | S|E|R|type    |                  |
//   +---------------+---------------+------------------+
RTP_ERROR h264::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    RTP_ERROR rc = RTP_SUCCESS;
    uint8_t *headers = fu_header_buffer(data_len, payload_size, rc);
    if (headers == nullptr) {
        return rc;
    }
    headers[0] = static_cast<uint8_t>((data[0] & 0xE0) | k_fu_a);
    initialize_fu_headers(get_nal_type(data), headers + 1);
    return divide_into_fus(data, data_len, payload_size, headers, headers + 1);
}

}  // namespace formats
}  // namespace tessal
