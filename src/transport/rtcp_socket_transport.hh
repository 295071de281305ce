#pragma once

// The network side of a stream's RTCP: either the stream's RTP socket (RTCP
// multiplexed on the RTP port, RFC 5761; received RTCP arrives through the
// reception flow) or the RTCP socket of the port after the RTP port with its
// RTCP reader, both shared with the other streams of that port through the
// socket factory.
//
// Made and opened on the thread that starts the stream; send runs on the
// RTCP runner thread; close on the thread that stops RTCP.

#include <netinet/in.h>

#include <memory>
#include <string>

#include "transport/socketfactory.hh"
#include "util/rtcp_transport.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

class socket;
class rtcp_reader;

class rtcp_socket_transport : public rtcp_transport {
public:
    // RTCP on the stream's RTP socket, sent to `remote_address`:`dst_port`.
    // Null for an unusable address.
    static std::shared_ptr<rtcp_socket_transport> on_rtp_socket(std::shared_ptr<socket> sock,
                                                                const std::string &remote_address,
                                                                uint16_t dst_port, bool ipv6);
    // RTCP on its own port `port`: takes (or creates) the port's RTCP socket
    // from the factory and maps `remote_ssrc` to `engine` in its reader.
    // Null, with an ERROR and nothing kept, when the port holds a socket
    // without a reader (another stream's RTP socket) or cannot be had.
    static std::shared_ptr<rtcp_socket_transport> on_own_port(
        std::shared_ptr<socketfactory> sf, uint16_t port, int rce_flags,
        const socket_endpoint &endpoint, const std::string &remote_address, uint16_t dst_port,
        shared_ssrc remote_ssrc, rtcp_receiver *engine);
    ~rtcp_socket_transport() override;

    RTP_ERROR open() override;
    void start_receiving() override;
    RTP_ERROR send(const uint8_t *data, size_t size) override;
    void close() override;
    size_t header_overhead() const override { return ipv6_ ? 48 : 28; }

private:
    rtcp_socket_transport() = default;
    bool set_remote(const std::string &remote_address, uint16_t dst_port);

    std::shared_ptr<socketfactory> sf_;  // own port only
    std::shared_ptr<socket> socket_;
    std::shared_ptr<rtcp_reader> reader_;  // own port only
    shared_ssrc remote_ssrc_;
    uint16_t port_ = 0;
    bool ipv6_ = false;
    sockaddr_in remote_v4_{};
    sockaddr_in6 remote_v6_{};
};

}  // namespace tessal
