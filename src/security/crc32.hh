#pragma once

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {
namespace crc32 {

// The common CRC-32 (ISO-HDLC, IEEE 802.3: reflected polynomial 0xEDB88320,
// initial value and final XOR 0xFFFFFFFF), not CRC-32C. Our ZRTP packets
// carry it where RFC 6189 section 5 has CRC-32C; peers are instances of this
// library.
//
// The value is given as its 4-byte little-endian image read as a host-order
// word: on a little-endian host the plain CRC ("123456789" gives 0xCBF43926),
// and stored back with memcpy it always lays down the little-endian bytes.
// Pure functions; any thread.

// Writes the CRC of `len` bytes at `data` to `*out`.
void get_crc32(const uint8_t *data, size_t len, uint32_t *out) noexcept;

// Returns the CRC of `len` bytes at `data`.
uint32_t calculate_crc32(const uint8_t *data, size_t len) noexcept;

// Whether the CRC of `len` bytes at `data` equals `expected`.
bool verify_crc32(const uint8_t *data, size_t len, uint32_t expected) noexcept;

}  // namespace crc32
}  // namespace crypto
}  // namespace tessal
