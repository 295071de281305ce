#pragma once

#include <cryptopp/dh.h>
#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {

// Finite-field Diffie-Hellman over the 3072-bit MODP group of RFC 3526
// section 4 (generator 2, a safe prime), ZRTP's "DH3k" (RFC 6189 section
// 5.1.5). Values cross the interface as unsigned big-endian integers,
// left-padded with zeros to the length the caller gives (key_size for this
// group).
//
// Crypto++ exceptions may escape: the constructor and generate_keys() throw
// CryptoPP::OS_RNG_Err when the operating system's random source fails.
// Not copyable; one thread at a time.
class dh {
public:
    // Bytes of the prime, and so of a public value or shared secret.
    static constexpr size_t key_size = 384;

    // Seeds the random pool from the operating system without blocking and
    // loads the group. No key pair yet.
    dh();
    dh(const dh &) = delete;
    dh &operator=(const dh &) = delete;

    // Draws a fresh private exponent of Crypto++'s default size for the
    // group and computes the public value g^x mod p.
    void generate_keys();

    // Uses the given private exponent (big-endian) instead of a random one
    // and computes its public value: for known-answer tests.
    void set_private_key(const uint8_t *in, size_t len);

    // Writes the own public value to `out`, `len` bytes (key_size). A shorter
    // `len` keeps only the low-order bytes.
    void get_pk(uint8_t *out, size_t len) const;

    // Reads the peer's public value from `len` big-endian bytes.
    void set_remote_pk(const uint8_t *in, size_t len);

    // Whether the peer's public value lies in [2, p - 2], the range a
    // receiver must check before using it (RFC 6189 section 4.4.1).
    bool remote_pk_is_valid() const;

    // Writes remote^x mod p to `out`, `len` bytes (key_size). The caller
    // checks the peer's value first; generate_keys() must have run.
    void get_shared_secret(uint8_t *out, size_t len) const;

    // Writes the group's prime to `out`, `len` bytes (key_size).
    void get_prime(uint8_t *out, size_t len) const;

private:
    CryptoPP::AutoSeededRandomPool rng_;
    CryptoPP::DH group_;
    CryptoPP::Integer private_;
    CryptoPP::Integer public_;
    CryptoPP::Integer remote_;
};

}  // namespace crypto
}  // namespace tessal
