#include "platform/Socket.h"

#include "platform/Clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

[[noreturn]] void ThrowErrno(const char *what, int err) {
    throw ESocketError(std::string(what) + ": " + std::strerror(err), err);
}

// A failed socket call, in the form the activity log shows.
[[noreturn]] void ThrowSocketError(int err) {
    throw ESocketError("Socket Error # " + std::to_string(err) + ": " + std::strerror(err), err);
}

// Fills a sockaddr from an IPv4 or IPv6 literal; false when it is neither.
bool ToSockaddr(const std::string &address, uint16_t port, sockaddr_storage &out, socklen_t &len) {
    std::memset(&out, 0, sizeof out);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
        return true;
    }
    std::string host = address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// Text of an address; an IPv4-mapped IPv6 address shows as dotted IPv4.
std::string AddressText(const sockaddr_storage &addr) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, buf, sizeof buf);
    } else if (addr.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &v6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

uint16_t PortOf(const sockaddr_storage &addr) {
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port);
    return 0;
}

// Waits for the connect in progress on a non-blocking socket, at most
// timeoutMs (negative: no bound), and throws its failure.
void AwaitConnect(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do
        rc = ::poll(&p, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    if (rc == 0)
        throw ESocketError("Connect timed out.", ETIMEDOUT);
    if (rc < 0)
        ThrowErrno("Socket error", errno);
    int err = 0;
    socklen_t elen = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen);
    if (err != 0)
        ThrowSocketError(err);
}

// Small writes of a connection leave at once.
void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One end of a connection as `name` (getpeername or getsockname) reports it;
// when the call fails the address has no family, which reads as the empty
// text and port 0.
sockaddr_storage EndOf(int fd, int (*name)(int, sockaddr *, socklen_t *)) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (name(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        addr = sockaddr_storage{};
    return addr;
}

} // namespace

TSocket::~TSocket() {
    Close();
}

TSocket::TSocket(TSocket &&other) noexcept
    : FFd(other.FFd), FReadDeadlineNs(other.FReadDeadlineNs) {
    other.FFd = -1;
    other.FReadDeadlineNs = 0;
}

TSocket &TSocket::operator=(TSocket &&other) noexcept {
    if (this != &other) {
        Close();
        FFd = other.FFd;
        FReadDeadlineNs = other.FReadDeadlineNs;
        other.FFd = -1;
        other.FReadDeadlineNs = 0;
    }
    return *this;
}

int TSocket::Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
}

void TSocket::Close() {
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TSocket TSocket::Connect(const std::string &address, uint16_t port, int timeoutMs) {
    sockaddr_storage addr;
    socklen_t len = 0;
    if (!ToSockaddr(address, port, addr, len))
        throw ESocketError("Not an IP address: " + address);
    TSocket s(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid())
        ThrowErrno("Socket error", errno);
    if (timeoutMs <= 0) {
        int rc;
        do
            rc = ::connect(s.FFd, reinterpret_cast<sockaddr *>(&addr), len);
        while (rc < 0 && errno == EINTR);
        if (rc < 0)
            ThrowSocketError(errno);
    } else {
        s.SetNonBlocking(true);
        if (::connect(s.FFd, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
            if (errno != EINPROGRESS)
                ThrowSocketError(errno);
            AwaitConnect(s.FFd, timeoutMs);
        }
        s.SetNonBlocking(false);
    }
    SetNoDelay(s.FFd);
    return s;
}

TSocket TSocket::Create(Family family) {
    TSocket s(::socket(family == Family::IPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid())
        ThrowErrno("Socket error", errno);
    return s;
}

void TSocket::ConnectTo(const std::string &address, uint16_t port, int timeoutMs) {
    sockaddr_storage addr;
    socklen_t len = 0;
    if (!ToSockaddr(address, port, addr, len))
        throw ESocketError("Not an IP address: " + address);
    SetNonBlocking(true);
    if (::connect(FFd, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
        if (errno != EINPROGRESS)
            ThrowSocketError(errno);
        AwaitConnect(FFd, timeoutMs > 0 ? timeoutMs : -1);
        // Shut down while connecting: no error is recorded, but there is no peer.
        sockaddr_storage peer;
        socklen_t plen = sizeof peer;
        if (::getpeername(FFd, reinterpret_cast<sockaddr *>(&peer), &plen) < 0)
            ThrowSocketError(ECONNABORTED);
    }
    SetNonBlocking(false);
    SetNoDelay(FFd);
}

TSocket TSocket::Listen(Family family, uint16_t port, int backlog, bool loopbackOnly) {
    const int af = family == Family::IPv4 ? AF_INET : AF_INET6;
    TSocket s(::socket(af, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid())
        ThrowErrno("Socket error", errno);
    int one = 1;
    ::setsockopt(s.FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr;
    std::memset(&addr, 0, sizeof addr);
    socklen_t len;
    if (af == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
    } else {
        ::setsockopt(s.FFd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = loopbackOnly ? in6addr_loopback : in6addr_any;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    }
    if (::bind(s.FFd, reinterpret_cast<sockaddr *>(&addr), len) < 0)
        ThrowErrno("Could not bind socket", errno);
    if (::listen(s.FFd, backlog) < 0)
        ThrowErrno("Could not listen", errno);
    return s;
}

TSocket TSocket::Accept() {
    for (;;) {
        if (FFd < 0)
            return TSocket();
        const int fd = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            SetNoDelay(fd);
            return TSocket(fd);
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // Out of descriptors or memory: wait a moment instead of spinning.
            ::poll(nullptr, 0, 50);
            continue;
        default:
            return TSocket(); // shut down, closed or broken: the server stops accepting
        }
    }
}

void TSocket::ReadExact(void *buffer, size_t n) {
    auto *p = static_cast<char *>(buffer);
    while (n > 0) {
        const size_t got = ReadSome(p, n);
        if (got == 0)
            throw ESocketError("Connection Closed Gracefully.");
        p += got;
        n -= got;
    }
}

void TSocket::AwaitReadDeadline() {
    for (;;) {
        const int64_t now = TClock::TickNs();
        const int64_t left = FReadDeadlineNs - now;
        if (left <= 0)
            throw ESocketError("Read timed out.", ETIMEDOUT);
        // The kernel lets a wait run late by a thousandth of its length (a
        // millisecond a second): a long wait stops 10 ms short, and the
        // rest, waited anew, is late by microseconds only.
        constexpr int64_t Short = 10 * 1000000;
        const int64_t span = left > 2 * Short ? left - Short : left;
        const timespec wait{static_cast<time_t>(span / 1000000000),
                            static_cast<long>(span % 1000000000)};
        pollfd pf{FFd, POLLIN, 0};
        const int rc = ::ppoll(&pf, 1, &wait, nullptr);
        if (rc > 0)
            return;
        if (rc < 0 && errno != EINTR)
            ThrowSocketError(errno);
    }
}

size_t TSocket::ReadSome(void *buffer, size_t n) {
    // With a deadline, bytes already there are taken at once; only a read
    // that would wait waits in ppoll, until the deadline.
    const int flags = FReadDeadlineNs != 0 ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t got = ::recv(FFd, buffer, n, flags);
        if (got >= 0)
            return static_cast<size_t>(got);
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && FReadDeadlineNs != 0) {
            AwaitReadDeadline();
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A blocking socket says so only when its read time-out passed.
            if ((::fcntl(FFd, F_GETFL) & O_NONBLOCK) == 0)
                throw ESocketError("Read timed out.", ETIMEDOUT);
            WaitReadable(-1);
            continue;
        }
        ThrowSocketError(errno);
    }
}

void TSocket::SetReadTimeout(int timeoutMs) {
    timeval tv{};
    if (timeoutMs > 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
    }
    if (::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        ThrowErrno("Socket error", errno);
}

void TSocket::WriteAll(const void *buffer, size_t n) {
    const auto *p = static_cast<const char *>(buffer);
    while (n > 0) {
        const ssize_t sent = ::send(FFd, p, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd pf{FFd, POLLOUT, 0};
                ::poll(&pf, 1, -1);
                continue;
            }
            ThrowSocketError(errno);
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
}

bool TSocket::WaitReadable(int timeoutMs) {
    pollfd p{FFd, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            ThrowErrno("Socket error", errno);
        return rc > 0;
    }
}

void TSocket::ShutdownWrite() {
    if (FFd >= 0)
        ::shutdown(FFd, SHUT_WR);
}

void TSocket::ShutdownBoth() {
    if (FFd >= 0)
        ::shutdown(FFd, SHUT_RDWR);
}

void TSocket::SetNonBlocking(bool on) {
    const int flags = ::fcntl(FFd, F_GETFL, 0);
    if (flags >= 0)
        ::fcntl(FFd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

std::string TSocket::PeerAddress() const {
    return AddressText(EndOf(FFd, ::getpeername));
}

uint16_t TSocket::PeerPort() const {
    return PortOf(EndOf(FFd, ::getpeername));
}

std::string TSocket::LocalAddress() const {
    return AddressText(EndOf(FFd, ::getsockname));
}

uint16_t TSocket::LocalPort() const {
    return PortOf(EndOf(FFd, ::getsockname));
}
