#include "security/hmac.hh"

namespace tessal {
namespace crypto {
namespace hmac {

sha1::sha1(const uint8_t *key, size_t key_len) : mac_(key, key_len) {}

void sha1::update(const uint8_t *data, size_t len) {
    mac_.Update(data, len);
}

void sha1::final(uint8_t *digest) {
    mac_.Final(digest);
}

void sha1::final(uint8_t *digest, size_t n) {
    mac_.TruncatedFinal(digest, n);
}

void sha1::restart() {
    mac_.Restart();
}

sha256::sha256(const uint8_t *key, size_t key_len) : mac_(key, key_len) {}

void sha256::update(const uint8_t *data, size_t len) {
    mac_.Update(data, len);
}

void sha256::final(uint8_t *digest) {
    mac_.Final(digest);
}

void sha256::final(uint8_t *digest, size_t n) {
    mac_.TruncatedFinal(digest, n);
}

void sha256::restart() {
    mac_.Restart();
}

}  // namespace hmac
}  // namespace crypto
}  // namespace tessal
