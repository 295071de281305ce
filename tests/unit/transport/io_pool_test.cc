// The shared receive threads: descriptors watched edge-triggered, one
// registration's callback on one thread at a time, no readiness lost while a
// callback runs, removal that waits for a running callback, and removed
// registrations freed only when no thread can still name them (the
// sanitizers judge the last).

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "transport/io_pool.hh"

namespace tessal {
namespace {

using namespace std::chrono_literals;
using outcome = io_pool::outcome;

// A datagram pair: the pool watches `rx`; the test writes to `tx`.
struct pair_fds {
    int rx = -1;
    int tx = -1;
    pair_fds() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds) == 0) {
            rx = fds[0];
            tx = fds[1];
        }
    }
    ~pair_fds() {
        ::close(rx);
        ::close(tx);
    }
    pair_fds(const pair_fds &) = delete;
    pair_fds &operator=(const pair_fds &) = delete;

    bool send(uint32_t value) const { return ::send(tx, &value, sizeof(value), 0) > 0; }
    // One datagram, or false when none is queued.
    bool receive(uint32_t &value) const { return ::recv(rx, &value, sizeof(value), 0) > 0; }
};

template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(IoPool, DatagramArrivingWhileItsCallbackRunsIsNotLeftBehind) {
    io_pool pool(2);
    ASSERT_TRUE(pool.valid());
    pair_fds fds;
    ASSERT_GE(fds.rx, 0);

    std::mutex lock;
    std::condition_variable cv;
    bool second_sent = false;
    std::atomic<int> calls{0};
    std::atomic<int> received{0};
    const uint64_t id = pool.add(fds.rx, [&] {
        uint32_t v = 0;
        while (fds.receive(v)) {
            received.fetch_add(1);
        }
        if (calls.fetch_add(1) == 0) {
            // The socket is empty now; the next datagram comes before this
            // call returns, its edge reported to the other thread.
            std::unique_lock<std::mutex> guard(lock);
            cv.wait_for(guard, 5s, [&] { return second_sent; });
            guard.unlock();
            std::this_thread::sleep_for(100ms);
        }
        return outcome::drained;
    });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(fds.send(1));
    ASSERT_TRUE(wait_until([&] { return received.load() == 1; }));
    ASSERT_TRUE(fds.send(2));
    {
        std::lock_guard<std::mutex> guard(lock);
        second_sent = true;
    }
    cv.notify_all();
    EXPECT_TRUE(wait_until([&] { return received.load() == 2; }))
        << "the second datagram waits for an edge that went by";
    pool.remove(id);
}

TEST(IoPool, EachRegistrationRunsOnOneThreadAtATimeInOrder) {
    // Several sockets written at once; each callback takes one datagram per
    // call and asks to be called again while it found one, so that both the
    // re-arming and the hand-over between threads are exercised.
    constexpr int k_sockets = 4;
    constexpr uint32_t k_datagrams = 3000;
    io_pool pool(3);
    ASSERT_TRUE(pool.valid());
    std::vector<std::unique_ptr<pair_fds>> fds;
    struct state {
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::atomic<uint32_t> next{0};
        std::atomic<bool> out_of_order{false};
    };
    std::vector<state> states(k_sockets);
    std::vector<uint64_t> ids;
    for (int s = 0; s < k_sockets; ++s) {
        fds.push_back(std::make_unique<pair_fds>());
        ASSERT_GE(fds.back()->rx, 0);
        const int bytes = 4 * 1024 * 1024;
        ::setsockopt(fds.back()->rx, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        state &st = states[s];
        const pair_fds &p = *fds.back();
        ids.push_back(pool.add(p.rx, [&st, &p] {
            if (st.inside.fetch_add(1) != 0) {
                st.overlapped = true;
            }
            uint32_t v = 0;
            const bool got = p.receive(v);
            if (got && v != st.next.fetch_add(1)) {
                st.out_of_order = true;
            }
            st.inside.fetch_sub(1);
            return got ? outcome::more : outcome::drained;
        }));
        ASSERT_NE(ids.back(), 0u);
    }
    for (uint32_t v = 0; v < k_datagrams; ++v) {
        for (int s = 0; s < k_sockets; ++s) {
            while (!fds[s]->send(v)) {
                std::this_thread::sleep_for(100us);  // the queue is full: let it drain
            }
        }
    }
    EXPECT_TRUE(wait_until([&] {
        for (const state &st : states) {
            if (st.next.load() != k_datagrams) {
                return false;
            }
        }
        return true;
    }));
    for (int s = 0; s < k_sockets; ++s) {
        pool.remove(ids[s]);
        EXPECT_FALSE(states[s].overlapped.load()) << "socket " << s;
        EXPECT_FALSE(states[s].out_of_order.load()) << "socket " << s;
        EXPECT_EQ(states[s].next.load(), k_datagrams) << "socket " << s;
    }
}

TEST(IoPool, StopAndRemoveEndTheCallbacks) {
    io_pool pool(2);
    ASSERT_TRUE(pool.valid());

    // A callback that says stop is not called again, whatever arrives.
    pair_fds stopping;
    std::atomic<int> stop_calls{0};
    const uint64_t stop_id = pool.add(stopping.rx, [&] {
        stop_calls.fetch_add(1);
        return outcome::stop;
    });
    ASSERT_TRUE(stopping.send(1));
    ASSERT_TRUE(wait_until([&] { return stop_calls.load() == 1; }));
    uint32_t v = 0;
    ASSERT_TRUE(stopping.receive(v));
    ASSERT_TRUE(stopping.send(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stop_calls.load(), 1);
    pool.remove(stop_id);

    // remove() waits for a running callback, which then never runs again.
    pair_fds running;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const uint64_t id = pool.add(running.rx, [&] {
        calls.fetch_add(1);
        uint32_t x = 0;
        while (running.receive(x)) {
        }
        entered = true;
        while (!release.load()) {
            std::this_thread::sleep_for(1ms);
        }
        finished = true;
        return outcome::drained;
    });
    ASSERT_TRUE(running.send(1));
    ASSERT_TRUE(wait_until([&] { return entered.load(); }));
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        pool.remove(id);
        removed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removed.load()) << "remove() returned while the callback ran";
    release = true;
    remover.join();
    EXPECT_TRUE(finished.load());
    const int after_remove = calls.load();
    ASSERT_TRUE(running.send(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), after_remove);
}

TEST(IoPool, RegistrationsComeAndGoWhileDatagramsArrive) {
    // Events may name a registration that another thread is removing; it
    // must stay valid until no thread can still hold such an event.
    io_pool pool(2);
    ASSERT_TRUE(pool.valid());
    std::atomic<bool> done{false};
    std::vector<std::unique_ptr<pair_fds>> fds;
    for (int i = 0; i < 4; ++i) {
        fds.push_back(std::make_unique<pair_fds>());
        ASSERT_GE(fds.back()->tx, 0);
    }
    std::thread writer([&] {
        uint32_t v = 0;
        while (!done.load()) {
            for (const auto &p : fds) {
                (void)p->send(v++);
            }
            std::this_thread::yield();
        }
    });
    std::atomic<uint64_t> handled{0};
    for (int round = 0; round < 2000; ++round) {
        const pair_fds &p = *fds[static_cast<size_t>(round) % fds.size()];
        const uint64_t id = pool.add(p.rx, [&p, &handled] {
            uint32_t v = 0;
            while (p.receive(v)) {
                handled.fetch_add(1);
            }
            return outcome::drained;
        });
        ASSERT_NE(id, 0u);
        std::this_thread::sleep_for(std::chrono::microseconds(round % 5 * 50));
        pool.remove(id);
    }
    done = true;
    writer.join();
    EXPECT_GT(handled.load(), 0u);
}

}  // namespace
}  // namespace tessal
