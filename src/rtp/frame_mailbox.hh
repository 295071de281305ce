#pragma once

// Where finished frames wait for pull_frame: a queue of frames of every
// stream on one port, bounded by age and bytes (beyond them the oldest are
// released and counted), with the keys of the streams registered on the
// port so that a pull of a stream that left returns at once.
//
// Threads: any thread delivers and pulls; every operation takes the lock.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "tessal/frame.hh"
#include "util/log.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

// Frames nobody pulls are not kept for ever: beyond either bound the oldest
// queued frames are released and counted (dropped_queue_full()).
constexpr int64_t k_default_queue_age_ms = 3000;
constexpr size_t k_default_queue_bytes = 64 * 1024 * 1024;

class frame_mailbox {
public:
    frame_mailbox() = default;
    ~frame_mailbox() { clear(); }
    frame_mailbox(const frame_mailbox &) = delete;
    frame_mailbox &operator=(const frame_mailbox &) = delete;

    // While closed, pulls return null at once (and waiting ones wake).
    void set_open(bool open);

    // Queues `frame` (the mailbox owns it) and wakes the pulls.
    void deliver(frame::rtp_frame *frame);

    void register_key(uint32_t key);
    void unregister_key(uint32_t key);
    // Releases the queued frames of `key`, or all with `all`.
    void release_frames_of(uint32_t key, bool all);
    void clear();

    // The next frame: any, or with `by_ssrc` the first carrying the cell's
    // SSRC. With a cell, null as soon as its stream is no longer registered.
    // `timeout_ms` < 0 waits without limit.
    frame::rtp_frame *take(const shared_ssrc *cell, bool by_ssrc, ssize_t timeout_ms);

    void set_limits(int64_t max_age_ms, size_t max_bytes);
    uint64_t dropped_queue_full() const { return dropped_queue_.load(); }

private:
    struct queued_frame {
        frame::rtp_frame *frame;
        int64_t queued_ms;  // steady clock
        size_t bytes;
    };

    frame::rtp_frame *pop(std::deque<queued_frame>::iterator it);  // lock_ held
    void enforce_limits(int64_t now_ms);                           // lock_ held
    frame::rtp_frame *find_locked(uint32_t wanted, bool by_ssrc);  // lock_ held

    std::mutex lock_;
    std::condition_variable cv_;
    bool open_ = false;
    std::deque<queued_frame> frames_;
    size_t queued_bytes_ = 0;
    int64_t max_age_ms_ = k_default_queue_age_ms;
    size_t max_bytes_ = k_default_queue_bytes;
    std::unordered_set<uint32_t> registered_;  // keys of registered streams
    std::atomic<uint64_t> dropped_queue_{0};
    log::limiter queue_warning_;
};

}  // namespace tessal
