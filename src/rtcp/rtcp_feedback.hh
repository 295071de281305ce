#pragma once

// RTCP feedback messages (RFC 4585 section 6, RFC 5104 section 4.3.1):
// generic NACK, PLI and FIR. Writers over caller-owned buffers and parsers
// of one received packet; pure functions, any thread.
//
// Common layout of a feedback message (RFC 4585 section 6.1):
//
//    0                   1                   2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|   FMT   |       PT      |          length               |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |                  SSRC of packet sender                        |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |                  SSRC of media source                         |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   :            Feedback Control Information (FCI)                 :
//
// Generic NACK: PT 205 (RTPFB), FMT 1; each FCI entry is PID (a lost
// sequence number) and BLP (bit i set: PID + i + 1 lost too).
// PLI: PT 206 (PSFB), FMT 1, no FCI.
// FIR: PT 206, FMT 4, media SSRC 0; each FCI entry is the target SSRC, an
// 8-bit command sequence number and 24 reserved bits.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp/nack_fci.hh"
#include "tessal/util.hh"

namespace tessal {

constexpr uint8_t k_rtcp_rtpfb = 205;
constexpr uint8_t k_rtcp_psfb = 206;
constexpr uint8_t k_rtcp_fmt_nack = 1;
constexpr uint8_t k_rtcp_fmt_pli = 1;
constexpr uint8_t k_rtcp_fmt_fir = 4;
constexpr size_t k_rtcp_fb_fixed_size = 12;
constexpr size_t k_rtcp_nack_entry_size = 4;
constexpr size_t k_rtcp_fir_entry_size = 8;
// FCI entries one packet can carry: the writers keep a packet under 65536
// bytes, as every RTCP writer here does.
constexpr size_t k_rtcp_max_nack_entries = (65532 - k_rtcp_fb_fixed_size) / 4;
constexpr size_t k_rtcp_max_fir_entries = (65532 - k_rtcp_fb_fixed_size) / 8;

using rtcp_nack_entry = nack_fci_entry;  // PID and BLP (rtp/nack_fci.hh)

// A received (or requested) generic NACK: the lost sequence numbers in the
// order the FCI entries give them.
struct rtcp_nack {
    uint32_t sender_ssrc = 0;
    uint32_t media_ssrc = 0;
    std::vector<uint16_t> lost;
};

struct rtcp_pli {
    uint32_t sender_ssrc = 0;
    uint32_t media_ssrc = 0;
};

struct rtcp_fir_entry {
    uint32_t ssrc = 0;
    uint8_t seq = 0;
};

struct rtcp_fir {
    uint32_t sender_ssrc = 0;
    uint32_t media_ssrc = 0;  // 0 as RFC 5104 4.3.1.2 asks; kept as received
    std::vector<rtcp_fir_entry> entries;
};

// The fewest FCI entries covering `lost`, in any order (wrap-around
// included), repeats ignored: nack_fci_pack.
std::vector<rtcp_nack_entry> pack_nack(const std::vector<uint16_t> &lost);
// Back to sequence numbers, entry by entry: PID, then PID + i + 1 for each
// bit i of BLP set (modulo 2^16).
std::vector<uint16_t> unpack_nack(const std::vector<rtcp_nack_entry> &entries);

constexpr size_t get_nack_packet_size(size_t entries) {
    return k_rtcp_fb_fixed_size + entries * k_rtcp_nack_entry_size;
}
constexpr size_t get_pli_packet_size() {
    return k_rtcp_fb_fixed_size;
}
constexpr size_t get_fir_packet_size(size_t entries) {
    return k_rtcp_fb_fixed_size + entries * k_rtcp_fir_entry_size;
}

// Whole packets at frame + offset, advancing the offset; the caller sized
// the buffer with the size functions. False (nothing written) for no entries
// or more than one packet holds.
bool construct_nack_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                           uint32_t media_ssrc, const std::vector<rtcp_nack_entry> &entries);
bool construct_pli_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                          uint32_t media_ssrc);
bool construct_fir_packet(uint8_t *frame, size_t &offset, uint32_t sender_ssrc,
                          const std::vector<rtcp_fir_entry> &entries);

// What a feedback packet's PT and FMT make of it.
enum RTCP_FEEDBACK_KIND {
    RTCP_FEEDBACK_NONE,  // not a feedback packet type
    RTCP_FEEDBACK_NACK,
    RTCP_FEEDBACK_PLI,
    RTCP_FEEDBACK_FIR,
    RTCP_FEEDBACK_UNKNOWN,  // PT 205 or 206 with an FMT we do not read
};
RTCP_FEEDBACK_KIND rtcp_feedback_kind(uint8_t packet_type, uint8_t fmt);

// Parsers of one packet: `packet` points at its header, `size` bytes are
// readable. They check the version, the PT and FMT, that the length field
// fits `size` (padding removed) and the FCI: RTP_BAD_ARGUMENT for anything
// else (a NACK or FIR without an entry, an FCI cut inside an entry), with
// `out` then unspecified. Nothing outside [packet, packet + size) is read.
RTP_ERROR parse_nack_packet(const uint8_t *packet, size_t size, rtcp_nack &out);
RTP_ERROR parse_pli_packet(const uint8_t *packet, size_t size, rtcp_pli &out);
RTP_ERROR parse_fir_packet(const uint8_t *packet, size_t size, rtcp_fir &out);

}  // namespace tessal
