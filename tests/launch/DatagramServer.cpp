#include "tests/launch/DatagramServer.h"

#include "tests/support/Topology.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

int BindSocket(const std::string &address, uint16_t port, int type) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        throw std::runtime_error("not an address: " + address);
    }
    const int fd = ::socket(storage.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (storage.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) < 0 ||
        (type == SOCK_STREAM && ::listen(fd, 512) < 0)) {
        const int code = errno;
        ::close(fd);
        throw std::runtime_error("cannot bind " + address + ":" + std::to_string(port) + ": " +
                                 std::strerror(code));
    }
    return fd;
}

std::string AddressText(const void *address) {
    const auto *sa = static_cast<const sockaddr *>(address);
    char text[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &static_cast<const sockaddr_in *>(address)->sin_addr, text,
                    sizeof text);
    else if (sa->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &static_cast<const sockaddr_in6 *>(address)->sin6_addr, text,
                    sizeof text);
    return text;
}

TDatagramServer::TDatagramServer(const std::string &nsPath,
                                 const std::vector<std::string> &addresses, uint16_t port,
                                 TAnswer answer)
    : FAnswer(std::move(answer)) {
    try {
        for (const std::string &a : addresses)
            FSockets.push_back(
                TTopology::InNetwork(nsPath, [&] { return BindSocket(a, port, SOCK_DGRAM); }));
        if (::pipe2(FWake, O_CLOEXEC) < 0)
            throw std::runtime_error("pipe failed");
    } catch (...) {
        for (int fd : FSockets)
            ::close(fd);
        throw;
    }
    FThread = std::thread([this] { Serve(); });
}

TDatagramServer::~TDatagramServer() {
    if (FWake[1] >= 0)
        (void)::write(FWake[1], "x", 1);
    if (FThread.joinable())
        FThread.join();
    for (int fd : FSockets)
        ::close(fd);
    for (int fd : FWake)
        if (fd >= 0)
            ::close(fd);
}

std::vector<std::string> TDatagramServer::Senders() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSenders;
}

void TDatagramServer::Reset() {
    std::lock_guard<std::mutex> guard(FLock);
    FSenders.clear();
    FCount = 0;
}

void TDatagramServer::Serve() {
    std::vector<pollfd> fds;
    for (int fd : FSockets)
        fds.push_back({fd, POLLIN, 0});
    fds.push_back({FWake[0], POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds.back().revents != 0)
            return;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[2048];
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (got < 0)
                continue;
            {
                std::lock_guard<std::mutex> guard(FLock);
                FSenders.push_back(AddressText(&from));
                ++FCount;
            }
            if (!FAnswer)
                continue;
            const std::optional<std::string> reply = FAnswer(std::string(buffer, size_t(got)));
            if (reply)
                ::sendto(fds[i].fd, reply->data(), reply->size(), 0,
                         reinterpret_cast<sockaddr *>(&from), fromLength);
        }
    }
}

} // namespace VelmoraTest
