#include "tests/launch/IcmpCounter.h"

#include "tests/support/Topology.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

TIcmpCounter::TIcmpCounter(const std::string &nsPath) {
    FSocket = TTopology::InNetwork(
        nsPath, [] { return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP); });
    if (FSocket < 0)
        throw std::runtime_error(std::string("raw ICMP socket: ") + std::strerror(errno));
    if (::pipe2(FWake, O_CLOEXEC) < 0) {
        ::close(FSocket);
        throw std::runtime_error("pipe failed");
    }
    FThread = std::thread([this] { Serve(); });
}

TIcmpCounter::~TIcmpCounter() {
    (void)::write(FWake[1], "x", 1);
    FThread.join();
    ::close(FSocket);
    ::close(FWake[0]);
    ::close(FWake[1]);
}

void TIcmpCounter::Serve() {
    pollfd fds[2] = {{FSocket, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        unsigned char packet[2048];
        const ssize_t got = ::recv(FSocket, packet, sizeof packet, MSG_DONTWAIT);
        // The IPv4 header (its length in the low nibble, in 32-bit words),
        // then the ICMP type: 8 is an echo request.
        if (got < 20)
            continue;
        const size_t header = size_t(packet[0] & 0x0f) * 4;
        if (size_t(got) > header && packet[header] == 8)
            ++FCount;
    }
}

} // namespace VelmoraTest
