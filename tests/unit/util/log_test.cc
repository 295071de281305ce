#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/stderr_capture.hh"
#include "util/log.hh"

using tessal::test::stderr_capture;
namespace log = tessal::log;

namespace {

const std::string k_error = "ERROR";
const std::string k_warning = "WARNING";
const std::string k_info = "INFO";

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

namespace tessal_colour {

using tessal::log::colour_wanted;

// Sets (or, with null, unsets) an environment variable for its lifetime.
class scoped_env {
public:
    scoped_env(const char *name, const char *value) : name_(name) {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        apply(value);
    }
    ~scoped_env() { apply(had_ ? old_.c_str() : nullptr); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    void apply(const char *value) {
        if (value != nullptr) {
            ::setenv(name_, value, 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char *name_;
    bool had_ = false;
    std::string old_;
};

// Writes one line of each level with `fd` as standard error.
void write_lines_to(int fd) {
    std::fflush(stderr);
    const int saved = ::dup(2);
    ASSERT_GE(saved, 0);
    ::dup2(fd, 2);
    log::write(log::level::error, "f", "e");
    log::write(log::level::warning, "f", "w");
    log::write(log::level::info, "f", "i");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
}

// Everything readable from `fd` within about two seconds of quiet.
std::string read_available(int fd) {
    std::string out;
    char buf[1024];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, out.empty() ? 2000 : 100) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

TEST(LogColour, WantedOnlyOnATerminalWithoutNoColor) {
    struct Case {
        const char *name;
        bool terminal;
        const char *no_color;
        bool expected;
    } cases[] = {
        {"terminal", true, nullptr, true},
        {"terminal, NO_COLOR=1", true, "1", false},
        {"terminal, NO_COLOR=0 (any value)", true, "0", false},
        {"terminal, NO_COLOR empty", true, "", true},
        {"file or pipe", false, nullptr, false},
        {"file or pipe, NO_COLOR=1", false, "1", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(colour_wanted(c.terminal, c.no_color), c.expected);
    }
}

// Regression: deciding on colour asked isatty(3), which set errno to ENOTTY
// under callers that log a failure and then report errno.
TEST(LogColour, WritingALineKeepsErrno) {
    stderr_capture cap;
    errno = EPERM;
    log::write(log::level::error, "f", "failed");
    const int after = errno;
    cap.stop();
    EXPECT_EQ(after, EPERM);
}

// A log file or a pipe never receives an escape byte.
TEST(LogColour, FileAndPipeGetPlainLines) {
    scoped_env unset("NO_COLOR", nullptr);
    const std::string expected =
        "[Tessal][ERROR][::f] e\n[Tessal][WARNING][::f] w\n"
        "[Tessal][INFO][::f] i\n";
    {
        SCOPED_TRACE("file");
        std::FILE *file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        write_lines_to(::fileno(file));
        std::rewind(file);
        std::string text;
        char buf[512];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof(buf), file)) > 0) {
            text.append(buf, n);
        }
        std::fclose(file);
        EXPECT_EQ(text.find('\033'), std::string::npos) << text;
        EXPECT_EQ(text, expected);
    }
    {
        SCOPED_TRACE("pipe");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        write_lines_to(fds[1]);
        ::close(fds[1]);
        const std::string text = read_available(fds[0]);
        ::close(fds[0]);
        EXPECT_EQ(text.find('\033'), std::string::npos) << text;
        EXPECT_EQ(text, expected);
    }
}

// A terminal gets colours unless NO_COLOR holds a value.
TEST(LogColour, TerminalGetsColoursUnlessNoColorIsSet) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        GTEST_SKIP() << "no pseudo-terminal here";
    }
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::isatty(terminal), 1);
    struct Case {
        const char *name;
        const char *no_color;
        bool coloured;
    } cases[] = {
        {"NO_COLOR unset", nullptr, true},
        {"NO_COLOR=1", "1", false},
        {"NO_COLOR empty", "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        scoped_env env("NO_COLOR", c.no_color);
        write_lines_to(terminal);
        const std::string text = read_available(master);
        ASSERT_NE(text.find("[::f] e"), std::string::npos) << text;
        if (c.coloured) {
            EXPECT_NE(text.find("[Tessal][\033[31mERROR\033[0m][::f] e"), std::string::npos);
            EXPECT_NE(text.find("[Tessal][\033[33mWARNING\033[0m][::f] w"), std::string::npos);
            EXPECT_NE(text.find("[Tessal][\033[34mINFO\033[0m][::f] i"), std::string::npos);
        } else {
            EXPECT_EQ(text.find('\033'), std::string::npos) << text;
            EXPECT_NE(text.find("[Tessal][ERROR][::f] e"), std::string::npos) << text;
        }
    }
    ::close(terminal);
    ::close(master);
}

}  // namespace tessal_colour
