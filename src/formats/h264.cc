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

h264::h264(std::shared_ptr<socket> socket, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(socket), std::move(rtp_ctx), rce_flags) {}

h264::~h264() = default;

// RFC 6184 section 1.3: F (1 bit), NRI (2 bits), type (5 bits).
uint8_t h264::get_nal_type(uint8_t *nal) const {
    return nal[0] & 0x1F;
}

RTP_ERROR h264::add_aggregate_packet(uint8_t *data, size_t data_len) {
    aggregation_nalus_.emplace_back(data_len, data);
    return RTP_SUCCESS;
}

//   +---------------+--------------+--------+--------------+--------+--
//   | STAP-A header | NALU 1 size  | NALU 1 | NALU 2 size  | NALU 2 | ...
//   | F|NRI|24      | (16 bits BE) |        | (16 bits BE) |        |
//   +---------------+--------------+--------+--------------+--------+--
RTP_ERROR h264::finalize_aggregation_pkt() {
    if (aggregation_nalus_.size() < 2) {
        return RTP_BAD_ARGUMENT;
    }
    // RFC 6184 section 5.7.1: the NRI of a STAP-A is the highest NRI of the
    // units it carries.
    uint8_t nri = 0;
    for (const auto &unit : aggregation_nalus_) {
        nri = std::max(nri, static_cast<uint8_t>((unit.second[0] >> 5) & 0x03));
    }
    aggregation_header_[0] = static_cast<uint8_t>((nri << 5) | k_stap_a);
    aggregation_buffers_.emplace_back(sizeof(aggregation_header_), aggregation_header_);

    // The size fields are pointed at by the buffer list: sized once, never
    // moved until the flush.
    aggregation_sizes_.resize(aggregation_nalus_.size());
    for (size_t i = 0; i < aggregation_nalus_.size(); ++i) {
        const auto &unit = aggregation_nalus_[i];
        if (unit.first > k_max_aggregated_size) {
            LOG_ERROR("NAL unit is too large");
            continue;
        }
        write_be16(aggregation_sizes_[i].data(), static_cast<uint16_t>(unit.first));
        aggregation_buffers_.emplace_back(2, aggregation_sizes_[i].data());
        aggregation_buffers_.emplace_back(unit.first, unit.second);
    }
    const RTP_ERROR rc = fqueue_->enqueue_message(aggregation_buffers_);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to enqueue NALUs of an aggregation packet!");
        return rc;
    }
    return RTP_SUCCESS;
}

void h264::clear_aggregation_info() {
    aggregation_nalus_.clear();
    aggregation_sizes_.clear();
    aggregation_buffers_.clear();
}

// RFC 6184 section 5.8:
//   +---------------+---------------+------------------+
//   | FU indicator  | FU header     | fragment         |
//   | F|NRI|28      | S|E|R|type    |                  |
//   +---------------+---------------+------------------+
RTP_ERROR h264::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    if (const RTP_ERROR rc = check_fu_division(data_len, payload_size); rc != RTP_SUCCESS) {
        return rc;
    }
    uint8_t *headers = fqueue_->get_media_headers();
    if (headers == nullptr) {
        LOG_ERROR("No FU header buffer in the transaction");
        return RTP_UNINITIALIZED;
    }
    headers[0] = static_cast<uint8_t>((data[0] & 0xE0) | k_fu_a);
    initialize_fu_headers(get_nal_type(data), headers + 1);

    buffer_vector &buffers = fqueue_->get_buffer_vector();
    buffers.emplace_back(get_payload_header_size(), headers);
    buffers.emplace_back(get_fu_header_size(), headers + 1);
    buffers.emplace_back(payload_size, nullptr);
    return divide_frame_to_fus(data, data_len, payload_size, buffers, headers + 1);
}

}  // namespace formats
}  // namespace tessal
