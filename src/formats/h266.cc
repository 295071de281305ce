// H.266 send side (RFC 9328): aggregation packets (AP) and fragmentation
// units (FU), without DON fields. The receive side is in h266_receive.cc.

#include "formats/h26x.hh"

#include <algorithm>
#include <utility>
#include <vector>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr uint8_t k_ap = 28;
constexpr uint8_t k_fu = 29;
constexpr size_t k_max_aggregated_size = 0xFFFE;
constexpr uint8_t k_f_bit = 0x80;
constexpr uint8_t k_layer_id_bits = 0x3F;
constexpr uint8_t k_tid_bits = 0x07;

// RFC 9328 section 4.3.2: the AP payload header has Type 28, F set when any
// aggregated unit has F set, Z = 0, and the lowest LayerId and the lowest TID
// of the aggregated units. Units left out of the packet for their size, and
// units too short for a header, count for nothing.
//
//   +---------------+---------------+
//   |F|Z| LayerID   | Type=28 | TID |
//   +---------------+---------------+
void rfc9328_ap_header(const std::vector<std::pair<size_t, uint8_t *>> &units, uint8_t *header) {
    uint8_t f = 0;
    uint8_t layer_id = k_layer_id_bits;
    uint8_t tid = k_tid_bits;
    for (const auto &unit : units) {
        if (unit.first < 2 || unit.first > k_max_aggregated_size) {
            continue;
        }
        const uint8_t *nal = unit.second;
        f = static_cast<uint8_t>(f | (nal[0] & k_f_bit));
        layer_id = std::min(layer_id, static_cast<uint8_t>(nal[0] & k_layer_id_bits));
        tid = std::min(tid, static_cast<uint8_t>(nal[1] & k_tid_bits));
    }
    header[0] = static_cast<uint8_t>(f | layer_id);
    header[1] = static_cast<uint8_t>((k_ap << 3) | tid);
}

}  // namespace

h266::h266(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(sink), std::move(rtp_ctx), rce_flags) {}

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
//   | PayloadHdr    | NALU 1     | NALU 1 | NALU 2     | NALU 2 | ...
//   | (2 bytes)     | size (16)  |        | size (16)  |        |
//   +---------------+------------+--------+------------+--------+--
RTP_ERROR h266::finalize_aggregation_pkt() {
    if (aggregation_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    // By default the AP type 28 sits where H.265 puts its type (0x38 0x01:
    // first byte, shifted by one), not in the second byte as in RFC 9328
    // section 4.3.2; peers of this library recognise aggregation packets by
    // this first byte. Our receiver accepts both forms.
    uint8_t header[2] = {k_ap << 1, 1};
    if (get_rfc9328_aggregation()) {
        rfc9328_ap_header(aggregation_.nalus(), header);
    }
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
