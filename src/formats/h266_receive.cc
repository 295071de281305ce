// H.266 (RFC 9328) payload headers on the receive side: classification of a
// received payload, the class of a fragmented NAL unit and the NAL header
// behind an FU. Start codes are the 4-byte ones of formats::h26x.

#include <cstring>

#include "formats/h26x.hh"
#include "formats/h26x_receive.hh"

namespace tessal {
namespace formats {

namespace {

// RFC 9328 section 4.3: payload header types of the payload structures.
constexpr uint8_t k_type_ap = 28;
constexpr uint8_t k_type_fu = 29;
// This library's sender puts the AP type where H.265 keeps its type, 28 << 1
// in the first byte (0x38 0x01). As a first byte, 0x38/0x39 is a reserved
// layer id, so that form is told apart from any other payload header.
constexpr uint8_t k_shifted_ap_byte = k_type_ap << 1;
// RFC 9328 section 4.3.3: S, E, P, then a 5-bit FuType.
constexpr uint8_t k_fu_type_mask = 0x1F;
// ITU-T H.266 table 5: TRAIL_NUT (0) to RASL_NUT (3) are predicted from
// other pictures; IDR_W_RADL (7), IDR_N_LP (8) and CRA_NUT (9) are intra
// random access points (IRAP).
constexpr uint8_t k_type_last_inter = 3;
constexpr uint8_t k_type_first_irap = 7;
constexpr uint8_t k_type_last_irap = 9;
constexpr uint8_t k_type_aud = 20;

}  // namespace

// RFC 9328 sections 1.1.4 and 4.2, the two-byte header of every payload:
//
//   +---------------+---------------+
//   |0|1|2|3|4|5|6|7|0|1|2|3|4|5|6|7|
//   +-+-+-----------+---------+-----+
//   |F|Z| LayerID   |  Type   | TID |
//   +---------------+---------------+
//
// A single NAL unit packet may be the header alone (end of sequence, end of
// bitstream); an AP or an FU needs at least one byte more.
fragment_kind h266::get_fragment_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr ||
        frame->payload_length < get_payload_header_size()) {
        return FRAGMENT_INVALID;
    }
    const bool has_more = frame->payload_length > get_payload_header_size();
    const uint8_t *payload = frame->payload;
    const uint8_t type = payload[1] >> 3;
    if ((payload[0] & 0xFE) == k_shifted_ap_byte || type == k_type_ap) {
        return has_more ? FRAGMENT_AGGREGATE : FRAGMENT_INVALID;
    }
    if (type == k_type_fu) {
        return has_more ? fu_fragment_kind(payload[2]) : FRAGMENT_INVALID;
    }
    return FRAGMENT_NONE;
}

nal_class h266::get_nal_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr || frame->payload_length < 3) {
        return NAL_CLASS_OTHER;
    }
    return get_nal_class(frame->payload[2] & k_fu_type_mask);
}

nal_class h266::get_nal_class(uint8_t nal_type) const {
    if (nal_type >= k_type_first_irap && nal_type <= k_type_last_irap) {
        return NAL_CLASS_INTRA;
    }
    return nal_type <= k_type_last_inter ? NAL_CLASS_INTER : NAL_CLASS_OTHER;
}

// RFC 9328 section 4.3.3: F, Z, LayerID and TID come from the payload header,
// the type from the FU header.
void h266::get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) {
    const uint8_t header[2] = {
        payload[0], static_cast<uint8_t>(((payload[2] << 3) & 0xFF) | (payload[1] & 0x07))};
    std::memcpy(out + pos, header, get_payload_header_size());
}

// ITU-T H.266 section 7.4.2.4.3: an access unit delimiter begins an access
// unit. A slice says nothing on its own (its picture header may stand in a
// NAL unit before it), nor do parameter sets.
au_start_hint h266::access_unit_start(const frame::rtp_frame *packet) const {
    const uint8_t *p = packet->payload;
    const size_t n = packet->payload_length;
    if (n < 2) {
        return au_start_hint::unknown;
    }
    uint8_t type = p[1] >> 3;
    if ((p[0] & 0xFE) == k_shifted_ap_byte || type == k_type_ap) {
        if (n < 6) {
            return au_start_hint::unknown;
        }
        type = p[5] >> 3;
    } else if (type == k_type_fu) {
        if (n < 3) {
            return au_start_hint::unknown;
        }
        type = p[2] & k_fu_type_mask;
    }
    return type == k_type_aud ? au_start_hint::begins : au_start_hint::unknown;
}

}  // namespace formats
}  // namespace tessal
