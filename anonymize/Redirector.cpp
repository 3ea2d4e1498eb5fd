#include "anonymize/Redirector.h"

#include "engine/server/IdSocksServerContext.h"
#include "platform/Netfilter.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Where the program meant to go: the name behind a fake address, or the
// address itself (`port` in every case). False for a destination on the
// program's own loopback (a connection straight to a listener's port),
// which is never carried out.
bool Destination(const sockaddr_storage &original, const TFakeAddresses &addresses,
                 std::string &host, uint16_t &port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (original.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(original);
        const uint32_t ip = ntohl(a.sin_addr.s_addr);
        port = ntohs(a.sin_port);
        if (ip >> 24 == 127)
            return false;
        if (std::optional<std::string> name = addresses.NameOf(ip)) {
            host = *name;
            return true;
        }
        host = ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        return true;
    }
    const auto &a = reinterpret_cast<const sockaddr_in6 &>(original);
    port = ntohs(a.sin6_port);
    if (IN6_IS_ADDR_LOOPBACK(&a.sin6_addr))
        return false;
    host = ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    return true;
}

// Closes with a reset rather than an orderly end, so that the program sees
// a failed connection, not an empty answer.
void Reset(TSocket &socket) {
    linger hard{1, 0};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

} // namespace

TRedirector::TRedirector(TFakeAddresses &addresses)
    : FAddresses(addresses), FAnswerer(addresses),
      FThreads([this](TIdSocksServerContext &context) { Serve(context); }, [] {}) {}

TRedirector::~TRedirector() {
    Stop();
}

void TRedirector::Start(std::vector<TSocket> tcpListeners, std::vector<TSocket> udpSockets) {
    FUdp = std::move(udpSockets);
    FWake = ::eventfd(0, EFD_CLOEXEC);
    FUdpThread = std::thread([this] { AnswerDatagrams(); });
    TConnectionThreads::TSettings settings;
    settings.ListenBacklog = 128;
    FThreads.Adopt(std::move(tcpListeners), settings);
}

void TRedirector::Stop() {
    FThreads.Stop();
    if (FUdpThread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(FWake, &one, sizeof one);
        FUdpThread.join();
    }
    if (FWake >= 0)
        ::close(FWake);
    FWake = -1;
    FUdp.clear();
}

void TRedirector::Serve(TIdSocksServerContext &context) {
    TSocket &client = context.Connection();
    sockaddr_storage original;
    std::string host;
    uint16_t port = 0;
    if (!TNetfilter::OriginalDestination(client.Fd(), original))
        return;
    const bool away = Destination(original, FAddresses, host, port);
    // DNS over TCP is answered here whatever the address, the program's
    // own loopback (its resolv.conf's 127.0.0.1) included.
    if (port == 53) {
        ServeDnsOverTcp(client);
        return;
    }
    if (!away)
        return;
    if (Hand && Hand(client.Fd(), host, port))
        return;
    // Never relayed anywhere else: a port found answering is not the chain.
    Reset(client);
    if (OnFailure)
        OnFailure(host + ":" + std::to_string(port) + ": the chain did not take the connection");
}

void TRedirector::ServeDnsOverTcp(TSocket &client) {
    try {
        for (;;) {
            uint8_t length[2];
            if (client.ReadSome(length, 1) == 0)
                return;
            client.ReadExact(length + 1, 1);
            std::vector<uint8_t> query(static_cast<size_t>(length[0] << 8 | length[1]));
            client.ReadExact(query.data(), query.size());
            std::optional<std::vector<uint8_t>> answer =
                FAnswerer.Answer(query.data(), query.size());
            if (!answer)
                return;
            const uint8_t prefix[2] = {static_cast<uint8_t>(answer->size() >> 8),
                                       static_cast<uint8_t>(answer->size())};
            client.WriteAll(prefix, 2);
            client.WriteAll(answer->data(), answer->size());
        }
    } catch (const EVelmoraError &) {
        // the program went away mid-query
    }
}

void TRedirector::AnswerDatagrams() {
    std::vector<pollfd> fds;
    for (const TSocket &s : FUdp)
        fds.push_back({s.Fd(), POLLIN, 0});
    fds.push_back({FWake, POLLIN, 0});
    uint8_t buffer[4096];
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds.back().revents)
            return;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            sockaddr_storage from;
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n <= 0)
                continue;
            if (std::optional<std::vector<uint8_t>> answer =
                    FAnswerer.Answer(buffer, static_cast<size_t>(n)))
                ::sendto(fds[i].fd, answer->data(), answer->size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), fromLength);
        }
    }
}
