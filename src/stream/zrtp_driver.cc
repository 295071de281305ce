#include "stream/zrtp_driver.hh"

#include <algorithm>
#include <chrono>
#include <exception>

#include "util/log.hh"

namespace tessal {

namespace {

// Longest wait between looks at the capture slots after Hello: a capture
// wakes the driver at once; this bounds a missed wake-up.
constexpr int64_t k_t2_poll_ms = 10;

// What the exchange's phases say when a message could not be sent.
void log_send_failure(zrtp_state state) {
    switch (state) {
        case zrtp_state::hello:
            LOG_ERROR_AS("begin_session", "Failed to send Hello message");
            break;
        case zrtp_state::commit:
            LOG_ERROR_AS("init_session", "Failed to send Commit message!");
            break;
        case zrtp_state::dh_part1:
            LOG_ERROR_AS("dh_part1", "Failed to send DHPart1 Message!");
            break;
        case zrtp_state::dh_part2:
            LOG_ERROR_AS("dh_part2", "Failed to send DHPart2 Message!");
            break;
        case zrtp_state::confirm1:
            LOG_ERROR_AS("responder_finalize_session", "Failed to send Confirm1 Message!");
            break;
        default:
            LOG_ERROR_AS("initiator_finalize_session", "Failed to send Confirm2 Message!");
            break;
    }
}

void send_all(const zrtp_send_fn &send, zrtp_output &out) {
    for (std::vector<uint8_t> &m : out.messages) {
        if (send(m.data(), m.size()) != RTP_SUCCESS) {
            log_send_failure(out.state);
        }
    }
}

// Feeds the machine the clock and the captured messages until it ends.
RTP_ERROR drive(zrtp &machine, zrtp_clock &clock, const zrtp_send_fn &send,
                const std::function<RTP_ERROR()> &on_ready) {
    for (;;) {
        const uint64_t seen = machine.capture_count().load();
        const int64_t now = clock.now_ms();
        zrtp_output out = machine.on_timer(now);
        send_all(send, out);
        if (out.state == zrtp_state::keys_ready) {
            const RTP_ERROR ready = on_ready ? on_ready() : RTP_SUCCESS;
            if (ready != RTP_SUCCESS) {
                machine.abort(ready);
                return ready;
            }
            out = machine.keys_installed(clock.now_ms());
            send_all(send, out);
        }
        if (out.state == zrtp_state::done || out.state == zrtp_state::failed) {
            return out.result;
        }
        int64_t until = machine.next_deadline();
        if (machine.state() != zrtp_state::hello) {
            until = std::min(until, now + k_t2_poll_ms);
        }
        clock.wait_until(until, machine.capture_count(), seen);
    }
}

}  // namespace

int64_t steady_zrtp_clock::now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void steady_zrtp_clock::wait_until(int64_t deadline_ms, const std::atomic<uint64_t> &events,
                                   uint64_t seen) {
    const std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadline_ms)};
    std::unique_lock<std::mutex> guard(lock_);
    cv_.wait_until(guard, deadline, [&] { return events.load() != seen; });
}

void steady_zrtp_clock::notify() {
    { std::lock_guard<std::mutex> guard(lock_); }
    cv_.notify_all();
}

RTP_ERROR run_zrtp_exchange(zrtp &machine, const std::shared_ptr<zrtp_clock> &clock, uint32_t ssrc,
                            const void *channel, zrtp_send_fn send, bool full_exchange,
                            const std::function<RTP_ERROR()> &on_keys,
                            const std::function<RTP_ERROR()> &on_ready) {
    if (channel == nullptr || !send || !clock) {
        return RTP_BAD_ARGUMENT;
    }
    if (!full_exchange && !machine.is_initialized()) {
        LOG_ERROR("Attempted multistream mode for non initialized ZRTP");
        return RTP_FAILED;
    }
    // Every run of a machine, Diffie-Hellman or multistream, replaces its
    // capture slots and its transport: one at a time.
    std::lock_guard<std::recursive_mutex> run_guard(machine.session().session_mutex);
    RTP_ERROR rc = RTP_FAILED;
    // The listener keeps the clock: a capture thread may still hold a copy
    // of it after the run.
    machine.set_capture_listener([clock] { clock->notify(); });
    try {
        if (full_exchange && machine.is_initialized()) {
            LOG_WARN_AS("init",
                        "ZRTP multistream mode not used. Please use RCE_ZRTP_MULTISTREAM_MODE "
                        "flag to select which streams should not perform DH");
        }
        rc = machine.begin(ssrc, channel, full_exchange, clock->now_ms(), send);
        if (rc == RTP_SUCCESS) {
            rc = drive(machine, *clock, send, on_ready);
        }
    } catch (const std::exception &e) {
        LOG_ERROR("ZRTP exchange failed: %s", e.what());
        rc = RTP_FAILED;
    }
    machine.end_run();
    machine.set_capture_listener({});
    if (rc == RTP_SUCCESS && on_keys) {
        rc = on_keys();
    }
    return rc;
}

}  // namespace tessal
