#include "util/clock.hh"

#include <sys/time.h>

#include "util/log.hh"

namespace tessal {
namespace clock {

namespace {
constexpr uint64_t k_unix_to_ntp_seconds = 2208988800ULL;
constexpr uint64_t k_max_diff_us = 4294967296000ULL;  // 2^32 ms

uint32_t diff_impl(ntp_t older, ntp_t newer) {
    if (older > newer) {
        LOG_ERROR_AS("ntp_diff_ms", "Older timestamp is actually newer");
    }
    const uint64_t older_frac_us = ((older & 0xFFFFFFFFULL) * 1000000ULL) >> 32;
    const uint64_t newer_frac_us = ((newer & 0xFFFFFFFFULL) * 1000000ULL) >> 32;
    const uint32_t seconds =
        static_cast<uint32_t>(newer >> 32) - static_cast<uint32_t>(older >> 32);
    const uint64_t us = uint64_t{seconds} * 1000000ULL + newer_frac_us - older_frac_us;
    if (us >= k_max_diff_us) {
        LOG_ERROR_AS("ntp_diff_ms", "NTP difference is too large: %llu. Limiting value",
                     static_cast<unsigned long long>(us / 1000));
        return 0xFFFFFFFFU;
    }
    return static_cast<uint32_t>(us / 1000);
}
}  // namespace

ntp_t ntp::now() noexcept {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const uint64_t seconds =
        (static_cast<uint64_t>(tv.tv_sec) + k_unix_to_ntp_seconds) & 0xFFFFFFFFULL;
    // The fraction is computed in single precision, as peers of this library
    // have always received it.
    const float scaled = static_cast<float>(static_cast<uint64_t>(tv.tv_usec) << 32);
    const auto fraction = static_cast<uint32_t>(static_cast<double>(scaled) / 1000000.0);
    return (seconds << 32) | fraction;
}

uint32_t ntp::diff(ntp_t older, ntp_t newer) noexcept {
    if (older == 0) {
        LOG_ERROR("Older NTP is zero");
    }
    return diff_impl(older, newer);
}

uint32_t ntp::diff_now(ntp_t older) noexcept {
    if (older == 0) {
        LOG_ERROR("Asked to difference now with zero");
    }
    return diff_impl(older, now());
}

hrc::hrc_t hrc::now() noexcept {
    return std::chrono::steady_clock::now();
}

int64_t hrc::diff(const hrc_t &a, const hrc_t &b) noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(a - b).count();
}

int64_t hrc::diff_now(const hrc_t &then) noexcept {
    return diff(now(), then);
}

int64_t hrc::diff_now_us(const hrc_t &then) noexcept {
    return std::chrono::duration_cast<std::chrono::microseconds>(now() - then).count();
}

uint64_t ms_to_jiffies(uint64_t ms) noexcept {
    return static_cast<uint64_t>(static_cast<double>(ms) / 1000.0 * 65536.0);
}

uint64_t us_to_jiffies(uint64_t us) noexcept {
    return static_cast<uint64_t>(static_cast<double>(us) / 1000000.0 * 65536.0);
}

uint64_t jiffies_to_ms(uint64_t jiffies) noexcept {
    return static_cast<uint64_t>(static_cast<double>(jiffies) / 65536.0 * 1000.0);
}

}  // namespace clock
}  // namespace tessal
