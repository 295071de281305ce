#pragma once

#include <cstddef>
#include <cstdint>

namespace tessal {
namespace crypto {
namespace random {

// Fills `out` with `len` bytes from the operating system's random source
// without blocking. Any thread may call it. Throws CryptoPP::OS_RNG_Err when
// the source cannot be opened or read.
void generate_random(uint8_t *out, size_t len);

}  // namespace random
}  // namespace crypto
}  // namespace tessal
