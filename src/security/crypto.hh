#pragma once

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

}  // namespace crypto
}  // namespace tessal
