#pragma once

// A small fixed set of threads that wait, with one epoll(7) set, for any
// registered descriptor to become readable and run its callback. Reception
// flows on system sockets register here instead of running threads of their
// own, so the number of threads does not grow with streams or ports and an
// idle flow costs no wake-ups.
//
// Descriptors are watched edge-triggered, so that a callback that empties its
// socket costs no system call to be watched again. One registration's
// callback never runs on two threads at once: readiness reported while it
// runs makes the running thread call it once more, so its datagrams are
// handled in order and none is left waiting for an edge that already went by.
// remove() returns only once the callback has finished and will not run
// again. Callbacks must not call add() or remove() for their own
// registration.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tessal {

// Real-time FIFO priority where the system grants it: `below_max` steps
// under the highest (receiving 0, processing 1), so that bursts are taken
// off the sockets before the kernel's buffers overflow. Failure is harmless.
void raise_thread_priority(std::thread &thread, int below_max);

class io_pool {
public:
    // What a callback left behind it.
    enum class outcome {
        stop,     // stop watching (the registration stays until removed)
        drained,  // read until the descriptor had nothing more
        more,     // stopped early with input left: call again after the others
    };
    // Runs on a pool thread when the descriptor is readable.
    using callback = std::function<outcome()>;

    // The process-wide pool, created on first use and kept while anyone
    // holds it. Null if it cannot be created (no epoll, no threads).
    static std::shared_ptr<io_pool> shared();

    explicit io_pool(unsigned threads);
    ~io_pool();
    io_pool(const io_pool &) = delete;
    io_pool &operator=(const io_pool &) = delete;

    bool valid() const noexcept { return epoll_fd_ >= 0 && !threads_.empty(); }
    size_t thread_count() const noexcept { return threads_.size(); }

    // Watches `fd`; 0 when it cannot be watched.
    uint64_t add(int fd, callback cb);
    void remove(uint64_t id);
    // Calls the callback again if `fd` is readable now, as a new edge would:
    // for a callback that returned `drained` with input left behind on
    // purpose (its consumer is full) once the consumer has room. Any thread.
    void resume(uint64_t id);

private:
    struct registration {
        int fd = -1;
        callback cb;
        std::mutex lock;  // held while the callback runs
        bool dead = false;
        // k_idle, k_running, k_again (ready again while running), k_stopped.
        std::atomic<uint8_t> state{0};
        // Removed: the pass counts of the threads at removal.
        std::vector<uint64_t> passes_at_removal;
    };

    void run(size_t index);
    void serve(registration &reg);
    bool quiescent_since(const registration &reg) const;
    void reclaim();

    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
    std::mutex map_lock_;  // alone, or before a registration's lock
    std::unordered_map<uint64_t, std::unique_ptr<registration>> registrations_;
    uint64_t next_id_ = 1;
    // Each thread's pass count: odd while it waits holding no event, even
    // while it handles what a wait returned. An event names its registration
    // by address, so a removed one is freed only once every thread that may
    // have taken an event for it has moved on (reclaim()).
    std::unique_ptr<std::atomic<uint64_t>[]> passes_;
    std::mutex retired_lock_;  // alone
    std::vector<std::unique_ptr<registration>> retired_;
    std::atomic<size_t> retired_count_{0};
};

// A small fixed set of threads that run registered callbacks on demand:
// wake(id) queues the callback unless it is queued already; it runs on one
// thread at a time, and a wake during its run queues it again. Reception
// flows hand the datagrams their receive callbacks put in the ring to their
// processing callback here. remove() returns once the callback has finished
// and will not run again.
class task_pool {
public:
    using callback = std::function<void()>;

    static std::shared_ptr<task_pool> shared();

    explicit task_pool(unsigned threads);
    ~task_pool();
    task_pool(const task_pool &) = delete;
    task_pool &operator=(const task_pool &) = delete;

    bool valid() const noexcept { return !threads_.empty(); }
    size_t thread_count() const noexcept { return threads_.size(); }

    uint64_t add(callback cb);
    void wake(uint64_t id);
    void remove(uint64_t id);

private:
    struct registration {
        callback cb;
        std::mutex lock;  // held while the callback runs
        bool dead = false;
        bool queued = false;  // under the pool's lock
    };

    void run();

    std::mutex lock_;  // alone, or before a registration's lock
    std::condition_variable cv_;
    bool stopping_ = false;
    std::deque<std::shared_ptr<registration>> queue_;
    std::unordered_map<uint64_t, std::shared_ptr<registration>> registrations_;
    uint64_t next_id_ = 1;
    std::vector<std::thread> threads_;
};

}  // namespace tessal
