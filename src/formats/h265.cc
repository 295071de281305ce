// H.265 send side (RFC 7798): aggregation packets (AP) and fragmentation
// units (FU), without DON fields. The receive side is in h265_receive.cc.

#include "formats/h26x.hh"

#include <utility>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr uint8_t k_fu = 49;
constexpr size_t k_max_aggregated_size = 0xFFFE;

}  // namespace

h265::h265(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(sink), std::move(rtp_ctx), rce_flags) {}

h265::~h265() = default;

// RFC 7798 section 1.1.4:
//   +---------------+---------------+
//   |F|   Type    |  LayerId  | TID |
//   +---------------+---------------+
uint8_t h265::get_nal_type(uint8_t *nal) const {
    return (nal[0] >> 1) & 0x3F;
}

RTP_ERROR h265::add_aggregate_packet(uint8_t *data, size_t data_len) {
    aggregation_.add(data, data_len);
    return RTP_SUCCESS;
}

// RFC 7798 section 4.4.2:
//   +---------------+------------+--------+------------+--------+--
//   | PayloadHdr    | NALU 1     | NALU 1 | NALU 2     | NALU 2 | ...
//   | (type 48)     | size (16)  |        | size (16)  |        |
//   +---------------+------------+--------+------------+--------+--
RTP_ERROR h265::finalize_aggregation_pkt() {
    if (aggregation_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    const uint8_t header[2] = {48 << 1, 1};  // F = 0, type 48, LayerId 0, TID 1
    return aggregation_.enqueue(*fqueue_, header, 2, k_max_aggregated_size, "NALU too large",
                                "Failed to enqueue buffers of an aggregation packet!");
}

void h265::clear_aggregation_info() {
    aggregation_.clear();
}

// RFC 7798 section 4.4.3:
//   +---------------+---------------+---------------+------------------+
//   |F| Type = 49 |  LayerId  | TID |S|E|  FuType   | fragment         |
//   +---------------+---------------+---------------+------------------+
RTP_ERROR h265::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    RTP_ERROR rc = RTP_SUCCESS;
    uint8_t *headers = fu_header_buffer(data_len, payload_size, rc);
    if (headers == nullptr) {
        return rc;
    }
    // RFC 7798 section 4.4.3: F, LayerId and TID are those of the
    // fragmented NAL unit; only the type changes.
    headers[0] = static_cast<uint8_t>((data[0] & 0x81) | (k_fu << 1));
    headers[1] = data[1];
    initialize_fu_headers(get_nal_type(data), headers + 2);
    return divide_into_fus(data, data_len, payload_size, headers, headers + 2);
}

}  // namespace formats
}  // namespace tessal
