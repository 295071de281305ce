#include "rtcp/rtcp_packets.hh"

#include <algorithm>
#include <cstring>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {

namespace {

// The name's bytes up to its terminating zero (at most 4), zero-filled.
void copy_app_name(uint8_t *to, const char *name) {
    std::memset(to, 0, 4);
    if (name != nullptr) {
        std::memcpy(to, name, strnlen(name, 4));
    }
}

bool check_packet_size(size_t packet_size) {
    if (packet_size >= 65536) {
        LOG_ERROR_AS("construct_rtcp_header", "RTCP receiver report packet size too large!");
        return false;
    }
    if (packet_size % 4 != 0) {
        LOG_ERROR_AS("construct_rtcp_header",
                     "RTCP packet size should be measured in 32-bit words!");
        return false;
    }
    return true;
}

}  // namespace

rtcp_app_packet::rtcp_app_packet(const char *app_name, uint8_t app_subtype, uint32_t length,
                                 std::unique_ptr<uint8_t[]> data)
    : name(new char[4]), subtype(app_subtype), payload_len(length), payload(std::move(data)) {
    copy_app_name(reinterpret_cast<uint8_t *>(name.get()), app_name);
}

uint32_t get_sr_packet_size(int, uint16_t reports) {
    return static_cast<uint32_t>(k_rtcp_sr_fixed_size + k_rtcp_report_block_size * reports);
}

uint32_t get_rr_packet_size(int, uint16_t reports) {
    return static_cast<uint32_t>(k_rtcp_rr_fixed_size + k_rtcp_report_block_size * reports);
}

uint32_t get_app_packet_size(uint32_t payload_len) {
    return static_cast<uint32_t>(k_rtcp_app_fixed_size) + payload_len;
}

uint32_t get_bye_packet_size(const std::vector<uint32_t> &ssrcs) {
    const size_t packets = std::max<size_t>(1, (ssrcs.size() + k_rtcp_max_count - 1) / 31);
    return static_cast<uint32_t>(4 * packets + 4 * ssrcs.size());
}

uint32_t get_sdes_packet_size(const rtcp_sdes_items &items) {
    uint32_t size = 8;  // header and chunk SSRC
    for (const auto &item : items) {
        size += 2 + item.second.item_length;
    }
    return size + (4 - size % 4);  // room for the end byte, then 32-bit padding
}

uint32_t get_security_overhead_size(int rce_flags) {
    return (rce_flags & RCE_SRTP) ? 14 : 0;
}

bool construct_rtcp_header(uint8_t *frame, size_t &offset, size_t packet_size, uint8_t count,
                           frame::RTCP_FRAME_TYPE type) {
    if (!check_packet_size(packet_size)) {
        return false;
    }
    frame[offset] = static_cast<uint8_t>(count | 0x80);
    frame[offset + 1] = type;
    write_be16(frame + offset + 2, static_cast<uint16_t>(packet_size / 4 - 1));
    offset += 4;
    return true;
}

bool construct_ssrc(uint8_t *frame, size_t &offset, uint32_t ssrc) {
    write_be32(frame + offset, ssrc);
    offset += 4;
    return true;
}

bool construct_sender_info(uint8_t *frame, size_t &offset, uint64_t ntp_ts, uint64_t rtp_ts,
                           uint32_t packet_count, uint32_t octet_count) {
    write_be32(frame + offset, static_cast<uint32_t>(ntp_ts >> 32));
    write_be32(frame + offset + 4, static_cast<uint32_t>(ntp_ts));
    write_be32(frame + offset + 8, static_cast<uint32_t>(rtp_ts));
    write_be32(frame + offset + 12, packet_count);
    write_be32(frame + offset + 16, octet_count);
    offset += 20;
    return true;
}

bool construct_report_block(uint8_t *frame, size_t &offset, uint32_t ssrc, uint8_t fraction,
                            uint32_t lost, uint16_t seq_cycles, uint16_t max_seq, uint32_t jitter,
                            uint32_t lsr, uint32_t dlsr) {
    // RFC 3550 section 6.4.1: the cumulative loss saturates at the largest
    // value its 24 bits hold.
    lost = std::min(lost, k_rtcp_max_cumulative_lost);
    write_be32(frame + offset, ssrc);
    write_be32(frame + offset + 4, (uint32_t{fraction} << 24) | lost);
    write_be32(frame + offset + 8, (uint32_t{seq_cycles} << 16) | max_seq);
    write_be32(frame + offset + 12, jitter);
    write_be32(frame + offset + 16, lsr);
    write_be32(frame + offset + 20, dlsr);
    offset += 24;
    return true;
}

bool construct_sdes_chunk(uint8_t *frame, size_t &offset, frame::rtcp_sdes_chunk chunk) {
    construct_ssrc(frame, offset, chunk.chunk_ssrc);
    bool have_cname = false;
    for (const frame::rtcp_sdes_item &item : chunk.items) {
        frame[offset] = item.item_type;
        frame[offset + 1] = item.item_length;
        offset += 2;
        if (item.item_length > 0 && item.item_data != nullptr) {
            std::memcpy(frame + offset, item.item_data, item.item_length);
        }
        offset += item.item_length;
        have_cname = have_cname || item.item_type == 1;
    }
    frame[offset++] = 0;  // end of the item list; the buffer is already zero
    offset = (offset + 3) & ~size_t{3};
    if (!have_cname) {
        LOG_ERROR("SDES chunk did not contain cname!");
        return false;
    }
    return true;
}

bool construct_app_block(uint8_t *frame, size_t &offset, uint8_t subtype, uint32_t ssrc,
                         const char *name, std::unique_ptr<uint8_t[]> payload, size_t payload_len) {
    const size_t size = k_rtcp_app_fixed_size + payload_len;
    if (!check_packet_size(size)) {
        return false;
    }
    construct_rtcp_header(frame, offset, size, subtype, frame::RTCP_FRAME_APP);
    construct_ssrc(frame, offset, ssrc);
    return construct_app_packet(frame, offset, name, std::move(payload), payload_len);
}

bool construct_app_packet(uint8_t *frame, size_t &offset, const char *name,
                          std::unique_ptr<uint8_t[]> payload, size_t payload_len) {
    copy_app_name(frame + offset, name);
    offset += 4;
    if (payload_len > 0 && payload) {
        std::memcpy(frame + offset, payload.get(), payload_len);
    }
    offset += payload_len;
    return true;
}

bool construct_bye_packet(uint8_t *frame, size_t &offset, const std::vector<uint32_t> &ssrcs) {
    for (uint32_t ssrc : ssrcs) {
        construct_ssrc(frame, offset, ssrc);
    }
    return true;
}

bool construct_bye_packets(uint8_t *frame, size_t &offset, const std::vector<uint32_t> &ssrcs) {
    size_t done = 0;
    do {
        const size_t n = std::min(k_rtcp_max_count, ssrcs.size() - done);
        if (!construct_rtcp_header(frame, offset, 4 + 4 * n, static_cast<uint8_t>(n),
                                   frame::RTCP_FRAME_BYE)) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            construct_ssrc(frame, offset, ssrcs[done + i]);
        }
        done += n;
    } while (done < ssrcs.size());
    return true;
}

void read_rtcp_header(const uint8_t *buffer, size_t &offset, frame::rtcp_header &header) {
    const uint8_t *p = buffer + offset;
    header.version = static_cast<uint8_t>(p[0] >> 6);
    header.padding = static_cast<uint8_t>((p[0] >> 5) & 1);
    header.count = static_cast<uint8_t>(p[0] & 0x1F);
    header.packet_type = p[1];
    header.length = read_be16(p + 2);
    offset += 4;
}

void read_ssrc(const uint8_t *buffer, size_t &offset, uint32_t &ssrc) {
    ssrc = read_be32(buffer + offset);
    offset += 4;
}

namespace {

// The fixed part of a packet of `type` with `count` in its header; 0 when
// no fixed part is checked.
size_t rtcp_fixed_size(uint8_t type, uint8_t count) {
    switch (type) {
        case frame::RTCP_FRAME_SR:
            return k_rtcp_sr_fixed_size;
        case frame::RTCP_FRAME_RR:
            return k_rtcp_rr_fixed_size;
        case frame::RTCP_FRAME_SDES:  // each chunk at least its SSRC
        case frame::RTCP_FRAME_BYE:
            return k_rtcp_header_size + size_t{count} * 4;
        case frame::RTCP_FRAME_APP:
            return k_rtcp_app_fixed_size;
        default:
            return 0;
    }
}

}  // namespace

rtcp_compound_check check_rtcp_compound(const uint8_t *buffer, size_t size) {
    rtcp_compound_check c;
    size_t offset = 0;
    while (offset < size || c.packet == 0) {
        ++c.packet;
        c.remaining = size - offset;
        if (c.remaining < k_rtcp_header_size) {
            c.fault = RTCP_COMPOUND_SHORT_HEADER;
            return c;
        }
        size_t at = offset;
        read_rtcp_header(buffer, at, c.header);
        if (c.header.version != 2) {
            c.fault = RTCP_COMPOUND_BAD_VERSION;
            return c;
        }
        const size_t packet_size = rtcp_length_in_bytes(c.header.length);
        if (packet_size > c.remaining) {
            c.fault = RTCP_COMPOUND_PARTIAL;
            return c;
        }
        c.unpadded = packet_size;
        if (c.header.padding) {
            // RFC 3550 6.4.1: only the last packet of a compound may be
            // padded; its last byte counts the padding bytes, itself included.
            const size_t pad = buffer[offset + packet_size - 1];
            if (offset + packet_size != size || pad == 0 ||
                pad > packet_size - k_rtcp_header_size) {
                c.fault = RTCP_COMPOUND_BAD_PADDING;
                return c;
            }
            c.unpadded -= pad;
        }
        if (c.unpadded < rtcp_fixed_size(c.header.packet_type, c.header.count)) {
            c.fault = RTCP_COMPOUND_SHORT_PACKET;
            return c;
        }
        offset += packet_size;
    }
    return c;
}

}  // namespace tessal
