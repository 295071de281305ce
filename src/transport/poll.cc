#include "transport/poll.hh"

#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "transport/socket.hh"
#include "util/log.hh"

namespace tessal {
namespace poll {

namespace {

constexpr size_t k_max_sockets = 63;

using steady = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded down so that a resumed wait
// never outlasts the caller's time-out.
int remaining_ms(steady::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll(2) over `fds` for at most `timeout_ms` in all (a negative time-out
// waits without limit, as poll(2) does). A signal that interrupts the wait
// (EINTR) does not end it: the wait resumes for the time that is left.
int wait_any(pollfd *fds, nfds_t count, int timeout_ms) {
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    int wait_ms = timeout_ms;
    for (;;) {
        const int ready = ::poll(fds, count, wait_ms);
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
        if (timeout_ms >= 0) {
            wait_ms = remaining_ms(deadline);
        }
    }
}

void set_bytes(int *bytes_read, int value) {
    if (bytes_read != nullptr) {
        *bytes_read = value;
    }
}

}  // namespace

RTP_ERROR poll(const std::vector<std::shared_ptr<socket>> &sockets, uint8_t *buffer, size_t size,
               int timeout_ms, int *bytes_read) {
    if (buffer == nullptr || size == 0) {
        return RTP_BAD_ARGUMENT;
    }
    if (sockets.size() > k_max_sockets) {
        LOG_ERROR("Too many participants!");
        return RTP_BAD_ARGUMENT;
    }

    std::array<pollfd, k_max_sockets> fds{};
    for (size_t i = 0; i < sockets.size(); ++i) {
        // poll(2) ignores a negative descriptor, so a null entry is never ready.
        fds[i].fd = sockets[i] ? sockets[i]->get_raw_socket() : -1;
        fds[i].events = POLLIN;
    }
    const int ready = wait_any(fds.data(), static_cast<nfds_t>(sockets.size()), timeout_ms);
    if (ready < 0) {
        set_bytes(bytes_read, -1);
        LOG_ERROR("Poll failed: %s", log::error_text(errno).c_str());
        return RTP_FAILED;
    }
    if (ready == 0) {
        set_bytes(bytes_read, 0);
        return RTP_NO_DATA;
    }

    for (size_t i = 0; i < sockets.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) {
            continue;
        }
        const RTP_ERROR rc = sockets[i]->recv(buffer, size, 0, bytes_read);
        if (rc == RTP_SUCCESS) {
            return RTP_SUCCESS;
        }
        const int err = errno;
        set_bytes(bytes_read, -1);
        LOG_ERROR("recv() for socket %d failed: %s", sockets[i]->get_raw_socket(),
                  log::error_text(err).c_str());
        return RTP_FAILED;
    }
    // Only error conditions (POLLERR, POLLHUP, POLLNVAL) were reported.
    set_bytes(bytes_read, -1);
    return RTP_FAILED;
}

// The wait goes through socket::wait_readable, i.e. poll(2): select(2) cannot
// watch descriptors of FD_SETSIZE (1024) and above. The failure line keeps the
// text "select(2) failed" that readers of the log know.
RTP_ERROR blocked_recv(const std::shared_ptr<socket> &sock, uint8_t *buffer, size_t size,
                       int timeout_ms, int *bytes_read) {
    if (!sock || buffer == nullptr || size == 0) {
        return RTP_BAD_ARGUMENT;
    }

    // wait_readable reports an interrupted wait (EINTR) like a time-out: wait
    // again for whatever is left of the caller's time-out.
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    RTP_ERROR ready = sock->wait_readable(timeout_ms);
    while (ready == RTP_NO_DATA && (timeout_ms < 0 || remaining_ms(deadline) > 0)) {
        ready = sock->wait_readable(timeout_ms < 0 ? timeout_ms : remaining_ms(deadline));
    }
    if (ready == RTP_FAILED) {
        set_bytes(bytes_read, -1);
        log::platform_error("select(2) failed");
        return RTP_FAILED;
    }
    if (ready == RTP_NO_DATA) {
        set_bytes(bytes_read, 0);
        return RTP_NO_DATA;
    }

    const RTP_ERROR rc = sock->recv(buffer, size, 0, bytes_read);
    if (rc != RTP_SUCCESS) {
        set_bytes(bytes_read, -1);
        log::platform_error("recv(2) failed");
    }
    return rc;
}

}  // namespace poll
}  // namespace tessal
