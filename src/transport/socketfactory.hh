#pragma once

// Decides which UDP socket a stream uses, so that streams of one context on
// the same local port share one socket and its reception flow. One factory
// per context, shared by its sessions and streams; all maps are guarded by
// one lock, so any application thread may call in.
//
// A stream takes its socket with get_socket_ptr/create_new_socket (counted
// as a user of it) and gives it back with release_socket. Both happen under
// the factory lock, so "the last stream leaves the port" (its flow stopped,
// its descriptor closed, the port forgotten) and "a stream joins the port"
// never interleave. Lock order: factory lock -> a flow's or an RTCP reader's
// start/stop lock.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tessal/util.hh"
#include "util/shared_by_ssrc.hh"

namespace tessal {

class socket;
class reception_flow;
class rtcp;
class rtcp_reader;
class srtcp;
class srtp;

// The objects the streams of one context share by local SSRC: the context's
// own, so that two contexts never share keys.
struct context_shared_objects {
    shared_by_ssrc<rtcp> rtcp_objects;
    shared_by_ssrc<srtp> srtp_objects;
    shared_by_ssrc<srtcp> srtcp_objects;
};

// The family and local address of the session a stream belongs to. An empty
// address binds to the family's wildcard address.
struct socket_endpoint {
    bool ipv6 = false;
    std::string local_address;
};

// Kinds of socket: an RTCP socket (gets an RTCP reader), an RTP socket (gets
// a reception flow); any other value creates a bare socket.
constexpr int k_socket_rtcp = 1;
constexpr int k_socket_rtp = 2;

class socketfactory {
public:
    socketfactory();
    ~socketfactory();  // stops every flow still known
    socketfactory(const socketfactory &) = delete;
    socketfactory &operator=(const socketfactory &) = delete;

    // Stores the local interface address used by bind_socket; an IPv6 address
    // switches the factory to IPv6 for good. RTP_FAILED (silently) for text
    // that is not a numeric address.
    RTP_ERROR set_local_interface(const std::string &address);
    bool get_ipv6() const;

    // A new socket (and its companion for `type`), bound to the interface
    // address when `port` is not 0. Null on failure, a failed bind included
    // (nothing is kept then). The caller becomes one of its users.
    std::shared_ptr<socket> create_new_socket(int type, uint16_t port, int stream_flags);
    // The socket already recorded for `port`, else create_new_socket. Null
    // when the recorded socket is of the other address family.
    std::shared_ptr<socket> get_socket_ptr(int type, uint16_t port, int stream_flags);
    // The same for a stream of a session with its own family and address
    // (the forms above use the factory's mode and interface address).
    std::shared_ptr<socket> create_new_socket(int type, uint16_t port, int stream_flags,
                                              const socket_endpoint &endpoint);
    std::shared_ptr<socket> get_socket_ptr(int type, uint16_t port, int stream_flags,
                                           const socket_endpoint &endpoint);
    // Gives back one use of `sock`. For its last user: stops the socket's
    // flows, forgets them and `port` (if recorded for this socket) and closes
    // the descriptor, so the port can be bound again at once. True when that
    // happened.
    bool release_socket(uint16_t port, const std::shared_ptr<socket> &sock);

    RTP_ERROR bind_socket(const std::shared_ptr<socket> &sock, uint16_t port);
    RTP_ERROR bind_socket_anyip(const std::shared_ptr<socket> &sock, uint16_t port);
    bool is_port_in_use(uint16_t port);

    // The flow reading from `sock`; null when there is none.
    std::shared_ptr<reception_flow> get_reception_flow_ptr(const std::shared_ptr<socket> &sock);

    // Forgets `port` (if recorded for this very socket), the socket's flows
    // and the readers of `port` (stopped first).
    bool clear_port(uint16_t port, const std::shared_ptr<socket> &sock);

    // The RTCP reader registry: an RTCP socket (k_socket_rtcp) comes with a
    // reader, recorded with its port. install_rtcp_reader records a new one;
    // get_rtcp_reader returns the first recorded with `port`, or null.
    std::shared_ptr<rtcp_reader> install_rtcp_reader(uint16_t port);
    std::shared_ptr<rtcp_reader> get_rtcp_reader(uint16_t port);

    // This context's RTCP, SRTP and SRTCP objects shared by local SSRC.
    context_shared_objects &shared_objects() noexcept { return shared_objects_; }

private:
    struct reader_less {
        bool operator()(const std::shared_ptr<rtcp_reader> &a,
                        const std::shared_ptr<rtcp_reader> &b) const noexcept {
            return a.get() < b.get();
        }
    };
    struct identity_less {
        bool operator()(const std::shared_ptr<reception_flow> &a,
                        const std::shared_ptr<reception_flow> &b) const noexcept {
            return a.get() < b.get();
        }
    };

    // The *_locked forms expect factory_lock_ to be held.
    std::shared_ptr<socket> create_new_socket_locked(int type, uint16_t port, int stream_flags,
                                                     const socket_endpoint &endpoint);
    std::shared_ptr<socket> get_socket_ptr_locked(int type, uint16_t port, int stream_flags,
                                                  const socket_endpoint &endpoint);
    RTP_ERROR bind_socket_locked(const std::shared_ptr<socket> &sock, uint16_t port,
                                 const std::string &address);
    void forget_socket_locked(uint16_t port, const std::shared_ptr<socket> &sock);
    socket_endpoint factory_endpoint_locked() const;

    mutable std::mutex factory_lock_;
    std::string interface_address_;
    bool ipv6_mode_ = false;
    std::map<uint16_t, std::shared_ptr<socket>> bound_ports_;
    std::map<std::shared_ptr<reception_flow>, std::shared_ptr<socket>, identity_less> flow_sockets_;
    std::map<const socket *, size_t> users_;  // streams holding each socket
    std::map<std::shared_ptr<rtcp_reader>, uint16_t, reader_less> reader_ports_;
    context_shared_objects shared_objects_;  // its own lock
};

}  // namespace tessal
