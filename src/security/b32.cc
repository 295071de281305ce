#include "security/b32.hh"

#include <algorithm>

namespace tessal {
namespace crypto {

void b32::encode(const uint8_t *in, uint8_t *out, size_t len) {
    encoder_.Put(in, len);
    encoder_.MessageEnd();
    const size_t available = static_cast<size_t>(encoder_.MaxRetrievable());
    encoder_.Get(out, std::min(available, len));
    // Drop the rest of this message so the next call starts clean.
    encoder_.SkipMessages(1);
}

}  // namespace crypto
}  // namespace tessal
