#pragma once

namespace tessal {
namespace crypto {

// Whether SRTP/SRTCP and ZRTP are built into the library. They are not yet:
// streams asking for RCE_SRTP are refused.
constexpr bool enabled() noexcept {
    return false;
}

}  // namespace crypto
}  // namespace tessal
