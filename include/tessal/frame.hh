#pragma once

// Frame records through which received media reaches the application, the
// RTCP report records of the rtcp facade, and the helpers that allocate and
// release them. A frame handed to the application is the application's; it
// releases it with frame::dealloc_frame.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tessal/export.hh"
#include "tessal/util.hh"

namespace tessal {
namespace frame {

// The RTP fixed header in host form. The six bit fields share one 16-bit
// unit, `version` in the least significant bits.
struct rtp_header {
    uint16_t version : 2;
    uint16_t padding : 1;
    uint16_t extension : 1;
    uint16_t csrc_count : 4;
    uint16_t marker : 1;
    uint16_t payload_type : 7;
    uint16_t sequence;   // host byte order
    uint32_t timestamp;  // host byte order
    uint32_t ssrc;       // host byte order
};

// A parsed RTP header extension. `length` is in bytes (wire words times 4).
struct rtp_extension {
    uint16_t profile_field;
    uint16_t length;
    uint8_t *bytes;  // owned by the record
};

// One received RTP packet or reassembled media frame.
struct rtp_frame {
    rtp_header header;
    uint32_t *csrc_list;              // header.csrc_count entries, network byte order; owned
    rtp_extension *extension_header;  // owned, null without extension
    size_t padding_length;            // padding bytes removed from the end of the payload
    size_t payload_length;
    uint8_t *payload;  // owned
    // The received datagram the frame was parsed from. Not owned; valid only
    // while the packet passes through the reception handlers.
    uint8_t *datagram;
    size_t datagram_size;
};

// The start of every ZRTP packet (RFC 6189 section 5): the RTP-like packet
// header followed by the message preamble, length and type block. Allocated
// as a plain byte array of the message's size and viewed through this layout.
struct zrtp_frame {
    uint8_t version;  // 0x00: version bits 00, nothing else set
    uint8_t unused;
    uint16_t seq;
    uint32_t magic;  // "ZRTP" cookie
    uint32_t ssrc;
    uint16_t preamble;  // 0x505a
    uint16_t length;    // message length in words
    uint8_t msgblock[8];
};

// RTCP packet types (RFC 3550 section 12.1).
enum RTCP_FRAME_TYPE : uint8_t {
    RTCP_FRAME_SR = 200,
    RTCP_FRAME_RR = 201,
    RTCP_FRAME_SDES = 202,
    RTCP_FRAME_BYE = 203,
    RTCP_FRAME_APP = 204,
};

struct rtcp_header {
    uint8_t version;
    uint8_t padding;
    uint8_t count;  // report/chunk/SSRC count, or the APP subtype
    uint8_t packet_type;
    uint16_t length;  // as on the wire: words minus one
};

struct rtcp_sender_info {
    uint32_t ntp_seconds;
    uint32_t ntp_fraction;
    uint32_t rtp_timestamp;
    uint32_t packet_count;
    uint32_t octet_count;
};

struct rtcp_report_block {
    uint32_t source_ssrc;
    uint8_t fraction_lost;
    int32_t cumulative_lost;  // the 24-bit wire field, not sign-extended
    uint32_t highest_seq;
    uint32_t jitter;
    uint32_t last_sr;
    uint32_t delay_since_last_sr;
};

struct rtcp_sdes_item {
    uint8_t item_type;
    uint8_t item_length;
    uint8_t *item_data;  // not owned by the record
};

// Received RTCP packets as the rtcp hooks and getters hand them over.
struct rtcp_sender_report {
    rtcp_header header;
    uint32_t sender_ssrc;
    rtcp_sender_info info;
    std::vector<rtcp_report_block> reports;
};

struct rtcp_receiver_report {
    rtcp_header header;
    uint32_t sender_ssrc;
    std::vector<rtcp_report_block> reports;
};

struct rtcp_sdes_chunk {
    uint32_t chunk_ssrc;
    std::vector<rtcp_sdes_item> items;
};

// Destroying the record releases the chunk and item arrays, not the item
// data: whoever disposes of a received record delete[]s each item_data first.
struct rtcp_sdes_packet {
    rtcp_header header;
    std::vector<rtcp_sdes_chunk> chunks;
};

struct rtcp_app_packet {
    rtcp_header header;  // header.count holds the subtype
    uint32_t sender_ssrc;
    uint8_t app_name[4];  // not terminated
    uint8_t *payload;     // heap array (delete[]) owned by the record's holder; null when empty
    size_t payload_length;
};

// Flat report records handed out by the rtcp facade. Their arrays are heap
// arrays released with dealloc_sr, dealloc_rr and dealloc_sdes.
struct rtcp_sr {
    rtcp_header header;
    uint32_t sender_ssrc;
    rtcp_sender_info info;
    rtcp_report_block *reports;  // header.count entries
};

struct rtcp_rr {
    rtcp_header header;
    uint32_t sender_ssrc;
    rtcp_report_block *reports;  // header.count entries
};

struct rtcp_sdes_flat_chunk {
    uint32_t chunk_ssrc;
    rtcp_sdes_item *items;  // item_count entries
    size_t item_count;
};

struct rtcp_sdes {
    rtcp_header header;
    rtcp_sdes_flat_chunk *chunks;  // header.count entries
};

// A new frame with every field zero. Null if memory is exhausted.
TESSAL_EXPORT rtp_frame *alloc_rtp_frame() noexcept;

// As above, plus an uninitialised payload of `payload_len` bytes (a valid
// zero-length array for 0). Null if memory is exhausted.
TESSAL_EXPORT rtp_frame *alloc_rtp_frame(size_t payload_len) noexcept;

// A zero-filled byte array of `size` bytes viewed as a ZRTP frame; null for 0.
TESSAL_EXPORT zrtp_frame *alloc_zrtp_frame(size_t size) noexcept;

// Releases the CSRC list, the extension and its bytes, the payload and the
// record. The datagram is not touched. RTP_BAD_ARGUMENT for null.
TESSAL_EXPORT RTP_ERROR dealloc_frame(rtp_frame *frame) noexcept;
TESSAL_EXPORT RTP_ERROR dealloc_frame(zrtp_frame *frame) noexcept;

// Release the report arrays of a record, not the record itself.
// RTP_BAD_ARGUMENT for null.
TESSAL_EXPORT RTP_ERROR dealloc_sr(rtcp_sr *sr) noexcept;
TESSAL_EXPORT RTP_ERROR dealloc_rr(rtcp_rr *rr) noexcept;
TESSAL_EXPORT RTP_ERROR dealloc_sdes(rtcp_sdes *sdes) noexcept;

}  // namespace frame
}  // namespace tessal
