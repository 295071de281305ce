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
    aggregation_nalus_.emplace_back(data_len, data);
    return RTP_SUCCESS;
}

//   +---------------+------------+--------+------------+--------+--
//   | 0x38 0x01     | NALU 1     | NALU 1 | NALU 2     | NALU 2 | ...
//   |               | size (16)  |        | size (16)  |        |
//   +---------------+------------+--------+------------+--------+--
RTP_ERROR h266::finalize_aggregation_pkt() {
    if (aggregation_nalus_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    // The AP type 28 sits where H.265 puts its type (first byte, shifted by
    // one), not in the second byte as in RFC 9328 section 4.3.2; peers of
    // this library recognise aggregation packets by this first byte.
    aggregation_header_[0] = 28 << 1;
    aggregation_header_[1] = 1;
    aggregation_buffers_.emplace_back(sizeof(aggregation_header_), aggregation_header_);

    // The size fields are pointed at by the buffer list: sized once, never
    // moved until the flush.
    aggregation_sizes_.resize(aggregation_nalus_.size());
    for (size_t i = 0; i < aggregation_nalus_.size(); ++i) {
        const auto &unit = aggregation_nalus_[i];
        if (unit.first > k_max_aggregated_size) {
            LOG_ERROR("NALU too large");
            continue;
        }
        write_be16(aggregation_sizes_[i].data(), static_cast<uint16_t>(unit.first));
        aggregation_buffers_.emplace_back(2, aggregation_sizes_[i].data());
        aggregation_buffers_.emplace_back(unit.first, unit.second);
    }
    const RTP_ERROR rc = fqueue_->enqueue_message(aggregation_buffers_);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to enqueue buffers of an aggregation packet!");
        return rc;
    }
    return RTP_SUCCESS;
}

void h266::clear_aggregation_info() {
    aggregation_nalus_.clear();
    aggregation_sizes_.clear();
    aggregation_buffers_.clear();
}

// RFC 9328 section 4.3.3:
//   +---------------+---------------+---------------+------------------+
//   |F|Z| LayerID   | Type=29 | TID |S|E|P| FuType  | fragment         |
//   +---------------+---------------+---------------+------------------+
RTP_ERROR h266::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    if (const RTP_ERROR rc = check_fu_division(data_len, payload_size); rc != RTP_SUCCESS) {
        return rc;
    }
    uint8_t *headers = fqueue_->get_media_headers();
    if (headers == nullptr) {
        LOG_ERROR("No FU header buffer in the transaction");
        return RTP_UNINITIALIZED;
    }
    headers[0] = data[0];
    headers[1] = static_cast<uint8_t>((k_fu << 3) | (data[1] & 0x07));
    initialize_fu_headers(get_nal_type(data), headers + 2);

    buffer_vector &buffers = fqueue_->get_buffer_vector();
    buffers.emplace_back(get_payload_header_size(), headers);
    buffers.emplace_back(get_fu_header_size(), headers + 2);
    buffers.emplace_back(payload_size, nullptr);
    return divide_frame_to_fus(data, data_len, payload_size, buffers, headers + 2);
}

}  // namespace formats
}  // namespace tessal
