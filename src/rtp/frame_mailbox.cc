#include "rtp/frame_mailbox.hh"

#include <chrono>

namespace tessal {

namespace {

// Re-check interval of a waiting pull, a backstop only: every delivered
// frame notifies.
constexpr auto k_wake_backstop = std::chrono::milliseconds(100);

// What a queued frame costs: its record and its payload.
size_t frame_bytes(const frame::rtp_frame *f) {
    return sizeof(frame::rtp_frame) + f->payload_length;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void frame_mailbox::set_open(bool open) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = open;
    }
    cv_.notify_all();
}

void frame_mailbox::deliver(frame::rtp_frame *frame) {
    const int64_t now_ms = steady_ms();
    {
        std::lock_guard<std::mutex> guard(lock_);
        const size_t bytes = frame_bytes(frame);
        frames_.push_back(queued_frame{frame, now_ms, bytes});
        queued_bytes_ += bytes;
        enforce_limits(now_ms);
    }
    // Waiters pull by SSRC: any of them may be the one this frame is for.
    cv_.notify_all();
}

void frame_mailbox::register_key(uint32_t key) {
    std::lock_guard<std::mutex> guard(lock_);
    registered_.insert(key);
}

void frame_mailbox::unregister_key(uint32_t key) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        registered_.erase(key);
    }
    cv_.notify_all();  // a pull of the leaving stream returns
}

void frame_mailbox::release_frames_of(uint32_t key, bool all) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = frames_.begin(); it != frames_.end();) {
        if (all || it->frame->header.ssrc == key) {
            const ptrdiff_t at = it - frames_.begin();
            frame::dealloc_frame(pop(it));
            it = frames_.begin() + at;
        } else {
            ++it;
        }
    }
}

void frame_mailbox::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    for (queued_frame &q : frames_) {
        frame::dealloc_frame(q.frame);
    }
    frames_.clear();
    queued_bytes_ = 0;
}

frame::rtp_frame *frame_mailbox::find_locked(uint32_t wanted, bool by_ssrc) {
    if (!by_ssrc) {
        return frames_.empty() ? nullptr : pop(frames_.begin());
    }
    // A port serving one stream queues whatever arrives; once that stream
    // pulls by SSRC, frames of other sources have no taker.
    const bool sole_stream = registered_.size() <= 1;
    for (auto it = frames_.begin(); it != frames_.end();) {
        if (it->frame->header.ssrc == wanted) {
            return pop(it);
        }
        if (sole_stream) {
            const ptrdiff_t at = it - frames_.begin();
            frame::dealloc_frame(pop(it));
            it = frames_.begin() + at;
        } else {
            ++it;
        }
    }
    return nullptr;
}

frame::rtp_frame *frame_mailbox::take(const shared_ssrc *cell_ref, bool by_ssrc,
                                      ssize_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
    // Our own reference: the stream may be destroyed while we wait.
    const shared_ssrc cell = cell_ref != nullptr ? *cell_ref : nullptr;
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (!open_) {
            return nullptr;
        }
        if (cell && registered_.count(cell->load()) == 0) {
            return nullptr;  // the stream has left the port
        }
        if (frame::rtp_frame *f = find_locked(cell ? cell->load() : 0, by_ssrc && cell)) {
            return f;
        }
        if (timeout_ms < 0) {
            cv_.wait_for(lock, k_wake_backstop);
        } else {
            if (std::chrono::steady_clock::now() >= deadline) {
                return nullptr;
            }
            cv_.wait_until(lock, deadline);
        }
    }
}

frame::rtp_frame *frame_mailbox::pop(std::deque<queued_frame>::iterator it) {
    frame::rtp_frame *f = it->frame;
    queued_bytes_ -= it->bytes;
    frames_.erase(it);
    return f;
}

void frame_mailbox::set_limits(int64_t max_age_ms, size_t max_bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    max_age_ms_ = max_age_ms;
    max_bytes_ = max_bytes;
    enforce_limits(steady_ms());
}

// A stream nobody pulls must not make a sender able to fill our memory: the
// oldest frames go first, the newest one always stays.
void frame_mailbox::enforce_limits(int64_t now_ms) {
    uint64_t released = 0;
    while (frames_.size() > 1 &&
           (queued_bytes_ > max_bytes_ || now_ms - frames_.front().queued_ms > max_age_ms_)) {
        frame::dealloc_frame(pop(frames_.begin()));
        ++released;
    }
    if (released != 0) {
        dropped_queue_.fetch_add(released);
        LOG_WARN_LIMITED_AS(queue_warning_, "return_frame",
                            "Released %llu unpulled frames: the receive queue is over its bounds",
                            static_cast<unsigned long long>(released));
    }
}

}  // namespace tessal
