#pragma once

#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {
namespace hmac {

// HMAC (RFC 2104) states. A key of any length is accepted; the object keeps
// its own copy. After final() the state starts a new MAC under the same key,
// so one keyed object may serve packet after packet. Not copyable; one thread
// at a time.

// HMAC-SHA1, the SRTP/SRTCP authentication transform (RFC 3711 section
// 4.2.1). The 80-bit tag is final(tag, 10).
class sha1 {
public:
    static constexpr size_t digest_size = 20;

    sha1(const uint8_t *key, size_t key_len);
    sha1(const sha1 &) = delete;
    sha1 &operator=(const sha1 &) = delete;

    // Appends `len` bytes to the message.
    void update(const uint8_t *data, size_t len);

    // Writes the 20-byte MAC to `digest` and restarts.
    void final(uint8_t *digest);

    // Writes the first `n` bytes of the MAC to `digest` and restarts. Throws
    // CryptoPP::InvalidArgument when `n` exceeds 20.
    void final(uint8_t *digest, size_t n);

    // Drops the input given since the last final(); the key stays.
    void restart();

private:
    CryptoPP::HMAC<CryptoPP::SHA1> mac_;
};

// HMAC-SHA256, ZRTP's message MAC and key derivation function (RFC 6189
// section 4.5.1). Callers needing a 64-bit MAC use final(mac, 8).
class sha256 {
public:
    static constexpr size_t digest_size = 32;

    sha256(const uint8_t *key, size_t key_len);
    sha256(const sha256 &) = delete;
    sha256 &operator=(const sha256 &) = delete;

    void update(const uint8_t *data, size_t len);

    // Writes the 32-byte MAC to `digest` and restarts.
    void final(uint8_t *digest);

    // Writes the first `n` bytes of the MAC and restarts. Throws
    // CryptoPP::InvalidArgument when `n` exceeds 32.
    void final(uint8_t *digest, size_t n);

    void restart();

private:
    CryptoPP::HMAC<CryptoPP::SHA256> mac_;
};

}  // namespace hmac
}  // namespace crypto
}  // namespace tessal
