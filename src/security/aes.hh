#pragma once

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {
namespace aes {

// Every class here takes a 16, 24 or 32-byte key (AES-128/192/256) and keeps
// no pointer to the caller's key or IV. Construction throws
// CryptoPP::InvalidKeyLength for any other key length. The objects are not
// copyable: the mode objects point at the key schedule they share. One thread
// at a time.

// AES in counter mode (NIST SP 800-38A section 6.5), the keystream of SRTP's
// AES-CM (RFC 3711 section 4.1.1): the 16-byte counter block is incremented as
// one 128-bit big-endian number per block.
//
// Two independent streams, one for encrypt() and one for decrypt(), share one
// key schedule and start from the same counter block. Each stream continues
// where its previous call stopped, so a message may be processed in pieces.
class ctr {
public:
    static constexpr size_t iv_size = 16;

    // Keys both streams with `key` and starts them at the counter block `iv`
    // (16 bytes). Throws CryptoPP::InvalidKeyLength on an invalid key length.
    ctr(const uint8_t *key, size_t key_len, const uint8_t *iv);
    ctr(const ctr &) = delete;
    ctr &operator=(const ctr &) = delete;

    // XORs the next `len` bytes of keystream with `in` into `out`; `out` may
    // equal `in` (in place). `len` need not be a multiple of 16.
    void encrypt(uint8_t *out, const uint8_t *in, size_t len);
    void decrypt(uint8_t *out, const uint8_t *in, size_t len);

    // Restarts both streams at a new 16-byte counter block, keeping the key:
    // a caller that keys once can then protect packet after packet.
    void resync(const uint8_t *iv);

private:
    CryptoPP::AES::Encryption cipher_;
    CryptoPP::CTR_Mode_ExternalCipher::Encryption enc_;
    CryptoPP::CTR_Mode_ExternalCipher::Decryption dec_;
};

// AES in cipher feedback mode with full 16-byte feedback (CFB128, NIST SP
// 800-38A section 6.3), as ZRTP encrypts its Confirm messages (RFC 6189
// section 5.7).
//
// Two independent states, one for encrypt() and one for decrypt(), share one
// key schedule and start from the same IV.
class cfb {
public:
    static constexpr size_t iv_size = 16;

    // Throws CryptoPP::InvalidKeyLength on an invalid key length.
    cfb(const uint8_t *key, size_t key_len, const uint8_t *iv);
    cfb(const cfb &) = delete;
    cfb &operator=(const cfb &) = delete;

    // Processes `len` bytes of `in` into `out`; `out` may equal `in`.
    void encrypt(uint8_t *out, const uint8_t *in, size_t len);
    void decrypt(uint8_t *out, const uint8_t *in, size_t len);

    // Restarts both states at a new 16-byte IV, keeping the key.
    void resync(const uint8_t *iv);

private:
    CryptoPP::AES::Encryption cipher_;
    CryptoPP::CFB_Mode_ExternalCipher::Encryption enc_;
    CryptoPP::CFB_Mode_ExternalCipher::Decryption dec_;
};

// AES in electronic codebook mode (NIST SP 800-38A section 6.1): each 16-byte
// block on its own. SRTP key derivation encrypts single blocks with it.
class ecb {
public:
    static constexpr size_t block_size = 16;

    // Throws CryptoPP::InvalidKeyLength on an invalid key length.
    ecb(const uint8_t *key, size_t key_len);
    ecb(const ecb &) = delete;
    ecb &operator=(const ecb &) = delete;

    // Processes `len` bytes, a multiple of 16, of `in` into `out`; `out` may
    // equal `in`. Throws CryptoPP::InvalidArgument when `len` is not a
    // multiple of 16, before touching `out`.
    void encrypt(uint8_t *out, const uint8_t *in, size_t len);
    void decrypt(uint8_t *out, const uint8_t *in, size_t len);

private:
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption enc_;
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption dec_;
};

}  // namespace aes
}  // namespace crypto
}  // namespace tessal
