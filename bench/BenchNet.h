#pragma once
// Loopback sockets for the benchmark drivers: plain blocking calls, failures
// end the driver with a message. The SOCKS client steps are those of the
// tests (tests/support/SocksClient.h, without Qt or GoogleTest).

#include "tests/support/SocksClient.h"

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

using VelmoraTest::ReadExact;
using VelmoraTest::Socks5ToLoopback;

inline bool WriteAll(int fd, const void *buffer, size_t n) {
    return VelmoraTest::SendAll(fd, buffer, n);
}

// A SOCKS 5 CONNECT to 127.0.0.1:port as an ordinary client makes it: the
// greeting, its answer, then the request and its reply. -1 on any failure.
inline int Socks5Connect(uint16_t socksPort, uint16_t port) {
    const int fd = ConnectLoopback(socksPort);
    if (fd < 0)
        return -1;
    if (VelmoraTest::Socks5Handshake(fd, port) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace benchnet
