#pragma once

#include <cstdint>

namespace tessal {
namespace random {

// Uniform over [1, 0xFFFFFFFF], never 0. One process-wide MT19937, seeded
// once from /dev/urandom when the library is loaded; draws are serialised,
// so any thread may call it.
uint32_t generate_32() noexcept;

}  // namespace random
}  // namespace tessal
