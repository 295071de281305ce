#include "security/random.hh"

#include <cryptopp/osrng.h>

namespace tessal {
namespace crypto {
namespace random {

void generate_random(uint8_t *out, size_t len) {
    CryptoPP::NonblockingRng rng;
    rng.GenerateBlock(out, len);
}

}  // namespace random
}  // namespace crypto
}  // namespace tessal
