#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "support/stderr_capture.hh"
#include "util/clock.hh"

using namespace tessal;
using tessal::test::stderr_capture;

namespace {

constexpr uint64_t k_second = 1ULL << 32;

TEST(NtpClock, DiffTable) {
    const uint64_t t = 3900000000ULL * k_second + 0x80000000ULL;  // x.5 s
    struct Case {
        const char *name;
        uint64_t older, newer;
        uint32_t expected;
        const char *log_fragment;  // nullptr: nothing logged
    } cases[] = {
        {"same instant", t, t, 0, nullptr},
        {"one second later", t, t + k_second, 1000, nullptr},
        {"half a second", 5 * k_second, 5 * k_second + 0x80000000ULL, 500, nullptr},
        {"largest representable", k_second,
         k_second + 4294967ULL * k_second + ((295ULL * k_second) / 1000 + 1), 4294967295U, nullptr},
        {"too large", k_second, k_second + 4294968ULL * k_second, 0xFFFFFFFFU,
         "NTP difference is too large: 4294968000. Limiting value"},
        {"older is zero", 0, 10 * k_second, 10000, "[::diff] Older NTP is zero"},
        {"older is newer", t + k_second, t, 0xFFFFFFFFU,
         "[::ntp_diff_ms] Older timestamp is actually newer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        EXPECT_EQ(clock::ntp::diff(c.older, c.newer), c.expected);
        const std::string out = cap.stop();
        if (c.log_fragment == nullptr) {
            EXPECT_EQ(out, "");
        } else {
            EXPECT_NE(out.find(c.log_fragment), std::string::npos) << out;
        }
    }
}

TEST(NtpClock, NowIsWallClockSince1900) {
    const uint64_t now = clock::ntp::now();
    const uint64_t unix_now = static_cast<uint64_t>(std::time(nullptr));
    const uint64_t seconds = now >> 32;
    EXPECT_LE(seconds - ((unix_now + 2208988800ULL) & 0xFFFFFFFFULL) + 1, 2u);
    EXPECT_LT(clock::ntp::diff_now(now), 1000u);
}

TEST(NtpClock, DiffNowWithZeroLogs) {
    stderr_capture cap;
    clock::ntp::diff_now(0);
    EXPECT_NE(cap.stop().find("[::diff_now] Asked to difference now with zero"), std::string::npos);
}

TEST(HighResolutionClock, DifferencesTruncateTowardZero) {
    const clock::hrc::hrc_t b = clock::hrc::now();
    const clock::hrc::hrc_t a = b - std::chrono::microseconds(1900);
    EXPECT_EQ(clock::hrc::diff(a, b), -1);
    EXPECT_EQ(clock::hrc::diff(b, a), 1);
    EXPECT_EQ(clock::hrc::diff(b, b), 0);
    const clock::hrc::hrc_t past = clock::hrc::now() - std::chrono::milliseconds(20);
    EXPECT_GE(clock::hrc::diff_now(past), 20);
    EXPECT_GE(clock::hrc::diff_now_us(past), 20000);
}

TEST(Jiffies, Conversions) {
    EXPECT_EQ(clock::ms_to_jiffies(1000), 65536u);
    EXPECT_EQ(clock::jiffies_to_ms(65536), 1000u);
    EXPECT_EQ(clock::us_to_jiffies(500000), 32768u);
    EXPECT_EQ(clock::ms_to_jiffies(0), 0u);
    EXPECT_EQ(clock::ms_to_jiffies(1), 65u);  // 65.536 truncated
    EXPECT_EQ(clock::jiffies_to_ms(1), 0u);   // 0.015 ms truncated
}

}  // namespace
