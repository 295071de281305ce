#include "security/crc32.hh"

#include <cryptopp/crc.h>

#include <cstring>

namespace tessal {
namespace crypto {
namespace crc32 {

void get_crc32(const uint8_t *data, size_t len, uint32_t *out) noexcept {
    *out = calculate_crc32(data, len);
}

uint32_t calculate_crc32(const uint8_t *data, size_t len) noexcept {
    // Crypto++ writes the little-endian image of the CRC on every host.
    CryptoPP::CRC32 crc;
    crc.Update(data, len);
    uint8_t image[CryptoPP::CRC32::DIGESTSIZE];
    crc.Final(image);
    uint32_t value = 0;
    std::memcpy(&value, image, sizeof(value));
    return value;
}

bool verify_crc32(const uint8_t *data, size_t len, uint32_t expected) noexcept {
    return calculate_crc32(data, len) == expected;
}

}  // namespace crc32
}  // namespace crypto
}  // namespace tessal
