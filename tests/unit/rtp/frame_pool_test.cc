// Frames of a stream's pool allocated on one thread and released on others,
// as a receive thread and the application do, while the pool closes: the
// cached blocks never exceed the bound and every block is freed once (the
// sanitizers judge the latter).

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "rtp/frame_block.hh"

using namespace tessal;

namespace {

TEST(FramePoolThreads, ReleasesFromOtherThreadsKeepTheBoundAndFreeEverything) {
    constexpr size_t k_bound = 8;
    constexpr size_t k_frames = 20000;
    frame::frame_pool *pool = frame::frame_pool::create(1500, k_bound);
    ASSERT_NE(pool, nullptr);

    std::mutex lock;
    std::deque<frame::rtp_frame *> handed;
    std::atomic<bool> done{false};
    const auto release = [&] {
        for (;;) {
            frame::rtp_frame *f = nullptr;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!handed.empty()) {
                    f = handed.front();
                    handed.pop_front();
                }
            }
            if (f == nullptr) {
                if (done.load()) {
                    return;
                }
                std::this_thread::yield();
                continue;
            }
            frame::dealloc_frame(f);
        }
    };
    std::thread first(release);
    std::thread second(release);
    for (size_t i = 0; i < k_frames; ++i) {
        frame::rtp_frame *f = pool->alloc(100 + i % 1400);
        ASSERT_NE(f, nullptr);
        f->payload[0] = static_cast<uint8_t>(i);
        {
            std::lock_guard<std::mutex> guard(lock);
            handed.push_back(f);
        }
        // The owner's reference keeps the pool alive until close().
        ASSERT_LE(pool->cached(), k_bound);
    }
    // Closing while frames are still on their way back: they free themselves,
    // and the pool goes with the last.
    pool->close();
    done.store(true);
    first.join();
    second.join();
}

}  // namespace
