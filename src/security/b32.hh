#pragma once

#include <cryptopp/base32.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {

// Base32 with Crypto++'s default encoder: the upper-case DUDE digit set
// "ABCDEFGHIJKMNPQRSTUVWXYZ23456789" (no L, O, 0 or 1), not RFC 4648's.
// Meant for rendering a short authentication string. Not copyable; one
// thread at a time.
class b32 {
public:
    b32() = default;
    b32(const b32 &) = delete;
    b32 &operator=(const b32 &) = delete;

    // Encodes the `len` bytes at `in` as one message and writes at most `len`
    // characters of the encoding to `out` (the encoding is 8/5 as long as the
    // input, so its tail is dropped). No terminator is written.
    void encode(const uint8_t *in, uint8_t *out, size_t len);

private:
    CryptoPP::Base32Encoder encoder_;
};

}  // namespace crypto
}  // namespace tessal
