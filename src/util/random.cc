#include "util/random.hh"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <random>

namespace tessal {
namespace random {

namespace {

uint32_t read_seed() {
    uint32_t seed = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t got = ::read(fd, &seed, sizeof(seed));
        ::close(fd);
        if (got == static_cast<ssize_t>(sizeof(seed))) {
            return seed;
        }
    }
    // No random device: a seed from the clock and the process id keeps the
    // process alive; SSRCs then only need to differ between sessions.
    auto ticks =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return static_cast<uint32_t>(ticks ^ (ticks >> 32)) ^
           (static_cast<uint32_t>(::getpid()) * 2654435761U);
}

struct source {
    std::mutex lock;
    std::mt19937 engine{read_seed()};
    std::uniform_int_distribution<uint32_t> dist{1, 0xFFFFFFFFU};
};

source &instance() {
    static source s;
    return s;
}

// Seed at load time, not at the first draw.
[[maybe_unused]] const bool seeded_at_load = (instance(), true);

}  // namespace

uint32_t generate_32() noexcept {
    source &s = instance();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.dist(s.engine);
}

}  // namespace random
}  // namespace tessal
