#pragma once

// Diagnostic lines on standard error:
//   "[Tessal][<level>][::<function>] <message>\n"
// The level carries ANSI colour codes. There is no filter: every call prints.

#include <cstdarg>
#include <string>

namespace tessal {
namespace log {

enum class level { error, warning, info };

// The level string with its colour codes ("\033[31mERROR\033[0m", ...).
const char *level_string(level lvl) noexcept;

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
