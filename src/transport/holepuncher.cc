#include "transport/holepuncher.hh"

#include <chrono>
#include <system_error>
#include <utility>

#include "transport/socket.hh"
#include "util/clock.hh"
#include "util/log.hh"

namespace tessal {

namespace {

// Not a valid RTP, RTCP or ZRTP packet: a receiving flow drops it as too short.
constexpr uint8_t k_keepalive_byte = 0xC0;
constexpr uint32_t k_idle_limit_ms = 2000;
constexpr std::chrono::milliseconds k_check_interval{100};

}  // namespace

holepuncher::holepuncher(std::shared_ptr<socket> sock) : socket_(std::move(sock)) {}

holepuncher::~holepuncher() {
    stop();
    socket_.reset();
}

RTP_ERROR holepuncher::set_remote_address(const sockaddr_in &remote4, const sockaddr_in6 &remote6) {
    // The keep-alive thread copies the addresses under the same lock.
    std::lock_guard<std::mutex> guard(keepalive_lock_);
    remote_v4_ = remote4;
    remote_v6_ = remote6;
    return RTP_SUCCESS;
}

RTP_ERROR holepuncher::start() {
    if (!socket_) {
        return RTP_BAD_ARGUMENT;
    }
    if (keepalive_thread_.joinable()) {
        return RTP_SUCCESS;  // already running
    }
    active_ = true;
    try {
        keepalive_thread_ = std::thread(&holepuncher::keepalive, this);
    } catch (const std::system_error &e) {
        active_ = false;
        LOG_ERROR("Failed to start the keep-alive thread: %s", e.what());
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR holepuncher::stop() {
    {
        // Cleared under the lock, so the thread cannot miss the wake-up
        // between checking `active_` and starting to wait.
        std::lock_guard<std::mutex> guard(keepalive_lock_);
        active_ = false;
    }
    keepalive_wake_.notify_all();
    if (keepalive_thread_.joinable()) {
        keepalive_thread_.join();
    }
    return RTP_SUCCESS;
}

void holepuncher::notify() {
    last_send_ = clock::ntp::now();
}

void holepuncher::keepalive() {
    last_send_ = clock::ntp::now();
    auto idle_ms = [this] { return clock::ntp::diff_now(last_send_.load()); };

    std::unique_lock<std::mutex> lock(keepalive_lock_);
    while (active_) {
        if (idle_ms() >= k_idle_limit_ms) {
            sockaddr_in to4 = remote_v4_;
            sockaddr_in6 to6 = remote_v6_;
            lock.unlock();
            uint8_t keepalive = k_keepalive_byte;
            // Best effort: a lost keep-alive is replaced two seconds later.
            (void)socket_->sendto(to4, to6, &keepalive, sizeof(keepalive), 0);
            last_send_ = clock::ntp::now();
            lock.lock();
            continue;
        }
        keepalive_wake_.wait_for(lock, k_check_interval,
                                 [&] { return !active_ || idle_ms() >= k_idle_limit_ms; });
    }
}

}  // namespace tessal
