#pragma once

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {
namespace aes {

// AES in Galois/Counter mode (NIST SP 800-38D), the AEAD of SRTP's
// AEAD_AES_128_GCM and AEAD_AES_256_GCM (RFC 7714): a 12-byte IV, a 16-byte
// tag. Keyed once; each call takes its own IV. Not copyable, one thread at a
// time, keeps no pointer to the caller's buffers.
class gcm {
public:
    static constexpr size_t iv_size = 12;
    static constexpr size_t tag_size = 16;

    // Throws CryptoPP::InvalidKeyLength unless `key_len` is 16, 24 or 32.
    gcm(const uint8_t *key, size_t key_len);
    gcm(const gcm &) = delete;
    gcm &operator=(const gcm &) = delete;

    // Encrypts `len` bytes of `in` into `out` (which may equal `in`) and
    // writes the tag over (`aad`, ciphertext) to `tag`.
    void seal(const uint8_t *iv, const uint8_t *aad, size_t aad_len, const uint8_t *in, size_t len,
              uint8_t *out, uint8_t *tag);
    // Checks `tag` over (`aad`, `in`) and decrypts `len` bytes into `out`
    // (which may equal `in`). False for a wrong tag; `out` then holds no
    // plaintext the caller may use.
    bool open(const uint8_t *iv, const uint8_t *aad, size_t aad_len, const uint8_t *in, size_t len,
              const uint8_t *tag, uint8_t *out);

private:
    CryptoPP::GCM<CryptoPP::AES>::Encryption enc_;
    CryptoPP::GCM<CryptoPP::AES>::Decryption dec_;
};

}  // namespace aes
}  // namespace crypto
}  // namespace tessal
