#include "rtp/rtx.hh"

#include <cstring>

#include "util/byte_reader.hh"

namespace tessal {

namespace {

constexpr size_t k_fixed_header = 12;
constexpr size_t k_osn_size = 2;

}  // namespace

bool parse_rtp_layout(const uint8_t *packet, size_t size, rtp_layout &out) noexcept {
    if (packet == nullptr || size < k_fixed_header || (packet[0] >> 6) != 2) {
        return false;
    }
    size_t header = k_fixed_header + 4 * size_t{packet[0] & 0x0Fu};
    if (header > size) {
        return false;
    }
    if ((packet[0] & 0x10) != 0) {  // RFC 3550 section 5.3.1
        if (header + 4 > size) {
            return false;
        }
        header += 4 + 4 * size_t{read_be16(packet + header + 2)};
        if (header > size) {
            return false;
        }
    }
    size_t padding = 0;
    if ((packet[0] & 0x20) != 0) {
        padding = packet[size - 1];
        if (padding == 0 || padding > size - header) {
            return false;
        }
    }
    out.header = header;
    out.payload = size - header - padding;
    return true;
}

size_t rtx_encode(const uint8_t *original, size_t size, uint8_t pt, uint32_t ssrc, uint16_t seq,
                  uint8_t *out, size_t capacity) noexcept {
    rtp_layout l;
    if (!parse_rtp_layout(original, size, l) || out == nullptr) {
        return 0;
    }
    const size_t total = l.header + k_osn_size + l.payload;
    if (capacity < total) {
        return 0;
    }
    std::memcpy(out, original, l.header);
    out[0] = static_cast<uint8_t>(out[0] & ~0x20u);  // no padding
    out[1] = static_cast<uint8_t>((original[1] & 0x80u) | (pt & 0x7Fu));
    write_be16(out + 2, seq);
    write_be32(out + 8, ssrc);
    std::memcpy(out + l.header, original + 2, k_osn_size);
    std::memcpy(out + l.header + k_osn_size, original + l.header, l.payload);
    return total;
}

size_t rtx_decode(const uint8_t *rtx, size_t size, uint8_t original_pt, uint32_t original_ssrc,
                  uint8_t *out, size_t capacity) noexcept {
    rtp_layout l;
    if (!parse_rtp_layout(rtx, size, l) || l.payload < k_osn_size || out == nullptr) {
        return 0;
    }
    const size_t payload = l.payload - k_osn_size;
    const size_t total = l.header + payload;
    if (capacity < total) {
        return 0;
    }
    std::memcpy(out, rtx, l.header);
    out[0] = static_cast<uint8_t>(out[0] & ~0x20u);
    out[1] = static_cast<uint8_t>((rtx[1] & 0x80u) | (original_pt & 0x7Fu));
    std::memcpy(out + 2, rtx + l.header, k_osn_size);
    write_be32(out + 8, original_ssrc);
    std::memmove(out + l.header, rtx + l.header + k_osn_size, payload);
    return total;
}

}  // namespace tessal
