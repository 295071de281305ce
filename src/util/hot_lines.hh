#pragma once

// The cache lines a hot path touches across several objects, gathered once
// so that a call can ask for all of them together.
//
// A process that serves hundreds of streams in turn finds each stream's
// state cold: the kernel's work for the other streams has evicted it. A push
// then walks a chain of pointers (stream, format, send queue, RTP state,
// socket, send handlers) and pays a full memory latency at every link, one
// after the other. Prefetching the gathered lines first turns that chain
// into misses that overlap. A prefetch never faults, so a list gone stale
// costs speed, never correctness.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessal {

class hot_lines {
public:
    static constexpr size_t k_capacity = 32;
    static constexpr uintptr_t k_line = 64;

    // Every line of [p, p + bytes) not yet in the list; lines beyond the
    // capacity are left out.
    void add(const void *p, size_t bytes = 1) noexcept {
        if (p == nullptr || bytes == 0) {
            return;
        }
        const auto begin = reinterpret_cast<uintptr_t>(p) & ~(k_line - 1);
        const auto end = reinterpret_cast<uintptr_t>(p) + bytes;
        for (uintptr_t line = begin; line < end && count_ < k_capacity; line += k_line) {
            if (!contains(line)) {
                lines_[count_++] = line;
            }
        }
    }

    // Every line from `begin` up to, not including, `end`: the fields of
    // an object that lie between two members.
    void add_between(const void *begin, const void *end) noexcept {
        const auto *b = static_cast<const unsigned char *>(begin);
        const auto *e = static_cast<const unsigned char *>(end);
        if (e > b) {
            add(b, static_cast<size_t>(e - b));
        }
    }

    void clear() noexcept { count_ = 0; }
    size_t size() const noexcept { return count_; }
    bool contains(const void *p) const noexcept {
        return contains(reinterpret_cast<uintptr_t>(p) & ~(k_line - 1));
    }

    // Asks for every line, for writing where the CPU can (most of them hold
    // counters the path advances).
    void prefetch() const noexcept {
        for (size_t i = 0; i < count_; ++i) {
            __builtin_prefetch(reinterpret_cast<const void *>(lines_[i]), 1, 3);
        }
    }

private:
    bool contains(uintptr_t line) const noexcept {
        for (size_t i = 0; i < count_; ++i) {
            if (lines_[i] == line) {
                return true;
            }
        }
        return false;
    }

    // The count first: the line that holds it holds the first entries too.
    size_t count_ = 0;
    std::array<uintptr_t, k_capacity> lines_{};
};

}  // namespace tessal
