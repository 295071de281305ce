#pragma once

#include <cryptopp/misc.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {

// Whether SRTP/SRTCP and ZRTP are built into the library. The library always
// carries its cryptography (Crypto++), so this is true.
//
// The primitives live beside this header, one family per file pair: aes.hh
// (CTR, CFB, ECB), hmac.hh (HMAC-SHA1, HMAC-SHA256), sha256.hh, dh.hh (the
// RFC 3526 3072-bit MODP group), random.hh (operating-system random bytes),
// crc32.hh and b32.hh. Each class owns its Crypto++ state and is used by one
// thread at a time.
constexpr bool enabled() noexcept {
    return true;
}

// Whether `a` (`a_len` bytes) and `b` (`b_len` bytes) hold the same bytes.
// Lengths are public; over equal lengths the time taken does not depend on
// where the bytes differ. Every tag, MAC and hash check goes through it.
inline bool equal_constant_time(const uint8_t *a, size_t a_len, const uint8_t *b,
                                size_t b_len) noexcept {
    if (a_len != b_len) {
        return false;
    }
    if (a_len == 0) {
        return true;
    }
    if (a == nullptr || b == nullptr) {
        return false;
    }
    return CryptoPP::VerifyBufsEqual(a, b, a_len);
}

// Overwrites `len` bytes at `p` with zeros in a way the compiler keeps even
// when the memory is about to be freed: for keys, salts and secrets.
inline void wipe(void *p, size_t len) noexcept {
    if (p != nullptr && len != 0) {
        CryptoPP::SecureWipeBuffer(static_cast<uint8_t *>(p), len);
    }
}

}  // namespace crypto
}  // namespace tessal
