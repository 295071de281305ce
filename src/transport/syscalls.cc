#include "transport/syscalls.hh"

#include <unistd.h>

namespace tessal {

int socket_syscalls::socket(int domain, int type, int protocol) {
    return ::socket(domain, type | SOCK_CLOEXEC, protocol);
}

int socket_syscalls::bind(int fd, const sockaddr *addr, socklen_t len) {
    return ::bind(fd, addr, len);
}

int socket_syscalls::setsockopt(int fd, int level, int name, const void *value, socklen_t len) {
    return ::setsockopt(fd, level, name, value, len);
}

int socket_syscalls::close(int fd) {
    return ::close(fd);
}

int socket_syscalls::sendmmsg(int fd, mmsghdr *msgs, unsigned int count, int flags) {
    return ::sendmmsg(fd, msgs, count, flags);
}

ssize_t socket_syscalls::sendmsg(int fd, const msghdr *msg, int flags) {
    return ::sendmsg(fd, msg, flags);
}

ssize_t socket_syscalls::sendto(int fd, const void *data, size_t len, int flags, const sockaddr *to,
                                socklen_t to_len) {
    return ::sendto(fd, data, len, flags, to, to_len);
}

ssize_t socket_syscalls::recv(int fd, void *buf, size_t len, int flags) {
    return ::recv(fd, buf, len, flags);
}

ssize_t socket_syscalls::recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from,
                                  socklen_t *from_len) {
    return ::recvfrom(fd, buf, len, flags, from, from_len);
}

int socket_syscalls::recvmmsg(int fd, mmsghdr *msgs, unsigned int count, int flags) {
    return ::recvmmsg(fd, msgs, count, flags, nullptr);
}

int socket_syscalls::poll(pollfd *fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

socket_syscalls &socket_syscalls::system() noexcept {
    static socket_syscalls real;
    return real;
}

}  // namespace tessal
