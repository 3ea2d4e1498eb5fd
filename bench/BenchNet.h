#pragma once
// Sockets for the benchmark drivers: plain blocking calls, failures
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
#include <thread>
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

// A loopback port free now.
inline uint16_t FreePort() {
    uint16_t port = 0;
    ::close(ListenLoopback(1, port));
    return port;
}

// Accepts and closes every connection: the destination of set-ups.
class TSink {
public:
    TSink() {
        FListen = ListenLoopback(1024, FPort);
        FAccept = std::thread([this] {
            for (int fd; (fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                ::close(fd);
        });
    }
    ~TSink() {
        ::shutdown(FListen, SHUT_RDWR);
        FAccept.join();
        ::close(FListen);
    }
    TSink(const TSink &) = delete;
    TSink &operator=(const TSink &) = delete;
    uint16_t Port() const { return FPort; }

private:
    int FListen = -1;
    uint16_t FPort = 0;
    std::thread FAccept;
};

// "ADDRESS:PORT" (IPv4), or failure.
inline sockaddr_in ParseAddress(const std::string &text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    const size_t colon = text.rfind(':');
    const int port = colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1);
    if (port <= 0 || port > 65535 ||
        ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &a.sin_addr) != 1)
        Fail("not an IPv4 ADDRESS:PORT: " + text);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A plain blocking connect(): the call proxychains4 takes over.
inline int ConnectTo(const sockaddr_in &a) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        SysFail("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

inline int ConnectLoopback(uint16_t port) {
    return ConnectTo(Loopback(port));
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

// The same to any IPv4 address: the request carries the address itself.
inline int Socks5ConnectTo(uint16_t socksPort, const sockaddr_in &to) {
    const int fd = ConnectLoopback(socksPort);
    if (fd < 0)
        return -1;
    const auto *ip = reinterpret_cast<const unsigned char *>(&to.sin_addr);
    const std::string request = VelmoraTest::Bytes({5, 1, 0, 1, ip[0], ip[1], ip[2], ip[3]}) +
                                VelmoraTest::Port16(ntohs(to.sin_port));
    if (!VelmoraTest::Socks5Greet(fd) || !WriteAll(fd, request.data(), request.size()) ||
        VelmoraTest::Socks5ReadReply(fd) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace benchnet
