// H.265 (RFC 7798) payload headers on the receive side: classification of a
// received payload, the class of a fragmented NAL unit and the NAL header
// behind an FU. Start codes are the 4-byte ones of formats::h26x.

#include <cstring>

#include "formats/h26x.hh"
#include "formats/h26x_receive.hh"

namespace tessal {
namespace formats {

namespace {

// RFC 7798 section 4.4: payload header types of the payload structures.
constexpr uint8_t k_type_ap = 48;
constexpr uint8_t k_type_fu = 49;
constexpr uint8_t k_fu_type_mask = 0x3F;
// ITU-T H.265 table 7-1: the pictures of types TRAIL_N (0) to RASL_R (9)
// are predicted from others; BLA_W_LP (16) to CRA_NUT (21), and the two
// reserved types after them, are intra random access points (IRAP).
constexpr uint8_t k_type_last_inter = 9;
constexpr uint8_t k_type_first_irap = 16;
constexpr uint8_t k_type_last_irap = 23;
// The slice segment types in use (TRAIL_N to CRA_NUT), and the delimiter.
constexpr uint8_t k_type_last_slice = 21;
constexpr uint8_t k_type_aud = 35;

}  // namespace

// RFC 7798 section 1.1.4, the two-byte header of every payload:
//
//   +---------------+---------------+
//   |0|1|2|3|4|5|6|7|0|1|2|3|4|5|6|7|
//   +-+-------------+-----------+---+
//   |F|   Type    |  LayerId  | TID |
//   +---------------+---------------+
//
// The type is read as the whole first byte shifted right by one, so a
// payload with F set is neither an AP nor an FU. A single NAL unit packet may
// be the header alone (end of sequence, end of bitstream); an AP or an FU
// needs at least one byte more.
fragment_kind h265::get_fragment_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr ||
        frame->payload_length < get_payload_header_size()) {
        return FRAGMENT_INVALID;
    }
    const bool has_more = frame->payload_length > get_payload_header_size();
    const uint8_t type = frame->payload[0] >> 1;
    if (type == k_type_ap) {
        return has_more ? FRAGMENT_AGGREGATE : FRAGMENT_INVALID;
    }
    if (type == k_type_fu) {
        return has_more ? fu_fragment_kind(frame->payload[2]) : FRAGMENT_INVALID;
    }
    return FRAGMENT_NONE;
}

nal_class h265::get_nal_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr || frame->payload_length < 3) {
        return NAL_CLASS_OTHER;
    }
    return get_nal_class(frame->payload[2] & k_fu_type_mask);
}

// Decoding resumes at any IRAP picture, not only at IDR_W_RADL: encoders
// write IDR_N_LP, and CRA in an open GOP, as their key pictures.
nal_class h265::get_nal_class(uint8_t nal_type) const {
    if (nal_type >= k_type_first_irap && nal_type <= k_type_last_irap) {
        return NAL_CLASS_INTRA;
    }
    return nal_type <= k_type_last_inter ? NAL_CLASS_INTER : NAL_CLASS_OTHER;
}

// RFC 7798 section 4.4.3: F and LayerId come from the payload header, the
// type from the FU header (low six bits), LayerId's low bits and TID from the
// payload header's second byte.
void h265::get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) {
    const uint8_t header[2] = {
        static_cast<uint8_t>((payload[0] & 0x81) | ((payload[2] << 1) & 0x7E)), payload[1]};
    std::memcpy(out + pos, header, get_payload_header_size());
}

// ITU-T H.265 section 7.4.2.4.4: an access unit delimiter begins an access
// unit, and so does a slice segment with first_slice_segment_in_pic_flag,
// the first bit after its NAL header; a slice segment without it continues
// one. Parameter sets and SEI say nothing: they may also stand inside an
// access unit.
au_start_hint h265::access_unit_start(const frame::rtp_frame *packet) const {
    const uint8_t *p = packet->payload;
    const size_t n = packet->payload_length;
    if (n < 3) {
        return au_start_hint::unknown;
    }
    uint8_t type = (p[0] >> 1) & k_fu_type_mask;
    size_t body = 2;  // offset of the first NAL unit's first byte after its header
    if (type == k_type_fu) {
        type = p[2] & k_fu_type_mask;
        body = 3;
    } else if (type == k_type_ap) {
        if (n < 6) {
            return au_start_hint::unknown;
        }
        type = (p[4] >> 1) & k_fu_type_mask;
        body = 6;
    }
    if (type == k_type_aud) {
        return au_start_hint::begins;
    }
    if (type > k_type_last_slice || body >= n) {
        return au_start_hint::unknown;
    }
    return (p[body] & 0x80) != 0 ? au_start_hint::begins : au_start_hint::continues;
}

}  // namespace formats
}  // namespace tessal
