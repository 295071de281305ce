#pragma once

// Waiting for one datagram on one or several sockets, with a time-out.
// Stateless; any thread may call these.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tessal/util.hh"

namespace tessal {

class socket;

namespace poll {

// Receives one datagram from the first readable socket (in list order).
// RTP_NO_DATA (bytes_read 0) after `timeout_ms`; RTP_BAD_ARGUMENT for a null
// buffer, zero size or 64 or more sockets. `bytes_read` may be null.
RTP_ERROR poll(const std::vector<std::shared_ptr<socket>> &sockets, uint8_t *buffer, size_t size,
               int timeout_ms, int *bytes_read);

// The same for one socket.
RTP_ERROR blocked_recv(const std::shared_ptr<socket> &sock, uint8_t *buffer, size_t size,
                       int timeout_ms, int *bytes_read);

}  // namespace poll
}  // namespace tessal
