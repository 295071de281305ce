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

h265::h265(std::shared_ptr<socket> socket, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(socket), std::move(rtp_ctx), rce_flags) {}

h265::~h265() = default;

// RFC 7798 section 1.1.4:
//   +---------------+---------------+
//   |F|   Type    |  LayerId  | TID |
//   +---------------+---------------+
uint8_t h265::get_nal_type(uint8_t *nal) const {
    return (nal[0] >> 1) & 0x3F;
}

RTP_ERROR h265::add_aggregate_packet(uint8_t *data, size_t data_len) {
    aggregation_nalus_.emplace_back(data_len, data);
    return RTP_SUCCESS;
}

// RFC 7798 section 4.4.2:
//   +---------------+------------+--------+------------+--------+--
//   | PayloadHdr    | NALU 1     | NALU 1 | NALU 2     | NALU 2 | ...
//   | (type 48)     | size (16)  |        | size (16)  |        |
//   +---------------+------------+--------+------------+--------+--
RTP_ERROR h265::finalize_aggregation_pkt() {
    if (aggregation_nalus_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    aggregation_header_[0] = 48 << 1;  // F = 0, type 48, LayerId 0
    aggregation_header_[1] = 1;        // TID 1
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

void h265::clear_aggregation_info() {
    aggregation_nalus_.clear();
    aggregation_sizes_.clear();
    aggregation_buffers_.clear();
}

// RFC 7798 section 4.4.3:
//   +---------------+---------------+---------------+------------------+
//   |F| Type = 49 |  LayerId  | TID |S|E|  FuType   | fragment         |
//   +---------------+---------------+---------------+------------------+
RTP_ERROR h265::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    if (const RTP_ERROR rc = check_fu_division(data_len, payload_size); rc != RTP_SUCCESS) {
        return rc;
    }
    uint8_t *headers = fqueue_->get_media_headers();
    if (headers == nullptr) {
        LOG_ERROR("No FU header buffer in the transaction");
        return RTP_UNINITIALIZED;
    }
    // RFC 7798 section 4.4.3: F, LayerId and TID are those of the
    // fragmented NAL unit; only the type changes.
    headers[0] = static_cast<uint8_t>((data[0] & 0x81) | (k_fu << 1));
    headers[1] = data[1];
    initialize_fu_headers(get_nal_type(data), headers + 2);

    buffer_vector &buffers = fqueue_->get_buffer_vector();
    buffers.emplace_back(get_payload_header_size(), headers);
    buffers.emplace_back(get_fu_header_size(), headers + 2);
    buffers.emplace_back(payload_size, nullptr);
    return divide_frame_to_fus(data, data_len, payload_size, buffers, headers + 2);
}

}  // namespace formats
}  // namespace tessal
