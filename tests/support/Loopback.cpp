#include "tests/support/Loopback.h"

#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace VelmoraTest {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool TryConnect(uint16_t port, int timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const sockaddr_in a = Loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, timeoutMs) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            ok = err == 0;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace

uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

bool WaitAccepting(uint16_t port, int timeoutMs) {
    return WaitFor([port] { return TryConnect(port, 200); }, timeoutMs,
                   [] { ::usleep(20 * 1000); });
}

bool Accepting(uint16_t port) {
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int Socks5Connect(uint16_t port, uint16_t destPort) {
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return -1;
    if (Socks5Handshake(fd, destPort) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int Socks5Connect(TSocket &s, uint16_t destPort) {
    return Socks5Handshake(s.Fd(), destPort);
}

} // namespace VelmoraTest
