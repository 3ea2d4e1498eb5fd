// A statically linked network client for the launcher's tests: plain
// sockets, its own DNS query, no C library resolver, so nothing loaded at
// start-up (LD_PRELOAD) can steer it. Each step prints one line:
//
//   --dns SERVER NAME      an A query over UDP to SERVER:53   "dns ADDRESS" | "dns none" | "dns
//   error TEXT"
//   --dns-tcp SERVER NAME  the same query over TCP            "dns ..." as above
//   --connect ADDR PORT    HTTP GETs over TCP to ADDR:PORT     "tcp OK/COUNT" (+ "tcp-error TEXT")
//   --count N              how many connections --connect makes (1)
//   --answer               connect to the DNS answer instead of ADDR
//   --udp ADDR PORT        a datagram, then waits for its echo "udp reply" | "udp none" | "udp
//   error TEXT"
//   --v6 ADDR PORT         one HTTP GET over TCP to [ADDR]:PORT "v6 ok" | "v6 fail TEXT"
//
// The exit status is 0 when every TCP connection of --connect got a
// "200" answer, 1 otherwise.
#include "ClientSteps.h"
#include "DnsWire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 5000;

std::string ErrorText(int code) {
    return std::strerror(code);
}

// Waits for `events` on fd; false on time-out.
bool WaitFor(int fd, short events) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, kWaitMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// A connected socket of `type`, or -1 with `error` set. TCP connects are
// bounded by kWaitMs.
int Connect(const TAddress &to, int type, std::string &error) {
    const int fd = ::socket(to.Storage.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = ErrorText(errno);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&to.Storage), to.Length);
    if (rc < 0 && errno == EINPROGRESS) {
        if (!WaitFor(fd, POLLOUT)) {
            error = "connect timed out";
            ::close(fd);
            return -1;
        }
        int code = 0;
        socklen_t len = sizeof code;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &len);
        rc = code == 0 ? 0 : -1;
        errno = code;
    }
    if (rc < 0) {
        error = ErrorText(errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, flags);
    timeval tv{kWaitMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

// One HTTP GET: true when the answer begins with a 200 status line.
bool HttpGet(const TAddress &to, std::string &error) {
    const int fd = Connect(to, SOCK_STREAM, error);
    if (fd < 0)
        return false;
    const std::string request = "GET / HTTP/1.0\r\nHost: dest\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        error = "send: " + ErrorText(errno);
        ::close(fd);
        return false;
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = "recv: " + ErrorText(errno);
        if (got <= 0)
            break;
        answer.append(buffer, size_t(got));
    }
    ::close(fd);
    return HttpAnswerOk(answer, error);
}

// Reads exactly n bytes (bounded by the socket's time-out); false when the
// stream ends or fails first.
bool ReadExact(int fd, char *buffer, size_t n) {
    for (size_t done = 0; done < n;) {
        const ssize_t got = ::recv(fd, buffer + done, n - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += size_t(got);
    }
    return true;
}

// One A query to server:53, over TCP (two length bytes before each
// message) or UDP.
std::string Resolve(const std::string &server, const std::string &name, bool tcp,
                    std::optional<std::string> &address) {
    const auto to = MakeAddress(server, 53);
    if (!to)
        return "error bad server address";
    std::string error;
    const int fd = Connect(*to, tcp ? SOCK_STREAM : SOCK_DGRAM, error);
    if (fd < 0)
        return "error " + error;
    const uint16_t id = uint16_t(::getpid());
    std::string query = VelmoraDns::BuildQuery(id, name, VelmoraDns::TypeA);
    if (tcp)
        query = std::string{char(query.size() >> 8), char(query.size() & 0xff)} + query;
    if (::send(fd, query.data(), query.size(), MSG_NOSIGNAL) < 0) {
        const int code = errno;
        ::close(fd);
        return "error " + ErrorText(code);
    }
    std::string result = "none";
    char buffer[1500];
    if (tcp) {
        char length[2];
        if (ReadExact(fd, length, 2)) {
            const size_t n = size_t(uint8_t(length[0]) << 8 | uint8_t(length[1]));
            if (n <= sizeof buffer && ReadExact(fd, buffer, n)) {
                address = VelmoraDns::FirstAddress(std::string(buffer, n), id);
                if (address)
                    result = *address;
            }
        }
    } else if (WaitFor(fd, POLLIN)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            result = "error " + ErrorText(errno);
        } else {
            address = VelmoraDns::FirstAddress(std::string(buffer, size_t(got)), id);
            if (address)
                result = *address;
        }
    }
    ::close(fd);
    return result;
}

std::string UdpProbe(const TAddress &to) {
    std::string error;
    const int fd = Connect(to, SOCK_DGRAM, error);
    if (fd < 0)
        return "error " + error;
    const char probe[] = "velmora udp probe";
    std::string result = "none";
    if (::send(fd, probe, sizeof probe, 0) < 0) {
        result = "error " + ErrorText(errno);
    } else if (WaitFor(fd, POLLIN)) {
        char buffer[256];
        result = ::recv(fd, buffer, sizeof buffer, 0) > 0 ? "reply" : "error " + ErrorText(errno);
    }
    ::close(fd);
    return result;
}

} // namespace

int main(int argc, char **argv) {
    const std::optional<TClientArgs> parsed = ParseClientArgs(argc, argv, true);
    if (!parsed)
        return 2;
    const TClientArgs &args = *parsed;

    if (args.Fds)
        std::printf("fds %s\n", OpenDescriptors().c_str());
    std::optional<std::string> answer;
    if (!args.DnsServer.empty())
        std::printf("dns %s\n",
                    Resolve(args.DnsServer, args.DnsName, args.DnsOverTcp, answer).c_str());

    int failures = 0;
    if (args.ConnectPort != 0)
        failures += ConnectStep(args.UseAnswer && answer ? *answer : args.ConnectAddress,
                                args.ConnectPort, args.Count, HttpGet);
    if (args.UdpPort != 0) {
        const auto to = MakeAddress(args.UdpAddress, args.UdpPort);
        std::printf("udp %s\n", to ? UdpProbe(*to).c_str() : "error bad address");
    }
    if (args.V6Port != 0)
        V6Step(args, HttpGet);
    return failures == 0 ? 0 : 1;
}
