#pragma once

// Wall-clock NTP timestamps (RFC 3550 section 4), a monotonic clock with
// millisecond/microsecond differences, and jiffies (1/65536 s, the unit of
// RTCP's delay fields). Stateless; callable from any thread.

#include <chrono>
#include <cstdint>

namespace tessal {
namespace clock {

// Upper 32 bits: seconds since 1 January 1900; lower 32 bits: binary fraction.
using ntp_t = uint64_t;

namespace ntp {
ntp_t now() noexcept;
// Milliseconds from `older` to `newer`; 0xFFFFFFFF when that does not fit.
uint32_t diff(ntp_t older, ntp_t newer) noexcept;
uint32_t diff_now(ntp_t older) noexcept;
}  // namespace ntp

namespace hrc {
using hrc_t = std::chrono::steady_clock::time_point;

hrc_t now() noexcept;
// a - b in milliseconds, truncated toward zero.
int64_t diff(const hrc_t &a, const hrc_t &b) noexcept;
int64_t diff_now(const hrc_t &then) noexcept;
int64_t diff_now_us(const hrc_t &then) noexcept;
}  // namespace hrc

uint64_t ms_to_jiffies(uint64_t ms) noexcept;
uint64_t us_to_jiffies(uint64_t us) noexcept;
uint64_t jiffies_to_ms(uint64_t jiffies) noexcept;

}  // namespace clock
}  // namespace tessal
