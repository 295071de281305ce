#include "security/sha256.hh"

namespace tessal {
namespace crypto {

void sha256::update(const uint8_t *data, size_t len) {
    hash_.Update(data, len);
}

void sha256::final(uint8_t *digest) {
    hash_.Final(digest);
}

}  // namespace crypto
}  // namespace tessal
