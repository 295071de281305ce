#include "util/log.hh"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessal {
namespace log {

namespace {
// The historic line buffer: prefix and message never exceed 255 characters.
constexpr int k_line_chars = 255;
}  // namespace

const char *level_string(level lvl, bool colour) noexcept {
    switch (lvl) {
        case level::error:
            return colour ? "\033[31mERROR\033[0m" : "ERROR";
        case level::warning:
            return colour ? "\033[33mWARNING\033[0m" : "WARNING";
        case level::info:
            return colour ? "\033[34mINFO\033[0m" : "INFO";
    }
    return "";
}

const char *level_string(level lvl) noexcept {
    return level_string(lvl, use_colour());
}

bool colour_wanted(bool stderr_is_terminal, const char *no_color) noexcept {
    return stderr_is_terminal && (no_color == nullptr || no_color[0] == '\0');
}

// Asked at every line, not once: a line is rare, and standard error may be
// redirected while the process runs. isatty(3) sets errno (ENOTTY) for a file
// or a pipe; callers read errno after logging, so it is kept.
bool use_colour() noexcept {
    const int saved = errno;
    const bool colour = colour_wanted(::isatty(STDERR_FILENO) == 1, std::getenv("NO_COLOR"));
    errno = saved;
    return colour;
}

void vwrite(level lvl, const char *function, const char *fmt, va_list args) noexcept {
    // The message is expanded on its own, so a '%' in run-time text is never
    // taken for a directive and a cut cannot split one.
    char line[k_line_chars + 2];
    int used = std::snprintf(line, sizeof(line) - 1, "[Tessal][%s][::%s] ", level_string(lvl),
                             function ? function : "");
    if (used < 0) {
        return;
    }
    if (used < k_line_chars && fmt != nullptr) {
        int msg =
            std::vsnprintf(line + used, static_cast<size_t>(k_line_chars - used + 1), fmt, args);
        if (msg > 0) {
            used += msg;
        }
    }
    if (used > k_line_chars) {
        used = k_line_chars;
    }
    line[used] = '\n';
    std::fwrite(line, 1, static_cast<size_t>(used) + 1, stderr);
}

void write(level lvl, const char *function, const char *fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    vwrite(lvl, function, fmt, args);
    va_end(args);
}

void platform_error(const char *what) noexcept {
    int err = errno;
    char text[256];
    // GNU strerror_r may return a static string instead of filling `text`.
    const char *msg = strerror_r(err, text, sizeof(text));
    write(level::error, "log_platform_error", "%s: %s %d\n", what, msg, err);
}

std::string error_text(int err) {
    char text[256];
    return std::string(strerror_r(err, text, sizeof(text)));
}

bool limiter::due(int64_t now_ms, uint64_t &held_back) noexcept {
    total_.fetch_add(1, std::memory_order_relaxed);
    int64_t last = last_written_ms_.load(std::memory_order_relaxed);
    if ((last != k_never && now_ms - last < interval_ms_) ||
        !last_written_ms_.compare_exchange_strong(last, now_ms, std::memory_order_relaxed)) {
        held_back_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    held_back = held_back_.exchange(0, std::memory_order_relaxed);
    return true;
}

namespace {

void vwrite_limited(limiter &lim, int64_t now_ms, level lvl, const char *function, const char *fmt,
                    va_list args) noexcept {
    uint64_t held_back = 0;
    if (!lim.due(now_ms, held_back)) {
        return;
    }
    if (held_back == 0) {
        vwrite(lvl, function, fmt, args);
        return;
    }
    char message[k_line_chars + 1];
    if (std::vsnprintf(message, sizeof(message), fmt != nullptr ? fmt : "", args) < 0) {
        message[0] = '\0';
    }
    write(lvl, function, "%s (%llu more since the last report)", message,
          static_cast<unsigned long long>(held_back));
}

int64_t steady_ms() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void write_limited(limiter &lim, level lvl, const char *function, const char *fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    vwrite_limited(lim, steady_ms(), lvl, function, fmt, args);
    va_end(args);
}

void write_limited_at(limiter &lim, int64_t now_ms, level lvl, const char *function,
                      const char *fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    vwrite_limited(lim, now_ms, lvl, function, fmt, args);
    va_end(args);
}

}  // namespace log
}  // namespace tessal
