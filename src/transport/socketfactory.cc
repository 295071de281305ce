#include "transport/socketfactory.hh"

#include <netdb.h>
#include <sys/socket.h>

#include "transport/reception_flow.hh"
#include "transport/rtcp_reader.hh"
#include "transport/socket.hh"
#include "util/log.hh"

namespace tessal {

namespace {

// The family of a numeric address (AF_INET or AF_INET6); 0 for anything else.
// Never looks a name up.
int numeric_family(const std::string &address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *result = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return 0;
    }
    const int family = result->ai_family;
    freeaddrinfo(result);
    return family;
}

}  // namespace

socketfactory::socketfactory() = default;

socketfactory::~socketfactory() {
    std::lock_guard<std::mutex> guard(factory_lock_);
    for (auto &entry : flow_sockets_) {
        entry.first->stop();
    }
    for (auto &entry : reader_ports_) {
        entry.first->stop();
    }
    flow_sockets_.clear();
    reader_ports_.clear();
    bound_ports_.clear();
}

RTP_ERROR socketfactory::set_local_interface(const std::string &address) {
    const int family = numeric_family(address);
    std::lock_guard<std::mutex> guard(factory_lock_);
    interface_address_ = address;
    if (family != AF_INET && family != AF_INET6) {
        return RTP_FAILED;
    }
    if (family == AF_INET6) {
        ipv6_mode_ = true;  // never reset: the factory's sockets stay IPv6
    }
    return RTP_SUCCESS;
}

bool socketfactory::get_ipv6() const {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return ipv6_mode_;
}

socket_endpoint socketfactory::factory_endpoint_locked() const {
    return socket_endpoint{ipv6_mode_, interface_address_};
}

std::shared_ptr<socket> socketfactory::create_new_socket(int type, uint16_t port,
                                                         int stream_flags) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return create_new_socket_locked(type, port, stream_flags, factory_endpoint_locked());
}

std::shared_ptr<socket> socketfactory::create_new_socket(int type, uint16_t port, int stream_flags,
                                                         const socket_endpoint &endpoint) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return create_new_socket_locked(type, port, stream_flags, endpoint);
}

std::shared_ptr<socket> socketfactory::get_socket_ptr(int type, uint16_t port, int stream_flags) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return get_socket_ptr_locked(type, port, stream_flags, factory_endpoint_locked());
}

std::shared_ptr<socket> socketfactory::get_socket_ptr(int type, uint16_t port, int stream_flags,
                                                      const socket_endpoint &endpoint) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return get_socket_ptr_locked(type, port, stream_flags, endpoint);
}

std::shared_ptr<socket> socketfactory::get_socket_ptr_locked(int type, uint16_t port,
                                                             int stream_flags,
                                                             const socket_endpoint &endpoint) {
    // Port 0 is never recorded, so every such request gets a socket of its own.
    if (port != 0) {
        auto found = bound_ports_.find(port);
        if (found != bound_ports_.end()) {
            if (found->second->is_ipv6() != endpoint.ipv6) {
                LOG_ERROR_AS("get_socket_ptr",
                             "Port %u is in use by a socket of the other address family",
                             unsigned{port});
                return nullptr;
            }
            ++users_[found->second.get()];
            return found->second;
        }
    }
    return create_new_socket_locked(type, port, stream_flags, endpoint);
}

std::shared_ptr<socket> socketfactory::create_new_socket_locked(int type, uint16_t port,
                                                                int stream_flags,
                                                                const socket_endpoint &endpoint) {
    auto sock = std::make_shared<socket>(stream_flags);
    if (sock->init(endpoint.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0) != RTP_SUCCESS) {
        return nullptr;
    }
    // A socket that cannot have its port would never receive: refuse it
    // (the bind has logged why) instead of handing out a deaf socket.
    if (port != 0 && bind_socket_locked(sock, port, endpoint.local_address) != RTP_SUCCESS) {
        return nullptr;
    }
    if (type == k_socket_rtp) {
        flow_sockets_.emplace(std::make_shared<reception_flow>(endpoint.ipv6), sock);
    }
    if (type == k_socket_rtcp) {
        auto reader = std::make_shared<rtcp_reader>();
        reader->set_socket(sock);
        reader_ports_.emplace(std::move(reader), port);
    }
    ++users_[sock.get()];
    return sock;
}

RTP_ERROR socketfactory::bind_socket(const std::shared_ptr<socket> &sock, uint16_t port) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return bind_socket_locked(sock, port, interface_address_);
}

RTP_ERROR socketfactory::bind_socket_locked(const std::shared_ptr<socket> &sock, uint16_t port,
                                            const std::string &address) {
    if (!sock) {
        return RTP_BAD_ARGUMENT;
    }
    // The socket's own family decides; an empty address is the wildcard.
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    bool multicast = false;
    if (sock->is_ipv6()) {
        v6 = address.empty() ? socket::create_ip6_sockaddr_any(port)
                             : socket::create_ip6_sockaddr(address, port);
        multicast = socket::is_multicast(v6);
    } else {
        v4 = address.empty() ? socket::create_sockaddr(AF_INET, INADDR_ANY, port)
                             : socket::create_sockaddr(AF_INET, address, port);
        multicast = socket::is_multicast(v4);
    }
    if (multicast) {
        // Every multicast socket binds (with address reuse), even on a port
        // that is already recorded: each stream of the group gets its own.
        LOG_INFO_AS("bind_socket", "The used address %s is a multicast address", address.c_str());
    }
    if (multicast || bound_ports_.count(port) == 0) {
        const RTP_ERROR rc = sock->is_ipv6() ? sock->bind_ip6(v6) : sock->bind(v4);
        if (rc != RTP_SUCCESS) {
            return rc;
        }
    }
    if (port != 0) {
        bound_ports_.emplace(port, sock);  // the first socket recorded for a port stays
    }
    return RTP_SUCCESS;
}

RTP_ERROR socketfactory::bind_socket_anyip(const std::shared_ptr<socket> &sock, uint16_t port) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    if (!sock) {
        return RTP_BAD_ARGUMENT;
    }
    if (port != 0 && bound_ports_.count(port) != 0) {
        return RTP_SUCCESS;
    }
    RTP_ERROR rc = RTP_SUCCESS;
    if (sock->is_ipv6()) {
        sockaddr_in6 any = socket::create_ip6_sockaddr_any(port);
        rc = sock->bind_ip6(any);
    } else {
        rc = sock->bind(AF_INET, INADDR_ANY, port);
    }
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    if (port != 0) {
        bound_ports_.emplace(port, sock);
    }
    return RTP_SUCCESS;
}

bool socketfactory::is_port_in_use(uint16_t port) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    return bound_ports_.count(port) != 0;
}

std::shared_ptr<reception_flow> socketfactory::get_reception_flow_ptr(
    const std::shared_ptr<socket> &sock) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    for (const auto &entry : flow_sockets_) {
        if (sock && entry.second == sock) {
            return entry.first;
        }
    }
    return nullptr;
}

std::shared_ptr<rtcp_reader> socketfactory::install_rtcp_reader(uint16_t port) {
    auto reader = std::make_shared<rtcp_reader>();
    std::lock_guard<std::mutex> guard(factory_lock_);
    reader_ports_.emplace(reader, port);
    return reader;
}

std::shared_ptr<rtcp_reader> socketfactory::get_rtcp_reader(uint16_t port) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    for (const auto &entry : reader_ports_) {
        if (entry.second == port) {
            return entry.first;
        }
    }
    return nullptr;
}

bool socketfactory::clear_port(uint16_t port, const std::shared_ptr<socket> &sock) {
    std::lock_guard<std::mutex> guard(factory_lock_);
    // The flows are only forgotten: the last stream leaving a flow stops it.
    forget_socket_locked(port, sock);
    return true;
}

bool socketfactory::release_socket(uint16_t port, const std::shared_ptr<socket> &sock) {
    if (!sock) {
        return false;
    }
    std::lock_guard<std::mutex> guard(factory_lock_);
    auto user = users_.find(sock.get());
    if (user != users_.end() && --user->second > 0) {
        return false;
    }
    if (user != users_.end()) {
        users_.erase(user);
    }
    // The last user: under the same lock that joins streams to the port, so
    // nobody can join a flow that is being stopped.
    for (const auto &entry : flow_sockets_) {
        if (entry.second == sock) {
            entry.first->stop();
        }
    }
    forget_socket_locked(port, sock);
    sock->close();
    return true;
}

void socketfactory::forget_socket_locked(uint16_t port, const std::shared_ptr<socket> &sock) {
    // The readers of the port: stopped (joined; a reader thread never takes
    // the factory lock) and forgotten.
    for (auto it = reader_ports_.begin(); it != reader_ports_.end();) {
        if (port != 0 && it->second == port) {
            it->first->stop();
            it->first->set_socket(nullptr);
            it = reader_ports_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = flow_sockets_.begin(); it != flow_sockets_.end();) {
        if (sock && it->second == sock) {
            it = flow_sockets_.erase(it);
        } else {
            ++it;
        }
    }
    if (port != 0 && sock) {
        auto found = bound_ports_.find(port);
        if (found != bound_ports_.end() && found->second == sock) {
            bound_ports_.erase(found);
        }
    }
}

}  // namespace tessal
