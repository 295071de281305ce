#pragma once

// RTCP wire layouts (RFC 3550 section 6.4 to 6.6): packet sizes, writers of
// packet pieces and the header readers. Pure functions over caller-owned
// buffers; any thread may call them.
//
// Common header of every RTCP packet:
//
//    0                   1                   2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|  count  |  packet type  |     length (words - 1)        |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
// SR: header, SSRC, NTP (8), RTP ts, packet count, octet count, n x 24-byte
// report blocks. RR: header, SSRC, blocks. SDES: header, chunks (SSRC, items,
// zero byte, padding to 32 bits). BYE: header, SSRCs. APP: header, SSRC,
// 4-byte name, payload (a multiple of 4 bytes).
//
// Writers write at frame + offset and advance the offset; the caller sizes
// the (zero-filled) buffer with the size functions first.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "tessal/frame.hh"
#include "tessal/util.hh"

namespace tessal {

constexpr size_t k_rtcp_header_size = 4;
constexpr size_t k_rtcp_report_block_size = 24;
constexpr size_t k_rtcp_sr_fixed_size = 28;
constexpr size_t k_rtcp_rr_fixed_size = 8;
constexpr size_t k_rtcp_app_fixed_size = 12;
// The 5-bit count field: larger SSRC lists are split over several BYEs.
constexpr size_t k_rtcp_max_count = 31;
constexpr uint32_t k_rtcp_max_cumulative_lost = 0xFFFFFF;

using rtcp_sdes_items = std::map<uint8_t, frame::rtcp_sdes_item>;

// An APP packet waiting to be sent. Move-only; owns its name and payload.
struct rtcp_app_packet {
    // Copies the name up to its terminating zero, at most 4 bytes, and
    // zero-fills the rest; takes the payload over.
    rtcp_app_packet(const char *app_name, uint8_t app_subtype, uint32_t length,
                    std::unique_ptr<uint8_t[]> data);
    rtcp_app_packet(rtcp_app_packet &&) = default;
    rtcp_app_packet &operator=(rtcp_app_packet &&) = default;
    rtcp_app_packet(const rtcp_app_packet &) = delete;
    rtcp_app_packet &operator=(const rtcp_app_packet &) = delete;

    std::unique_ptr<char[]> name;  // 4 bytes, not terminated
    uint8_t subtype = 0;
    uint32_t payload_len = 0;
    std::unique_ptr<uint8_t[]> payload;
};

uint32_t get_sr_packet_size(int rce_flags, uint16_t reports);
uint32_t get_rr_packet_size(int rce_flags, uint16_t reports);
uint32_t get_app_packet_size(uint32_t payload_len);
// All BYE packets needed for `ssrcs`: one per 31 SSRCs, 4 + 4 x n each.
uint32_t get_bye_packet_size(const std::vector<uint32_t> &ssrcs);
// Rounded up past the terminating zero byte to a multiple of 4.
uint32_t get_sdes_packet_size(const rtcp_sdes_items &items);
// 14 (the SRTCP index word and tag) with RCE_SRTP, else 0.
uint32_t get_security_overhead_size(int rce_flags);

// False (nothing written) when packet_size is 65536 or more or not a
// multiple of 4; the count is not masked.
bool construct_rtcp_header(uint8_t *frame, size_t &offset, size_t packet_size, uint8_t count,
                           frame::RTCP_FRAME_TYPE type);
bool construct_ssrc(uint8_t *frame, size_t &offset, uint32_t ssrc);
bool construct_sender_info(uint8_t *frame, size_t &offset, uint64_t ntp_ts, uint64_t rtp_ts,
                           uint32_t packet_count, uint32_t octet_count);
// `lost` is clamped to the 24-bit field.
bool construct_report_block(uint8_t *frame, size_t &offset, uint32_t ssrc, uint8_t fraction,
                            uint32_t lost, uint16_t seq_cycles, uint16_t max_seq, uint32_t jitter,
                            uint32_t lsr, uint32_t dlsr);
// True when the chunk carried a CNAME item; the bytes are written anyway.
bool construct_sdes_chunk(uint8_t *frame, size_t &offset, frame::rtcp_sdes_chunk chunk);
// A whole APP packet. False (nothing written) for a payload that is not a
// multiple of 4 or makes the packet 65536 bytes or more.
bool construct_app_block(uint8_t *frame, size_t &offset, uint8_t subtype, uint32_t ssrc,
                         const char *name, std::unique_ptr<uint8_t[]> payload, size_t payload_len);
// Name and payload only.
bool construct_app_packet(uint8_t *frame, size_t &offset, const char *name,
                          std::unique_ptr<uint8_t[]> payload, size_t payload_len);
// The SSRCs only.
bool construct_bye_packet(uint8_t *frame, size_t &offset, const std::vector<uint32_t> &ssrcs);
// Headers and SSRCs of every BYE packet get_bye_packet_size counted.
bool construct_bye_packets(uint8_t *frame, size_t &offset, const std::vector<uint32_t> &ssrcs);

// Unchecked: the caller has made sure 4 bytes are there.
void read_rtcp_header(const uint8_t *buffer, size_t &offset, frame::rtcp_header &header);
void read_ssrc(const uint8_t *buffer, size_t &offset, uint32_t &ssrc);
constexpr size_t rtcp_length_in_bytes(uint16_t length) {
    return (size_t{length} + 1) * 4;
}

// What check_rtcp_compound found wrong with a received compound packet.
enum RTCP_COMPOUND_FAULT {
    RTCP_COMPOUND_VALID,
    RTCP_COMPOUND_SHORT_HEADER,  // fewer than 4 bytes left for a header
    RTCP_COMPOUND_BAD_VERSION,
    RTCP_COMPOUND_PARTIAL,       // a length past the end of the datagram
    RTCP_COMPOUND_BAD_PADDING,   // padding not last, zero or past the header
    RTCP_COMPOUND_SHORT_PACKET,  // an SR, RR, SDES, BYE or APP without its fixed part
};

struct rtcp_compound_check {
    RTCP_COMPOUND_FAULT fault = RTCP_COMPOUND_VALID;
    int packet = 0;        // the packet at fault (1 = first); the count when valid
    size_t remaining = 0;  // bytes from its start to the end
    size_t unpadded = 0;   // its size without padding (RTCP_COMPOUND_SHORT_PACKET)
    frame::rtcp_header header{};
};

// RFC 3550 A.2: the structure of a whole compound packet of `size` bytes
// (without the SRTCP trailer): version 2 throughout, lengths that add up to
// the datagram, padding only on the last packet, and the fixed part of each
// SR, RR, BYE and APP present (an SSRC for each SDES chunk counted). Reads only inside the buffer.
// Packets of other types are accepted (skipped by their length), and so is a compound that does not
// begin with a report.
rtcp_compound_check check_rtcp_compound(const uint8_t *buffer, size_t size);

}  // namespace tessal
