// H.264 (RFC 6184) payload headers on the receive side: classification of a
// received payload, the class of a fragmented NAL unit, the NAL header behind
// an FU-A, and 3-byte start codes.

#include "formats/h26x.hh"
#include "formats/h26x_receive.hh"

namespace tessal {
namespace formats {

namespace {

// RFC 6184 section 5.2: NAL unit types of the payload structures.
constexpr uint8_t k_type_stap_a = 24;
constexpr uint8_t k_type_stap_b = 25;
constexpr uint8_t k_type_fu_a = 28;
constexpr uint8_t k_type_mask = 0x1F;
// ITU-T H.264 table 7-1.
constexpr uint8_t k_type_non_idr_slice = 1;
constexpr uint8_t k_type_idr_slice = 5;

constexpr uint8_t k_type_partition_a = 2;
constexpr uint8_t k_type_partition_c = 4;
constexpr uint8_t k_type_aud = 9;

constexpr size_t k_short_start_code_len = 3;  // 00 00 01

// A NAL unit of `type` whose first byte after the header is `body`.
au_start_hint slice_start_hint(uint8_t type, uint8_t body) {
    if (type == k_type_aud) {
        return au_start_hint::begins;
    }
    if (type == k_type_non_idr_slice || type == k_type_partition_a || type == k_type_idr_slice) {
        return (body & 0x80) != 0 ? au_start_hint::begins : au_start_hint::continues;
    }
    if (type > k_type_partition_a && type <= k_type_partition_c) {
        return au_start_hint::continues;
    }
    return au_start_hint::unknown;
}

}  // namespace

// RFC 6184 section 5.3, the one-byte header of every payload:
//
//   +---------------+
//   |0|1|2|3|4|5|6|7|
//   +-+-+-+-+-+-+-+-+
//   |F|NRI|  Type   |
//   +---------------+
//
// A single NAL unit packet may be that byte alone (end of sequence, end of
// stream); an aggregation packet or an FU needs at least one byte more.
fragment_kind h264::get_fragment_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr || frame->payload_length < 1) {
        return FRAGMENT_INVALID;
    }
    const bool has_more = frame->payload_length >= 2;
    switch (frame->payload[0] & k_type_mask) {
        case k_type_stap_a:
            return has_more ? FRAGMENT_AGGREGATE : FRAGMENT_INVALID;
        case k_type_stap_b:
            return has_more ? FRAGMENT_STAP_B : FRAGMENT_INVALID;
        case k_type_fu_a:
            return has_more ? fu_fragment_kind(frame->payload[1]) : FRAGMENT_INVALID;
        default:
            return FRAGMENT_NONE;  // FU-B and MTAPs belong to the interleaved mode
    }
}

nal_class h264::get_nal_type(frame::rtp_frame *frame) const {
    if (frame == nullptr || frame->payload == nullptr || frame->payload_length < 2) {
        return NAL_CLASS_OTHER;
    }
    return get_nal_class(frame->payload[1] & k_type_mask);
}

nal_class h264::get_nal_class(uint8_t nal_type) const {
    switch (nal_type) {
        case k_type_idr_slice:
            return NAL_CLASS_INTRA;
        case k_type_non_idr_slice:
            return NAL_CLASS_INTER;
        default:
            return NAL_CLASS_OTHER;
    }
}

// RFC 6184 section 5.8: F and NRI come from the FU indicator, the type from
// the FU header.
void h264::get_nal_header_from_fu_headers(size_t pos, uint8_t *payload, uint8_t *out) {
    out[pos] = static_cast<uint8_t>((payload[0] & 0xE0) | (payload[1] & k_type_mask));
}

frame::rtp_frame *h264::allocate_rtp_frame_with_startcode(bool add_start_code,
                                                          frame::rtp_header &header, size_t size,
                                                          size_t &write_pos) {
    return alloc_frame_with_start_code(add_start_code ? k_short_start_code_len : 0, header, size,
                                       write_pos);
}

void h264::prepend_start_code(int rce_flags, frame::rtp_frame **frame) {
    if (frame != nullptr && (rce_flags & RCE_H26X_OMIT_START_CODE) == 0) {
        prepend_start_code_bytes(*frame, k_short_start_code_len);
    }
}

// ITU-T H.264 section 7.4.1.2.3: an access unit delimiter begins an access
// unit, and so does a slice (or slice data partition A) whose
// first_mb_in_slice, the slice header's first ue(v), is 0: a single 1 bit.
// Any other slice, and partitions B and C, continue one. Parameter sets and
// SEI say nothing: they may also stand inside an access unit.
au_start_hint h264::access_unit_start(const frame::rtp_frame *packet) const {
    const uint8_t *p = packet->payload;
    const size_t n = packet->payload_length;
    size_t nal = 0;  // offset of the first NAL unit's header
    switch (n > 0 ? p[0] & k_type_mask : 0) {
        case k_type_fu_a:
            if (n < 3) {
                return au_start_hint::unknown;
            }
            return slice_start_hint(static_cast<uint8_t>(p[1] & k_type_mask), p[2]);
        case k_type_stap_a:
            nal = 3;
            break;
        case k_type_stap_b:
            nal = 5;
            break;
        default:
            break;
    }
    if (n < nal + 2) {
        return n == nal + 1 && (p[nal] & k_type_mask) == k_type_aud ? au_start_hint::begins
                                                                    : au_start_hint::unknown;
    }
    return slice_start_hint(static_cast<uint8_t>(p[nal] & k_type_mask), p[nal + 1]);
}

}  // namespace formats
}  // namespace tessal
