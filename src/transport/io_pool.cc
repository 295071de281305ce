#include "transport/io_pool.hh"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <system_error>

#include "util/log.hh"

namespace tessal {

namespace {

// One pool of each kind for the process while anyone holds it, of
// `threads` threads. Null if the pool cannot run.
template <typename Pool>
std::shared_ptr<Pool> shared_pool(unsigned threads) {
    static std::mutex lock;
    static std::weak_ptr<Pool> current;
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Pool> pool = current.lock();
    if (!pool) {
        pool = std::make_shared<Pool>(threads);
        if (!pool->valid()) {
            return nullptr;
        }
        current = pool;
    }
    return pool;
}

}  // namespace

void raise_thread_priority(std::thread &thread, int below_max) {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO) - below_max;
    (void)pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

std::shared_ptr<io_pool> io_pool::shared() {
    // One receive thread per two cores: a thread that takes a datagram off a
    // socket is done long before the next arrives at ordinary rates, and
    // more threads only split the wake-ups between them; bursts go on to the
    // processing threads.
    const unsigned cores = std::thread::hardware_concurrency();
    return shared_pool<io_pool>(std::min(4u, std::max(1u, cores / 2)));
}

namespace {

constexpr uint8_t k_idle = 0;
constexpr uint8_t k_running = 1;
constexpr uint8_t k_again = 2;
constexpr uint8_t k_stopped = 3;

constexpr uint32_t k_watch_events = EPOLLIN | EPOLLET;

// The pass count of a thread that has ended.
constexpr uint64_t k_gone = UINT64_MAX;

}  // namespace

io_pool::io_pool(unsigned threads) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        log::platform_error("epoll_create1(2)/eventfd(2) failed");
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;  // level-triggered: wakes every thread until they all left
    ev.data.ptr = nullptr;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) {
        log::platform_error("epoll_ctl(2) failed");
        return;
    }
    passes_.reset(new std::atomic<uint64_t>[threads]);
    for (unsigned i = 0; i < threads; ++i) {
        passes_[i].store(0);
    }
    try {
        for (unsigned i = 0; i < threads; ++i) {
            // Ordinary priority: at real-time priority each datagram's
            // wake-up would preempt the application's sending thread at
            // once, two context switches a packet at many low-rate streams.
            threads_.emplace_back(&io_pool::run, this, static_cast<size_t>(i));
        }
    } catch (const std::system_error &e) {
        LOG_ERROR("Cannot start the receive threads: %s", e.what());
    }
}

io_pool::~io_pool() {
    stopping_.store(true);
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof(one));
    }
    for (std::thread &t : threads_) {
        t.join();
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
    if (epoll_fd_ >= 0) {
        ::close(epoll_fd_);
    }
}

uint64_t io_pool::add(int fd, callback cb) {
    auto reg = std::make_unique<registration>();
    reg->fd = fd;
    reg->cb = std::move(cb);
    std::lock_guard<std::mutex> guard(map_lock_);
    epoll_event ev{};
    ev.events = k_watch_events;
    ev.data.ptr = reg.get();
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        return 0;
    }
    const uint64_t id = next_id_++;
    registrations_.emplace(id, std::move(reg));
    return id;
}

void io_pool::remove(uint64_t id) {
    std::unique_ptr<registration> reg;
    {
        std::lock_guard<std::mutex> guard(map_lock_);
        auto it = registrations_.find(id);
        if (it == registrations_.end()) {
            return;
        }
        reg = std::move(it->second);
        registrations_.erase(it);
        (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, reg->fd, nullptr);
    }
    {
        // Waits out a callback in progress; a thread that already took an
        // event for this registration finds it dead.
        std::lock_guard<std::mutex> guard(reg->lock);
        reg->dead = true;
    }
    // No wait from now on returns it; threads that may hold an event for it
    // are those that have not yet begun a new wait.
    reg->passes_at_removal.resize(threads_.size());
    for (size_t i = 0; i < threads_.size(); ++i) {
        reg->passes_at_removal[i] = passes_[i].load();
    }
    {
        std::lock_guard<std::mutex> guard(retired_lock_);
        retired_.push_back(std::move(reg));
        retired_count_.store(retired_.size());
    }
    reclaim();
}

void io_pool::resume(uint64_t id) {
    std::lock_guard<std::mutex> guard(map_lock_);
    auto it = registrations_.find(id);
    if (it == registrations_.end()) {
        return;
    }
    // Modifying an edge-triggered watch queues an event if the descriptor
    // is readable now (epoll(7)).
    epoll_event ev{};
    ev.events = k_watch_events;
    ev.data.ptr = it->second.get();
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, it->second->fd, &ev);
}

// Whether no thread can still hold an event naming `reg`: each has begun a
// wait since it was removed. A thread that was waiting then (odd count) may
// have taken an event in that wait, so it must have begun another one.
bool io_pool::quiescent_since(const registration &reg) const {
    for (size_t i = 0; i < threads_.size(); ++i) {
        const uint64_t then = reg.passes_at_removal[i];
        const uint64_t now = passes_[i].load();
        if (now != k_gone && now < then + 1 + (then & 1)) {
            return false;
        }
    }
    return true;
}

void io_pool::reclaim() {
    std::vector<std::unique_ptr<registration>> freed;
    {
        std::lock_guard<std::mutex> guard(retired_lock_);
        auto keep = std::partition(
            retired_.begin(), retired_.end(),
            [this](const std::unique_ptr<registration> &r) { return !quiescent_since(*r); });
        std::move(keep, retired_.end(), std::back_inserter(freed));
        retired_.erase(keep, retired_.end());
        retired_count_.store(retired_.size());
    }
}

void io_pool::serve(registration &reg) {
    // Claim the registration, or tell the thread running it to go round once
    // more: the readiness this event reports may have come after its last
    // read.
    uint8_t state = reg.state.load();
    for (;;) {
        if (state == k_stopped) {
            return;
        }
        const uint8_t next = state == k_idle ? k_running : k_again;
        if (reg.state.compare_exchange_weak(state, next)) {
            if (state != k_idle) {
                return;
            }
            break;
        }
    }
    std::lock_guard<std::mutex> guard(reg.lock);
    for (;;) {
        const outcome result = reg.dead ? outcome::stop : reg.cb();
        if (result == outcome::stop) {
            reg.state.store(k_stopped);
            return;
        }
        if (result == outcome::more) {
            // The rest waits its turn behind the other ready descriptors:
            // re-arming queues a fresh event at once, as input is left.
            reg.state.store(k_idle);
            epoll_event ev{};
            ev.events = k_watch_events;
            ev.data.ptr = &reg;
            (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, reg.fd, &ev);
            return;
        }
        uint8_t running = k_running;
        if (reg.state.compare_exchange_strong(running, k_idle)) {
            return;
        }
        reg.state.store(k_running);  // ready again while it ran
    }
}

void io_pool::run(size_t index) {
    constexpr int k_events = 16;
    epoll_event events[k_events];
    std::atomic<uint64_t> &passes = passes_[index];
    while (!stopping_.load()) {
        passes.fetch_add(1);  // odd: waiting, holding no event
        const int n = ::epoll_wait(epoll_fd_, events, k_events, -1);
        passes.fetch_add(1);  // even: handling what the wait returned
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            log::platform_error("epoll_wait(2) failed");
            break;
        }
        // Each registration is asked for before the first is served: with
        // many sockets, their state is cold and the misses overlap.
        for (int i = 0; i < n; ++i) {
            if (const auto *reg = static_cast<const char *>(events[i].data.ptr)) {
                __builtin_prefetch(reg, 1);
                __builtin_prefetch(reg + sizeof(registration) - 1, 1);
            }
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr != nullptr) {
                serve(*static_cast<registration *>(events[i].data.ptr));
            }
        }
        if (retired_count_.load(std::memory_order_relaxed) > 0) {
            passes.fetch_add(2);  // this thread holds no event any more
            reclaim();
        }
    }
    passes.store(k_gone);
}

std::shared_ptr<task_pool> task_pool::shared() {
    // Two at least, so that one busy flow does not hold up the others, more
    // only on machines with the cores for them.
    const unsigned cores = std::thread::hardware_concurrency();
    return shared_pool<task_pool>(std::min(4u, std::max(2u, cores)));
}

task_pool::task_pool(unsigned threads) {
    try {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back(&task_pool::run, this);
            raise_thread_priority(threads_.back(), 1);
        }
    } catch (const std::system_error &e) {
        LOG_ERROR("Cannot start the processing threads: %s", e.what());
    }
}

task_pool::~task_pool() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread &t : threads_) {
        t.join();
    }
}

uint64_t task_pool::add(callback cb) {
    auto reg = std::make_shared<registration>();
    reg->cb = std::move(cb);
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t id = next_id_++;
    registrations_.emplace(id, std::move(reg));
    return id;
}

void task_pool::wake(uint64_t id) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = registrations_.find(id);
        if (it == registrations_.end() || it->second->queued) {
            return;
        }
        it->second->queued = true;
        queue_.push_back(it->second);
    }
    cv_.notify_one();
}

void task_pool::remove(uint64_t id) {
    std::shared_ptr<registration> reg;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = registrations_.find(id);
        if (it == registrations_.end()) {
            return;
        }
        reg = std::move(it->second);
        registrations_.erase(it);
        queue_.erase(std::remove(queue_.begin(), queue_.end(), reg), queue_.end());
    }
    std::lock_guard<std::mutex> guard(reg->lock);
    reg->dead = true;
}

void task_pool::run() {
    for (;;) {
        std::shared_ptr<registration> reg;
        {
            std::unique_lock<std::mutex> guard(lock_);
            cv_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            reg = std::move(queue_.front());
            queue_.pop_front();
            // A wake from now on queues another run, which waits for this one.
            reg->queued = false;
        }
        std::lock_guard<std::mutex> guard(reg->lock);
        if (!reg->dead) {
            reg->cb();
        }
    }
}

}  // namespace tessal
