// V3C (visual volumetric video-based coding) units over RTP with the H.26x
// machinery. The unit header has the two-byte H.265 layout:
//
//   +---------------+---------------+
//   |0|1|2|3|4|5|6|7|0|1|2|3|4|5|6|7|
//   +-+-------------+-----------+---+
//   |F|   Type    |  LayerId  | TID |
//   +---------------+---------------+
//
// Every push is one unit, taken whole without a start-code search
// (formats::h26x::push_media_frame): it leaves as one packet when it fits the
// payload size, else as FUs of payload header type 57. No aggregation
// packets, and no start codes on received units.

#include <cstring>
#include <utility>

#include "formats/h26x.hh"
#include "formats/h26x_receive.hh"

namespace tessal {
namespace formats {

namespace {

// Type 57 shifted into the first byte, F and the layer id's high bit clear.
constexpr uint8_t k_fu_byte = 57 << 1;  // 0x72
constexpr uint8_t k_fu_byte_mask = 0xFE;
// F and the layer id's high bit of the first header byte.
constexpr uint8_t k_f_and_layer_high = 0x81;
constexpr uint8_t k_type_bits = 0x7E;
constexpr uint8_t k_layer_high = 0x01;

uint8_t layer_id(const uint8_t *header) {
    return static_cast<uint8_t>(((header[0] & k_layer_high) << 5) | (header[1] >> 3));
}

// Layer 0 carries the key units; a unit of any other layer depends on it.
nal_class layer_class(uint8_t layer) {
    return layer == 0 ? NAL_CLASS_INTRA : NAL_CLASS_INTER;
}

}  // namespace

v3c::v3c(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : h26x(std::move(sink), std::move(rtp_ctx), rce_flags) {}

v3c::~v3c() = default;

// The whole first byte shifted right by one, without a mask: with F set the
// type reads as 64 or more.
uint8_t v3c::get_nal_type(uint8_t *nal) const {
    return static_cast<uint8_t>(nal[0] >> 1);
}

//   +---------------+---------------+---------------+------------------+
//   |F| Type = 57 |  LayerId  | TID |S|E|   Type    | fragment         |
//   +---------------+---------------+---------------+------------------+
// F, LayerId and TID are those of the unit; the FU header carries its type.
RTP_ERROR v3c::fu_division(uint8_t *data, size_t data_len, size_t payload_size) {
    RTP_ERROR rc = RTP_SUCCESS;
    uint8_t *headers = fu_header_buffer(data_len, payload_size, rc);
    if (headers == nullptr) {
        return rc;
    }
    headers[0] = static_cast<uint8_t>((data[0] & k_f_and_layer_high) | k_fu_byte);
    headers[1] = data[1];
    initialize_fu_headers(get_nal_type(data), headers + 2);
    return divide_into_fus(data, data_len, payload_size, headers, headers + 2);
}

// A first byte of 0x72 or 0x73 (either layer id high bit) starts an FU, which
// needs its FU header; anything else of at least the two header bytes is a
// single unit.
fragment_kind v3c::get_fragment_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr ||
        frame->payload_length < get_payload_header_size()) {
        return FRAGMENT_INVALID;
    }
    const uint8_t *payload = frame->payload;
    if ((payload[0] & k_fu_byte_mask) != k_fu_byte) {
        return FRAGMENT_NONE;
    }
    if (frame->payload_length < size_t{get_payload_header_size()} + get_fu_header_size()) {
        return FRAGMENT_INVALID;
    }
    return fu_fragment_kind(payload[2]);
}

// The layer id of an FU comes from its payload header.
nal_class v3c::get_nal_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr ||
        frame->payload_length < get_payload_header_size()) {
        return NAL_CLASS_OTHER;
    }
    return layer_class(layer_id(frame->payload));
}

nal_class v3c::get_nal_class(uint8_t) const {
    return NAL_CLASS_OTHER;
}

nal_class v3c::get_nal_unit_class(uint8_t *nal) const {
    return layer_class(layer_id(nal));
}

// As for H.265: F and the layer id's high bit from the payload header, the
// type from the FU header, the second byte as it is.
void v3c::get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) {
    const uint8_t header[2] = {
        static_cast<uint8_t>((payload[0] & k_f_and_layer_high) | ((payload[2] << 1) & k_type_bits)),
        payload[1]};
    std::memcpy(out + pos, header, get_nal_header_size());
}

}  // namespace formats
}  // namespace tessal
