#include "rtcp/rtcp_feedback.hh"

#include "rtcp/rtcp_packets.hh"
#include "util/byte_reader.hh"

namespace tessal {

namespace {

// Header, sender SSRC and media SSRC of a feedback packet.
bool construct_feedback_header(uint8_t *frame, size_t &offset, size_t size, uint8_t fmt,
                               uint8_t type, uint32_t sender_ssrc, uint32_t media_ssrc) {
    if (!construct_rtcp_header(frame, offset, size, fmt,
                               static_cast<frame::RTCP_FRAME_TYPE>(type))) {
        return false;
    }
    construct_ssrc(frame, offset, sender_ssrc);
    construct_ssrc(frame, offset, media_ssrc);
    return true;
}

// The common part of a received feedback packet. On success `fci` reads
// exactly the FCI: the length field's bytes less the padding.
struct feedback_view {
    uint32_t sender_ssrc = 0;
    uint32_t media_ssrc = 0;
    const uint8_t *fci = nullptr;
    size_t fci_size = 0;
};

RTP_ERROR read_feedback(const uint8_t *packet, size_t size, uint8_t type, uint8_t fmt,
                        feedback_view &out) {
    byte_reader r(packet, size);
    uint8_t first = 0;
    uint8_t pt = 0;
    uint16_t length = 0;
    if (packet == nullptr || !r.read_u8(first) || !r.read_u8(pt) || !r.read_u16(length)) {
        return RTP_BAD_ARGUMENT;
    }
    if ((first >> 6) != 2 || pt != type || (first & 0x1F) != fmt) {
        return RTP_BAD_ARGUMENT;
    }
    size_t bytes = rtcp_length_in_bytes(length);
    if (bytes > size || bytes < k_rtcp_fb_fixed_size) {
        return RTP_BAD_ARGUMENT;
    }
    if (first & 0x20) {
        // RFC 3550 6.4.1: the last byte counts the padding, itself included.
        const size_t pad = packet[bytes - 1];
        if (pad == 0 || pad > bytes - k_rtcp_fb_fixed_size) {
            return RTP_BAD_ARGUMENT;
        }
        bytes -= pad;
    }
    if (!r.read_u32(out.sender_ssrc) || !r.read_u32(out.media_ssrc)) {
        return RTP_BAD_ARGUMENT;
    }
    out.fci = packet + k_rtcp_fb_fixed_size;
    out.fci_size = bytes - k_rtcp_fb_fixed_size;
    return RTP_SUCCESS;
}

}  // namespace

std::vector<rtcp_nack_entry> pack_nack(const std::vector<uint16_t> &lost) {
    std::vector<rtcp_nack_entry> out;
    nack_fci_pack(lost.data(), lost.size(), out);
    return out;
}

std::vector<uint16_t> unpack_nack(const std::vector<rtcp_nack_entry> &entries) {
    std::vector<uint16_t> out;
    nack_fci_unpack(entries.data(), entries.size(), out);
    return out;
}

bool construct_nack_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                           uint32_t media_ssrc, const std::vector<rtcp_nack_entry> &entries) {
    if (entries.empty() || entries.size() > k_rtcp_max_nack_entries ||
        !construct_feedback_header(frame, offset, get_nack_packet_size(entries.size()),
                                   k_rtcp_fmt_nack, k_rtcp_rtpfb, sender_ssrc, media_ssrc)) {
        return false;
    }
    nack_fci_write(entries.data(), entries.size(), frame + offset);
    offset += entries.size() * k_rtcp_nack_entry_size;
    return true;
}

bool construct_pli_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                          uint32_t media_ssrc) {
    return construct_feedback_header(frame, offset, get_pli_packet_size(), k_rtcp_fmt_pli,
                                     k_rtcp_psfb, sender_ssrc, media_ssrc);
}

bool construct_fir_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                          const std::vector<rtcp_fir_entry> &entries) {
    // RFC 5104 4.3.1.2: the media source SSRC is not used and set to 0.
    if (entries.empty() || entries.size() > k_rtcp_max_fir_entries ||
        !construct_feedback_header(frame, offset, get_fir_packet_size(entries.size()),
                                   k_rtcp_fmt_fir, k_rtcp_psfb, sender_ssrc, 0)) {
        return false;
    }
    for (const rtcp_fir_entry &e : entries) {
        write_be32(frame + offset, e.ssrc);
        // Seq nr, then 24 reserved bits sent as zero.
        write_be32(frame + offset + 4, uint32_t{e.seq} << 24);
        offset += k_rtcp_fir_entry_size;
    }
    return true;
}

RTCP_FEEDBACK_KIND rtcp_feedback_kind(uint8_t packet_type, uint8_t fmt) {
    if (packet_type == k_rtcp_rtpfb) {
        return fmt == k_rtcp_fmt_nack ? RTCP_FEEDBACK_NACK : RTCP_FEEDBACK_UNKNOWN;
    }
    if (packet_type == k_rtcp_psfb) {
        return fmt == k_rtcp_fmt_pli   ? RTCP_FEEDBACK_PLI
               : fmt == k_rtcp_fmt_fir ? RTCP_FEEDBACK_FIR
                                       : RTCP_FEEDBACK_UNKNOWN;
    }
    return RTCP_FEEDBACK_NONE;
}

RTP_ERROR parse_nack_packet(const uint8_t *packet, size_t size, rtcp_nack &out) {
    feedback_view v;
    if (read_feedback(packet, size, k_rtcp_rtpfb, k_rtcp_fmt_nack, v) != RTP_SUCCESS) {
        return RTP_BAD_ARGUMENT;
    }
    // RFC 4585 6.2.1: one or more FCI entries. The length field counts
    // words, but padding may leave a partial one.
    if (v.fci_size == 0 || v.fci_size % k_rtcp_nack_entry_size != 0) {
        return RTP_BAD_ARGUMENT;
    }
    std::vector<rtcp_nack_entry> entries;
    nack_fci_read(v.fci, v.fci_size, entries);  // whole entries: checked above
    out.sender_ssrc = v.sender_ssrc;
    out.media_ssrc = v.media_ssrc;
    out.lost = unpack_nack(entries);
    return RTP_SUCCESS;
}

RTP_ERROR parse_pli_packet(const uint8_t *packet, size_t size, rtcp_pli &out) {
    feedback_view v;
    // RFC 4585 6.3.1: PLI has no FCI; anything after the SSRCs is ignored.
    if (read_feedback(packet, size, k_rtcp_psfb, k_rtcp_fmt_pli, v) != RTP_SUCCESS) {
        return RTP_BAD_ARGUMENT;
    }
    out.sender_ssrc = v.sender_ssrc;
    out.media_ssrc = v.media_ssrc;
    return RTP_SUCCESS;
}

RTP_ERROR parse_fir_packet(const uint8_t *packet, size_t size, rtcp_fir &out) {
    feedback_view v;
    if (read_feedback(packet, size, k_rtcp_psfb, k_rtcp_fmt_fir, v) != RTP_SUCCESS) {
        return RTP_BAD_ARGUMENT;
    }
    // RFC 5104 4.3.1.1: one or more 8-byte entries; one cut short is not a
    // request anyone can act on.
    if (v.fci_size == 0 || v.fci_size % k_rtcp_fir_entry_size != 0) {
        return RTP_BAD_ARGUMENT;
    }
    out.sender_ssrc = v.sender_ssrc;
    out.media_ssrc = v.media_ssrc;
    out.entries.clear();
    byte_reader r(v.fci, v.fci_size);
    rtcp_fir_entry e;
    uint32_t seq_and_reserved = 0;
    while (r.read_u32(e.ssrc) && r.read_u32(seq_and_reserved)) {
        e.seq = static_cast<uint8_t>(seq_and_reserved >> 24);  // reserved bits ignored
        out.entries.push_back(e);
    }
    return RTP_SUCCESS;
}

}  // namespace tessal
