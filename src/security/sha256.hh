#pragma once

#include <cryptopp/sha.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {

// One SHA-256 (FIPS 180-4) hashing state, ZRTP's hash (RFC 6189 section
// 5.1.2). Reusable: after final() the next update() starts a new hash. Does
// not throw. Not copyable; one thread at a time.
class sha256 {
public:
    static constexpr size_t digest_size = 32;

    sha256() = default;
    sha256(const sha256 &) = delete;
    sha256 &operator=(const sha256 &) = delete;

    // Appends `len` bytes to the message.
    void update(const uint8_t *data, size_t len);

    // Writes the 32-byte digest to `digest` and resets the state.
    void final(uint8_t *digest);

private:
    CryptoPP::SHA256 hash_;
};

}  // namespace crypto
}  // namespace tessal
