#pragma once

// Captures what is written to file descriptor 2 between start and stop, so
// tests can compare log lines byte for byte.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessal {
namespace test {

class stderr_capture {
public:
    stderr_capture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        file_ = std::tmpfile();
        ::dup2(::fileno(file_), 2);
    }

    ~stderr_capture() { restore(); }

    // Stops capturing and returns everything written since construction.
    std::string stop() {
        restore();
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof(buf), file_)) > 0) {
            out.append(buf, n);
        }
        std::fclose(file_);
        file_ = nullptr;
        return out;
    }

    stderr_capture(const stderr_capture &) = delete;
    stderr_capture &operator=(const stderr_capture &) = delete;

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }

    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

}  // namespace test
}  // namespace tessal
