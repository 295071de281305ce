#pragma once

// The seam between the transport and the operating system. Sockets make every
// system call through a socket_syscalls object; the real one forwards to the
// kernel, tests substitute a fake that records datagrams or fails on cue
// (short sends, EAGAIN, EINTR, errors) without a network.

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace tessal {

class socket_syscalls {
public:
    virtual ~socket_syscalls() = default;

    virtual int socket(int domain, int type, int protocol);
    virtual int bind(int fd, const sockaddr *addr, socklen_t len);
    virtual int setsockopt(int fd, int level, int name, const void *value, socklen_t len);
    virtual int close(int fd);
    virtual int sendmmsg(int fd, mmsghdr *msgs, unsigned int count, int flags);
    // One datagram: cheaper in the kernel than a sendmmsg(2) of one message.
    virtual ssize_t sendmsg(int fd, const msghdr *msg, int flags);
    virtual ssize_t sendto(int fd, const void *data, size_t len, int flags, const sockaddr *to,
                           socklen_t to_len);
    virtual ssize_t recv(int fd, void *buf, size_t len, int flags);
    virtual ssize_t recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from,
                             socklen_t *from_len);
    virtual int recvmmsg(int fd, mmsghdr *msgs, unsigned int count, int flags);
    virtual int poll(pollfd *fds, nfds_t count, int timeout_ms);
    // Whether sends may ask for UDP segmentation offload (UDP_SEGMENT); a
    // kernel that refuses it at send time is still handled.
    virtual bool supports_udp_gso() { return true; }
    // Whether receives may ask for UDP receive offload (UDP_GRO): runs of
    // equal datagrams delivered as one, cut by the receiver.
    virtual bool supports_udp_gro() { return true; }

    // The process-wide object that makes the real system calls.
    static socket_syscalls &system() noexcept;
};

}  // namespace tessal
