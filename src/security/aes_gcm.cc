#include "security/aes_gcm.hh"

#include <cstring>

namespace tessal {
namespace crypto {
namespace aes {

gcm::gcm(const uint8_t *key, size_t key_len) {
    // Every message sets its own IV; this one only completes the keying.
    const uint8_t iv[iv_size] = {};
    enc_.SetKeyWithIV(key, key_len, iv, iv_size);
    dec_.SetKeyWithIV(key, key_len, iv, iv_size);
}

void gcm::seal(const uint8_t *iv, const uint8_t *aad, size_t aad_len, const uint8_t *in, size_t len,
               uint8_t *out, uint8_t *tag) {
    enc_.EncryptAndAuthenticate(out, tag, tag_size, iv, static_cast<int>(iv_size), aad, aad_len, in,
                                len);
}

bool gcm::open(const uint8_t *iv, const uint8_t *aad, size_t aad_len, const uint8_t *in, size_t len,
               const uint8_t *tag, uint8_t *out) {
    const bool ok = dec_.DecryptAndVerify(out, tag, tag_size, iv, static_cast<int>(iv_size), aad,
                                          aad_len, in, len);
    if (!ok && len > 0) {
        // Crypto++ decrypts before it verifies: leave nothing of a forgery.
        std::memset(out, 0, len);
    }
    return ok;
}

}  // namespace aes
}  // namespace crypto
}  // namespace tessal
