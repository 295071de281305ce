#pragma once

// Diagnostic lines on standard error:
//   "[Tessal][<level>][::<function>] <message>\n"
// The level carries ANSI colour codes only while standard error is a terminal
// and NO_COLOR is not set, so that a log file or a pipe gets plain text.
// There is no filter: every call prints.

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

namespace tessal {
namespace log {

enum class level { error, warning, info };

// The level string, with its colour codes ("\033[31mERROR\033[0m", ...)
// when `colour`, else plain ("ERROR", ...).
const char *level_string(level lvl, bool colour) noexcept;
// The level string as a line written now carries it (see use_colour).
const char *level_string(level lvl) noexcept;

// Whether lines carry colour: only on a terminal, and never while NO_COLOR
// holds a value (https://no-color.org: an empty NO_COLOR counts as unset).
// `no_color` is the variable's value, null when it is not set.
bool colour_wanted(bool stderr_is_terminal, const char *no_color) noexcept;
// colour_wanted for standard error and the environment, asked at each line.
bool use_colour() noexcept;

// Writes one line with one write to standard error. `fmt` and the further
// arguments are expanded into the message first; prefix and message together
// are cut at 255 characters and the line always ends in "\n".
void write(level lvl, const char *function, const char *fmt, ...) noexcept
    __attribute__((format(printf, 3, 4)));
void vwrite(level lvl, const char *function, const char *fmt, va_list args) noexcept
    __attribute__((format(printf, 3, 0)));

// A failed platform call: ERROR under the function name "log_platform_error",
// message "<what>: <strerror(errno)> <errno>\n".
void platform_error(const char *what) noexcept;

// strerror(err) without the shared static buffer of strerror.
std::string error_text(int err);

// Keeps one kind of line that remote input can trigger per packet (an
// oversize datagram, a duplicate, an invalid packet) from flooding standard
// error: the first occurrence is written in full; later ones are counted and
// written at most once per interval, with the number of lines held back since
// the last one written. One limiter per kind and per owning object; any
// thread may use it.
class limiter {
public:
    explicit limiter(int64_t interval_ms = 1000) noexcept : interval_ms_(interval_ms) {}

    // Whether a line is due at `now_ms` (any monotonic milliseconds); when it
    // is, `held_back` receives the number of occurrences suppressed since the
    // last line written. Counts every call. Lock-free, so it may be used
    // under any lock.
    bool due(int64_t now_ms, uint64_t &held_back) noexcept;
    // Occurrences seen in all.
    uint64_t occurrences() const noexcept { return total_.load(std::memory_order_relaxed); }

private:
    static constexpr int64_t k_never = INT64_MIN;
    const int64_t interval_ms_;
    std::atomic<int64_t> last_written_ms_{k_never};
    std::atomic<uint64_t> held_back_{0};
    std::atomic<uint64_t> total_{0};
};

// write() through a limiter, on the steady clock. A line written after some
// were held back ends in " (%llu more since the last report)".
void write_limited(limiter &lim, level lvl, const char *function, const char *fmt, ...) noexcept
    __attribute__((format(printf, 4, 5)));
void write_limited_at(limiter &lim, int64_t now_ms, level lvl, const char *function,
                      const char *fmt, ...) noexcept __attribute__((format(printf, 5, 6)));

}  // namespace log
}  // namespace tessal

#define LOG_ERROR(...) ::tessal::log::write(::tessal::log::level::error, __func__, __VA_ARGS__)
#define LOG_WARN(...) ::tessal::log::write(::tessal::log::level::warning, __func__, __VA_ARGS__)
#define LOG_INFO(...) ::tessal::log::write(::tessal::log::level::info, __func__, __VA_ARGS__)

// The same with an explicit reporting function name, where the line must name
// a function other than the calling one.
#define LOG_ERROR_AS(fn, ...) ::tessal::log::write(::tessal::log::level::error, fn, __VA_ARGS__)
#define LOG_WARN_AS(fn, ...) ::tessal::log::write(::tessal::log::level::warning, fn, __VA_ARGS__)
#define LOG_INFO_AS(fn, ...) ::tessal::log::write(::tessal::log::level::info, fn, __VA_ARGS__)

// A per-packet warning through a limiter (see log::limiter).
#define LOG_WARN_LIMITED(lim, ...) \
    ::tessal::log::write_limited((lim), ::tessal::log::level::warning, __func__, __VA_ARGS__)
#define LOG_WARN_LIMITED_AS(lim, fn, ...) \
    ::tessal::log::write_limited((lim), ::tessal::log::level::warning, fn, __VA_ARGS__)
#define LOG_ERROR_LIMITED(lim, ...) \
    ::tessal::log::write_limited((lim), ::tessal::log::level::error, __func__, __VA_ARGS__)
