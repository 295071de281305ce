#pragma once

// Drives a ZRTP exchange (security/zrtp.hh, a machine without I/O) for one
// stream: the stream's socket sends its messages, the reception flow's
// capture path feeds it the peer's, and a clock times its retransmissions.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "security/zrtp.hh"
#include "tessal/util.hh"

namespace tessal {

// Time for an exchange's schedules. wait_until returns once now_ms() has
// reached `deadline_ms` or `events` no longer equals `seen`, whichever is
// first; notify() makes current waiters re-check `events`. Tests substitute
// a simulated clock.
class zrtp_clock {
public:
    virtual ~zrtp_clock() = default;
    virtual int64_t now_ms() = 0;
    virtual void wait_until(int64_t deadline_ms, const std::atomic<uint64_t> &events,
                            uint64_t seen) = 0;
    virtual void notify() = 0;
};

// The steady clock, with waits that a capture cuts short.
class steady_zrtp_clock final : public zrtp_clock {
public:
    int64_t now_ms() override;
    void wait_until(int64_t deadline_ms, const std::atomic<uint64_t> &events,
                    uint64_t seen) override;
    void notify() override;

private:
    std::mutex lock_;
    std::condition_variable cv_;
};

// Runs one exchange of `machine` for one stream on the calling thread, which
// it blocks until the exchange ends: Diffie-Hellman mode when
// `full_exchange`, else multistream mode (RTP_FAILED before a successful
// Diffie-Hellman run). Messages go out through `send`; the peer's are those
// captured for `channel` (the stream's socket). Runs of one machine are
// serialised.
// `on_ready`, if given, runs once the peer's Confirm verified and before
// this side's last message (Confirm2 as initiator, Conf2ACK as responder)
// goes out: after that message the peer may send media under the new keys
// (RFC 6189 section 4.6), so the stream installs them there; an error from
// it ends the run with that result. `on_keys`, if given, runs after a
// successful run, before the next run of the machine may begin.
RTP_ERROR run_zrtp_exchange(zrtp &machine, const std::shared_ptr<zrtp_clock> &clock, uint32_t ssrc,
                            const void *channel, zrtp_send_fn send, bool full_exchange,
                            const std::function<RTP_ERROR()> &on_keys = {},
                            const std::function<RTP_ERROR()> &on_ready = {});

}  // namespace tessal
