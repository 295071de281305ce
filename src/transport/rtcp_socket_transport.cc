#include "transport/rtcp_socket_transport.hh"

#include "transport/rtcp_reader.hh"
#include "transport/socket.hh"
#include "util/log.hh"

namespace tessal {

bool rtcp_socket_transport::set_remote(const std::string &remote_address, uint16_t dst_port) {
    return ipv6_ ? socket::parse_ip6_sockaddr(remote_address, dst_port, remote_v6_)
                 : socket::parse_sockaddr(remote_address, dst_port, remote_v4_);
}

std::shared_ptr<rtcp_socket_transport> rtcp_socket_transport::on_rtp_socket(
    std::shared_ptr<socket> sock, const std::string &remote_address, uint16_t dst_port, bool ipv6) {
    std::shared_ptr<rtcp_socket_transport> t(new rtcp_socket_transport());
    t->socket_ = std::move(sock);
    t->ipv6_ = ipv6;
    if (!t->socket_ || !t->set_remote(remote_address, dst_port)) {
        return nullptr;
    }
    return t;
}

std::shared_ptr<rtcp_socket_transport> rtcp_socket_transport::on_own_port(
    std::shared_ptr<socketfactory> sf, uint16_t port, int rce_flags,
    const socket_endpoint &endpoint, const std::string &remote_address, uint16_t dst_port,
    shared_ssrc remote_ssrc, rtcp_receiver *engine) {
    std::shared_ptr<rtcp_socket_transport> t(new rtcp_socket_transport());
    t->ipv6_ = endpoint.ipv6;
    if (!sf || !t->set_remote(remote_address, dst_port)) {
        return nullptr;
    }
    std::shared_ptr<socket> sock = sf->get_socket_ptr(k_socket_rtcp, port, rce_flags, endpoint);
    if (!sock) {
        LOG_ERROR_AS("start_components", "Cannot get an RTCP socket for port %u", unsigned{port});
        return nullptr;
    }
    std::shared_ptr<rtcp_reader> reader = sf->get_rtcp_reader(port);
    if (!reader) {
        LOG_ERROR_AS("start_components",
                     "Port %u is used by another stream's RTP, not by RTCP; the stream runs "
                     "without RTCP",
                     unsigned{port});
        sf->release_socket(port, sock);
        return nullptr;
    }
    reader->map_ssrc_to_rtcp(remote_ssrc, engine);
    t->sf_ = std::move(sf);
    t->socket_ = std::move(sock);
    t->reader_ = std::move(reader);
    t->remote_ssrc_ = std::move(remote_ssrc);
    t->port_ = port;
    return t;
}

rtcp_socket_transport::~rtcp_socket_transport() {
    close();
}

RTP_ERROR rtcp_socket_transport::open() {
    return socket_ ? RTP_SUCCESS : RTP_FAILED;
}

void rtcp_socket_transport::start_receiving() {
    if (reader_) {
        reader_->start();
    }
}

RTP_ERROR rtcp_socket_transport::send(const uint8_t *data, size_t size) {
    if (!socket_) {
        return RTP_FAILED;
    }
    // sendto does not write the buffer; it takes a mutable pointer only
    // because the send handlers of the RTP path may.
    return socket_->sendto(remote_v4_, remote_v6_, const_cast<uint8_t *>(data), size, 0);
}

void rtcp_socket_transport::close() {
    if (reader_) {
        // The last stream of the port stops the reader; the factory closes
        // the socket when its last user gives it back.
        reader_->clear_rtcp_from_reader(remote_ssrc_);
        reader_.reset();
        sf_->release_socket(port_, socket_);
    }
    socket_.reset();
    sf_.reset();
}

}  // namespace tessal
