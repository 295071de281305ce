#include "util/log.hh"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessal {
namespace log {

namespace {
// The historic line buffer: prefix and message never exceed 255 characters.
constexpr int k_line_chars = 255;
}  // namespace

const char *level_string(level lvl) noexcept {
    switch (lvl) {
        case level::error:
            return "\033[31mERROR\033[0m";
        case level::warning:
            return "\033[33mWARNING\033[0m";
        case level::info:
            return "\033[34mINFO\033[0m";
    }
    return "";
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

}  // namespace log
}  // namespace tessal
