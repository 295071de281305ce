#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/stderr_capture.hh"
#include "util/log.hh"

using tessal::test::stderr_capture;
namespace log = tessal::log;

namespace {

const std::string k_error = "\033[31mERROR\033[0m";
const std::string k_warning = "\033[33mWARNING\033[0m";
const std::string k_info = "\033[34mINFO\033[0m";

// Stand-in for a member function that reports through the macros.
void create_stream() {
    LOG_ERROR("Cannot both use RCE_SEND_ONLY and RCE_RECEIVE_ONLY!");
}

TEST(Log, LineFormatByLevelExactBytes) {
    struct Case {
        const char *name;
        log::level lvl;
        const char *function;
        std::string message;
        std::string expected;
    } cases[] = {
        {"error", log::level::error, "init", "Failed",
         "[Tessal][" + k_error + "][::init] Failed\n"},
        {"warning", log::level::warning, "set_default_clock_rate",
         "Unknown RTP format, setting clock rate to 8000",
         "[Tessal][" + k_warning +
             "][::set_default_clock_rate] Unknown RTP format, setting clock rate to 8000\n"},
        {"info", log::level::info, "f", "", "[Tessal][" + k_info + "][::f] \n"},
        {"message ending in newline keeps both", log::level::error, "g", "x\n",
         "[Tessal][" + k_error + "][::g] x\n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        log::write(c.lvl, c.function, "%s", c.message.c_str());
        EXPECT_EQ(cap.stop(), c.expected);
    }
}

TEST(Log, MacroNamesTheCallingFunction) {
    stderr_capture cap;
    create_stream();
    EXPECT_EQ(cap.stop(), "[Tessal][" + k_error +
                              "][::create_stream] Cannot both use RCE_SEND_ONLY and "
                              "RCE_RECEIVE_ONLY!\n");
}

TEST(Log, ArgumentsFillTheMessage) {
    stderr_capture cap;
    log::write(log::level::error, "init", "Failed to initialize media stream %s:%d/%d", "127.0.0.1",
               8888, 8889);
    EXPECT_EQ(cap.stop(), "[Tessal][" + k_error +
                              "][::init] Failed to initialize media stream 127.0.0.1:8888/8889\n");
}

TEST(Log, PercentInRunTimeTextIsPrintedNotInterpreted) {
    // Regression: run-time text was once used as a printf format.
    stderr_capture cap;
    const char *hostile = "%s%s%n%d 100%";
    log::write(log::level::warning, "f", "%s", hostile);
    EXPECT_EQ(cap.stop(), "[Tessal][" + k_warning + "][::f] %s%s%n%d 100%\n");
}

TEST(Log, LongLinesAreCutAt255CharactersAndStillEndInNewline) {
    const std::string prefix = "[Tessal][" + k_error + "][::f] ";
    for (size_t len : {size_t{1}, 255 - prefix.size() - 1, 255 - prefix.size(),
                       255 - prefix.size() + 1, size_t{1000}}) {
        SCOPED_TRACE(len);
        const std::string message(len, 'a');
        stderr_capture cap;
        log::write(log::level::error, "f", "%s", message.c_str());
        const std::string line = cap.stop();
        const std::string full = prefix + message;
        const std::string expected = full.substr(0, std::min<size_t>(full.size(), 255)) + "\n";
        EXPECT_EQ(line, expected);
    }
}

TEST(Log, PlatformErrorForm) {
    stderr_capture cap;
    errno = EADDRINUSE;
    log::platform_error("bind(2) to any failed");
    EXPECT_EQ(cap.stop(),
              "[Tessal][" + k_error + "][::log_platform_error] bind(2) to any failed: " +
                  log::error_text(EADDRINUSE) + " " + std::to_string(EADDRINUSE) + "\n\n");
}

}  // namespace

namespace tessal_limited {

// Remote input must not write a line per packet: the first occurrence is
// written, the rest are counted and summarised at most once per interval.
TEST(LogLimiter, FirstLineThenOneSummaryPerInterval) {
    log::limiter lim(1000);
    stderr_capture cap;
    for (int i = 0; i < 100; ++i) {
        log::write_limited_at(lim, i, log::level::warning, "receiver", "Dropped %d", i);
    }
    // 999 ms after the first line: still held back.
    log::write_limited_at(lim, 999, log::level::warning, "receiver", "Dropped late");
    // One interval on: one line that counts what was held back.
    log::write_limited_at(lim, 1000, log::level::warning, "receiver", "Dropped %d", 1000);
    log::write_limited_at(lim, 1500, log::level::warning, "receiver", "Dropped %d", 1500);
    // A quiet stretch, then one more: written at once, nothing held back before it.
    log::write_limited_at(lim, 5000, log::level::warning, "receiver", "Dropped %d", 5000);
    log::write_limited_at(lim, 9000, log::level::warning, "receiver", "Dropped %d", 9000);
    EXPECT_EQ(cap.stop(),
              "[Tessal][" + k_warning + "][::receiver] Dropped 0\n" + "[Tessal][" + k_warning +
                  "][::receiver] Dropped 1000 (100 more since the last report)\n" + "[Tessal][" +
                  k_warning + "][::receiver] Dropped 5000 (1 more since the last report)\n" +
                  "[Tessal][" + k_warning + "][::receiver] Dropped 9000\n");
    EXPECT_EQ(lim.occurrences(), 105u);
}

TEST(LogLimiter, KindsAreIndependent) {
    log::limiter oversize;
    log::limiter duplicate;
    uint64_t held = 0;
    EXPECT_TRUE(oversize.due(0, held));
    EXPECT_TRUE(duplicate.due(1, held));
    EXPECT_FALSE(oversize.due(2, held));
    EXPECT_FALSE(duplicate.due(3, held));
}

}  // namespace tessal_limited
