#pragma once

// Replaces the global allocation functions with ones that count, per thread,
// the allocations of a thread that asked for counting. Include it in exactly
// one file of a test program: it defines the replacements.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tessal {
namespace test {

struct allocation_count {
    bool counting = false;
    std::size_t all = 0;
    std::size_t large = 0;  // of at least k_large_allocation bytes
};
constexpr std::size_t k_large_allocation = 1024;

inline allocation_count &thread_allocations() {
    thread_local allocation_count count;
    return count;
}

// Counts the allocations of this thread while it lives.
class counting_scope {
public:
    counting_scope() {
        thread_allocations() = allocation_count{};
        thread_allocations().counting = true;
    }
    ~counting_scope() { thread_allocations().counting = false; }
    counting_scope(const counting_scope &) = delete;
    counting_scope &operator=(const counting_scope &) = delete;
};

}  // namespace test
}  // namespace tessal

void *operator new(std::size_t size) {
    tessal::test::allocation_count &count = tessal::test::thread_allocations();
    if (count.counting) {
        ++count.all;
        count.large += size >= tessal::test::k_large_allocation ? 1 : 0;
    }
    if (void *p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return ::operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return ::operator new(size, std::nothrow);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}
