#pragma once

// Where the send queue and the payload formats hand their datagrams: the
// transport's socket implements it, tests substitute a fake. Nothing above
// the transport needs to know about sockets.

#include <netinet/in.h>

#include <cstdint>

#include "tessal/util.hh"
#include "util/buffer_vector.hh"
#include "util/hot_lines.hh"

namespace tessal {

class datagram_sink {
public:
    virtual ~datagram_sink() = default;

    // Runs the send handlers installed for `ssrc` on the datagram, then
    // sends it to the address of the sink's family.
    virtual RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6,
                             buffer_vector &pieces, int flags, int *bytes_sent) = 0;
    // The same for every datagram of `packets`, sent in as few calls as the
    // sink can.
    virtual RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6,
                             packet_vector &packets, int flags, int *bytes_sent) = 0;

    // Adds the lines a send through the sink touches: its own state, its
    // send handlers and what they update.
    virtual void collect_hot_lines(hot_lines &) {}
    // Changes whenever what collect_hot_lines adds may have changed.
    virtual uint64_t hot_lines_version() const noexcept { return 0; }
};

}  // namespace tessal
