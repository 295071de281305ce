// H.266 send side (RFC 9328): aggregation packets (AP) and fragmentation
// units (FU), without DON fields. The receive side is in h266_receive.cc.

#include "formats/h26x.hh"

#include <utility>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr uint8_t k_fu = 29;
constexpr size_t k_max_aggregated_size = 0xFFFE;

}  // namespace

h266::h266(std::shared_ptr<socket> socket, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(socket), std::move(rtp_ctx), rce_flags) {}

h266::~h266() = default;

// RFC 9328 section 1.1.4:
//   +---------------+---------------+
//   |F|Z| LayerID   |  Type   | TID |
//   +---------------+---------------+
uint8_t h266::get_nal_type(uint8_t *nal) const {
    return nal[1] >> 3;
}

RTP_ERROR h266::add_aggregate_packet(uint8_t *data, size_t data_len) {
    aggregation_.add(data, data_len);
    return RTP_SUCCESS;
}

//   +---------------+------------+--------+------------+--------+--
//   | 0x38 0x01     | NALU 1     | NALU 1 | NALU 2     | NALU 2 | ...
//   |               | size (16)  |        | size (16)  |        |
//   +---------------+------------+--------+------------+--------+--
RTP_ERROR h266::finalize_aggregation_pkt() {
    if (aggregation_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    // The AP type 28 sits where H.265 puts its type (first byte, shifted by
    // one), not in the second byte as in RFC 9328 section 4.3.2; peers of
    // this library recognise aggregation packets by this first byte, and our
    // receiver accepts both forms.
    const uint8_t header[2] = {28 << 1, 1};
    return aggregation_.enqueue(*fqueue_, header, 2, k_max_aggregated_size, "NALU too large",
                                "Failed to enqueue buffers of an aggregation packet!");
}

void h266::clear_aggregation_info() {
    aggregation_.clear();
}

// RFC 9328 section 4.3.3:
//   +---------------+---------------+---------------+------------------+
//   |F|Z| LayerID   | Type=29 | TID |S|E|P| FuType  | fragment         |
//   +---------------+---------------+---------------+------------------+
RTP_ERROR h266::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    RTP_ERROR rc = RTP_SUCCESS;
    uint8_t *headers = fu_header_buffer(data_len, payload_size, rc);
    if (headers == nullptr) {
        return rc;
    }
    headers[0] = data[0];
    headers[1] = static_cast<uint8_t>((k_fu << 3) | (data[1] & 0x07));
    initialize_fu_headers(get_nal_type(data), headers + 2);
    return divide_into_fus(data, data_len, payload_size, headers, headers + 2);
}

}  // namespace formats
}  // namespace tessal
