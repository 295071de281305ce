#pragma once

// What an RTCP object needs from the network, implemented by the transport
// layer (a socket of its own with an RTCP reader, or the RTP socket when
// RTCP is multiplexed): the RTCP object never sees a socket.
//
// open, start_receiving and close run on the thread that starts or stops
// the RTCP object; send on the RTCP runner thread (or the stopping thread
// once the runner has been joined).

#include <cstddef>
#include <cstdint>

#include "tessal/util.hh"

namespace tessal {

class rtcp_transport {
public:
    virtual ~rtcp_transport() = default;
    // Makes the transport ready to send (and receive); before the runner starts.
    virtual RTP_ERROR open() = 0;
    // Starts delivering received RTCP; after the runner has started.
    virtual void start_receiving() = 0;
    // One compound packet as one datagram to the peer.
    virtual RTP_ERROR send(const uint8_t *data, size_t size) = 0;
    // Stops receiving and lets the socket go; the transport is not used again.
    virtual void close() = 0;
    // The IP and UDP header bytes each datagram costs (RFC 3550 6.2).
    virtual size_t header_overhead() const = 0;
};

// What the transport hands received RTCP to: the RTCP object implements
// it, so that the RTCP reader needs nothing from the layer above.
class rtcp_receiver {
public:
    virtual ~rtcp_receiver() = default;
    // One received compound packet (possibly SRTCP), on the reading thread.
    virtual RTP_ERROR handle_incoming_packet(uint8_t *buffer, size_t size) = 0;
};

}  // namespace tessal
