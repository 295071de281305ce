#include "transport/io_pool.hh"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "util/log.hh"

namespace tessal {

namespace {

// The wake-up descriptor's event carries this id; registrations start at 1.
constexpr uint64_t k_wake_id = 0;

// One pool of each kind for the process while anyone holds it; two threads
// at least, so that one busy flow does not hold up the others, more only on
// machines with the cores for them. Null if the pool cannot run.
template <typename Pool>
std::shared_ptr<Pool> shared_pool() {
    static std::mutex lock;
    static std::weak_ptr<Pool> current;
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Pool> pool = current.lock();
    if (!pool) {
        const unsigned cores = std::thread::hardware_concurrency();
        pool = std::make_shared<Pool>(std::min(4u, std::max(2u, cores)));
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
    return shared_pool<io_pool>();
}

io_pool::io_pool(unsigned threads) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        log::platform_error("epoll_create1(2)/eventfd(2) failed");
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;  // level-triggered: wakes every thread until they all left
    ev.data.u64 = k_wake_id;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) {
        log::platform_error("epoll_ctl(2) failed");
        return;
    }
    try {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back(&io_pool::run, this);
            raise_thread_priority(threads_.back(), 0);
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
    auto reg = std::make_shared<registration>();
    reg->fd = fd;
    reg->cb = std::move(cb);
    std::lock_guard<std::mutex> guard(map_lock_);
    const uint64_t id = next_id_++;
    registrations_.emplace(id, reg);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        registrations_.erase(id);
        return 0;
    }
    return id;
}

void io_pool::remove(uint64_t id) {
    std::shared_ptr<registration> reg;
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
    // Waits out a callback in progress; a thread that already took an event
    // for this registration finds it dead.
    std::lock_guard<std::mutex> guard(reg->lock);
    reg->dead = true;
}

void io_pool::run() {
    constexpr int k_events = 16;
    epoll_event events[k_events];
    while (!stopping_.load()) {
        const int n = ::epoll_wait(epoll_fd_, events, k_events, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            log::platform_error("epoll_wait(2) failed");
            return;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == k_wake_id) {
                continue;
            }
            std::shared_ptr<registration> reg;
            {
                std::lock_guard<std::mutex> guard(map_lock_);
                auto it = registrations_.find(id);
                if (it != registrations_.end()) {
                    reg = it->second;
                }
            }
            if (!reg) {
                continue;
            }
            std::lock_guard<std::mutex> guard(reg->lock);
            if (reg->dead || !reg->cb()) {
                continue;
            }
            // Watch again; a descriptor with datagrams left fires at once.
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLONESHOT;
            ev.data.u64 = id;
            (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, reg->fd, &ev);
        }
    }
}

std::shared_ptr<task_pool> task_pool::shared() {
    return shared_pool<task_pool>();
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
