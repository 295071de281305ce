#pragma once

// A simulated clock and an in-memory link for ZRTP exchanges: two zrtp
// objects run their exchanges on their own threads against virtual time, so
// that schedules of seconds are checked in milliseconds and exactly.
//
// Virtual time advances only when every participant thread is waiting on
// the clock (and none has a pending capture to look at): then it jumps to
// the earliest deadline or scheduled delivery. Participants are the threads
// between enter() and leave().

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "security/crc32.hh"
#include "security/zrtp.hh"
#include "security/zrtp_msg.hh"
#include "stream/zrtp_driver.hh"

namespace tessal {
namespace test {

class sim_clock final : public zrtp_clock {
public:
    int64_t now_ms() override {
        std::lock_guard<std::mutex> guard(lock_);
        return now_;
    }

    void wait_until(int64_t deadline_ms, const std::atomic<uint64_t> &events,
                    uint64_t seen) override {
        std::unique_lock<std::mutex> guard(lock_);
        waiter w{deadline_ms, &events, seen};
        waiters_.push_back(&w);
        for (;;) {
            if (now_ >= deadline_ms || events.load() != seen) {
                break;
            }
            if (!advancing_ && can_advance()) {
                advance(guard);
                continue;
            }
            cv_.wait(guard);
        }
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &w));
        cv_.notify_all();
    }

    void notify() override {
        { std::lock_guard<std::mutex> guard(lock_); }
        cv_.notify_all();
    }

    // Registers the calling thread as a participant for its lifetime.
    void enter() {
        std::lock_guard<std::mutex> guard(lock_);
        ++participants_;
    }
    void leave() {
        std::lock_guard<std::mutex> guard(lock_);
        --participants_;
        cv_.notify_all();
    }

    // Runs `fn` once virtual time reaches `at_ms` (outside the clock's lock).
    void schedule(int64_t at_ms, std::function<void()> fn) {
        std::lock_guard<std::mutex> guard(lock_);
        events_.emplace(at_ms, std::move(fn));
        cv_.notify_all();
    }

    // Drops deliveries still pending (of a run that has ended).
    void clear_events() {
        std::lock_guard<std::mutex> guard(lock_);
        events_.clear();
    }

private:
    struct waiter {
        int64_t deadline;
        const std::atomic<uint64_t> *events;
        uint64_t seen;
    };

    bool can_advance() const {
        if (static_cast<int>(waiters_.size()) < participants_ || waiters_.empty()) {
            return false;
        }
        for (const waiter *w : waiters_) {
            if (w->events->load() != w->seen || now_ >= w->deadline) {
                return false;  // that one is about to run
            }
        }
        return true;
    }

    void advance(std::unique_lock<std::mutex> &guard) {
        int64_t next = INT64_MAX;
        for (const waiter *w : waiters_) {
            next = std::min(next, w->deadline);
        }
        if (!events_.empty()) {
            next = std::min(next, events_.begin()->first);
        }
        now_ = std::max(now_, next);
        std::vector<std::function<void()>> due;
        while (!events_.empty() && events_.begin()->first <= now_) {
            due.push_back(std::move(events_.begin()->second));
            events_.erase(events_.begin());
        }
        advancing_ = true;
        guard.unlock();
        for (auto &fn : due) {
            fn();
        }
        guard.lock();
        advancing_ = false;
        cv_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable cv_;
    int64_t now_ = 1000;
    int participants_ = 0;
    bool advancing_ = false;
    std::vector<waiter *> waiters_;
    std::multimap<int64_t, std::function<void()>> events_;
};

// A zrtp machine run by the stream layer's driver on a clock of its own
// (the steady clock unless a test sets one).
class driven_zrtp : public zrtp {
public:
    void set_clock(std::shared_ptr<zrtp_clock> clock) { clock_ = std::move(clock); }
    RTP_ERROR init(uint32_t ssrc, const void *channel, zrtp_send_fn send, bool full_exchange,
                   const std::function<RTP_ERROR()> &on_keys = {},
                   const std::function<RTP_ERROR()> &on_ready = {}) {
        return run_zrtp_exchange(*this, clock_, ssrc, channel, std::move(send), full_exchange,
                                 on_keys, on_ready);
    }

private:
    std::shared_ptr<zrtp_clock> clock_ = std::make_shared<steady_zrtp_clock>();
};

// The type block of a ZRTP message ("Hello", "DHPart1", ...), trimmed.
inline std::string zrtp_type(const uint8_t *data, size_t size) {
    if (size < zrtp_msg::k_header_size) {
        return "";
    }
    std::string block(reinterpret_cast<const char *>(data + 16), 8);
    return block.substr(0, block.find_last_not_of(' ') + 1);
}

inline std::string zrtp_type_of(const std::vector<uint8_t> &msg) {
    return zrtp_type(msg.data(), msg.size());
}

// Recomputes a message's CRC after a test changed it.
inline void fix_zrtp_crc(std::vector<uint8_t> &msg) {
    const uint32_t crc = crypto::crc32::calculate_crc32(msg.data(), msg.size() - 4);
    std::memcpy(msg.data() + msg.size() - 4, &crc, 4);
}

// What a link does with one message.
struct link_action {
    enum kind { deliver, drop, duplicate, delay } what = deliver;
    int64_t delay_ms = 0;
};

// One direction of an in-memory link: sending through it delivers into the
// receiving zrtp object's capture path, as a reception flow would. A filter
// decides per message (type and its count so far of that type).
class sim_link {
public:
    using filter = std::function<link_action(const std::string &type, int nth)>;
    // Rewrites a message before delivery (tests of hostile peers).
    using mutator = std::function<void(std::vector<uint8_t> &msg)>;
    // Datagrams an attacker gets in ahead of a message (type, count so far
    // of that type, the message): delivered before it, in order.
    using injector = std::function<std::vector<std::vector<uint8_t>>(
        const std::string &type, int nth, const std::vector<uint8_t> &msg)>;

    sim_link(sim_clock &clock, zrtp &to, const void *channel)
        : clock_(clock), to_(to), channel_(channel) {}

    void set_filter(filter f) {
        std::lock_guard<std::mutex> guard(lock_);
        filter_ = std::move(f);
    }
    void set_mutator(mutator m) {
        std::lock_guard<std::mutex> guard(lock_);
        mutator_ = std::move(m);
    }
    void set_injector(injector i) {
        std::lock_guard<std::mutex> guard(lock_);
        injector_ = std::move(i);
    }

    zrtp_send_fn sender() {
        return [this](uint8_t *data, size_t size) { return send(data, size); };
    }

    // (type, virtual time) of every message sent, dropped ones included.
    std::vector<std::pair<std::string, int64_t>> log() {
        std::lock_guard<std::mutex> guard(lock_);
        return log_;
    }
    std::vector<int64_t> times_of(const std::string &type) {
        std::vector<int64_t> out;
        for (const auto &entry : log()) {
            if (entry.first == type) {
                out.push_back(entry.second);
            }
        }
        return out;
    }

private:
    RTP_ERROR send(uint8_t *data, size_t size) {
        std::vector<uint8_t> msg(data, data + size);
        const std::string type = zrtp_type(data, size);
        link_action action;
        std::vector<std::vector<uint8_t>> injected;
        {
            std::lock_guard<std::mutex> guard(lock_);
            log_.emplace_back(type, clock_.now_ms());
            const int nth = ++counts_[type];
            if (filter_) {
                action = filter_(type, nth);
            }
            if (injector_) {
                injected = injector_(type, nth, msg);
            }
            if (mutator_) {
                mutator_(msg);
            }
        }
        for (std::vector<uint8_t> &forged : injected) {
            to_.capture(channel_, forged.data(), forged.size());
        }
        switch (action.what) {
            case link_action::drop:
                break;
            case link_action::duplicate:
                to_.capture(channel_, msg.data(), msg.size());
                to_.capture(channel_, msg.data(), msg.size());
                break;
            case link_action::delay:
                clock_.schedule(clock_.now_ms() + action.delay_ms, [this, msg]() mutable {
                    to_.capture(channel_, msg.data(), msg.size());
                });
                break;
            case link_action::deliver:
                to_.capture(channel_, msg.data(), msg.size());
                break;
        }
        return RTP_SUCCESS;
    }

    sim_clock &clock_;
    zrtp &to_;
    const void *channel_;
    std::mutex lock_;
    filter filter_;
    mutator mutator_;
    injector injector_;
    std::map<std::string, int> counts_;
    std::vector<std::pair<std::string, int64_t>> log_;
};

}  // namespace test
}  // namespace tessal
