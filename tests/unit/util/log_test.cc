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
