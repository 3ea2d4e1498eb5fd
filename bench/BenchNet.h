#pragma once
// Loopback sockets for the benchmark drivers: plain blocking calls, failures
// end the driver with a message.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace benchnet {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point t0, Clock::time_point t1) {
    return std::chrono::duration<double>(t1 - t0).count();
}

[[noreturn]] inline void Fail(const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

[[noreturn]] inline void SysFail(const std::string &what) {
    Fail(what + ": " + std::strerror(errno));
}

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline int ListenLoopback(int backlog, uint16_t &port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::listen(fd, backlog) < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0)
        SysFail("listen");
    port = ntohs(a.sin_port);
    return fd;
}

// A plain blocking connect(): the call proxychains4 takes over.
inline int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        SysFail("socket");
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

inline bool ReadExact(int fd, void *buffer, size_t n) {
    auto *p = static_cast<unsigned char *>(buffer);
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

inline bool WriteAll(int fd, const void *buffer, size_t n) {
    auto *p = static_cast<const unsigned char *>(buffer);
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

// A SOCKS 5 CONNECT to 127.0.0.1:port as an ordinary client makes it: the
// greeting, its answer, then the request and its reply. -1 on any failure.
inline int Socks5Connect(uint16_t socksPort, uint16_t port) {
    const int fd = ConnectLoopback(socksPort);
    if (fd < 0)
        return -1;
    const unsigned char greeting[] = {5, 1, 0};
    const unsigned char request[] = {5,
                                     1,
                                     0,
                                     1,
                                     127,
                                     0,
                                     0,
                                     1,
                                     static_cast<unsigned char>(port >> 8),
                                     static_cast<unsigned char>(port & 0xff)};
    unsigned char reply[262];
    bool ok = WriteAll(fd, greeting, sizeof greeting) && ReadExact(fd, reply, 2) && reply[0] == 5 &&
              reply[1] == 0 && WriteAll(fd, request, sizeof request) && ReadExact(fd, reply, 4) &&
              reply[1] == 0;
    if (ok) {
        size_t rest = reply[3] == 1 ? 6 : reply[3] == 4 ? 18 : 0;
        if (reply[3] == 3 && ReadExact(fd, reply, 1))
            rest = size_t(reply[0]) + 2;
        ok = rest > 0 && ReadExact(fd, reply, rest);
    }
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace benchnet
