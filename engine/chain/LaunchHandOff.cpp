#include "engine/chain/LaunchHandOff.h"

#include "engine/chain/ChainManager.h"
#include "platform/FdPassing.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

} // namespace

std::string TLaunchHandOff::SocketPath(uid_t owner) {
    return TUserSocketServer::PathOf("launch.sock", owner);
}

TLaunchHandOff::TLaunchHandOff(TChainManager &manager)
    : FManager(manager), FServer(SOCK_SEQPACKET, [this](TSocket &client) { Serve(client); }) {}

TLaunchHandOff::~TLaunchHandOff() {
    Stop();
}

bool TLaunchHandOff::Start() {
    return FServer.Start(SocketPath());
}

void TLaunchHandOff::Stop() {
    FServer.Stop();
}

void TLaunchHandOff::Serve(TSocket &client) {
    try {
        std::string text;
        std::vector<int> fds;
        while (TFdPassing::Receive(client.Fd(), text, fds)) {
            std::vector<TSocket> received;
            for (int fd : fds)
                received.emplace_back(fd);
            std::istringstream in(text);
            std::string word, host;
            unsigned chainPort = 0, port = 0;
            in >> word >> chainPort;
            if (word == "chain" && in && received.empty()) {
                const std::string state = ChainRuns(chainPort) ? "runs " : "stopped ";
                TFdPassing::Send(client.Fd(), state + std::to_string(chainPort), {});
                continue;
            }
            in >> host >> port;
            if (word != "connect" || received.size() != 1 || !in || chainPort > 65535 ||
                port > 65535)
                continue;
            // A reference of our own, to reset the connection when no chain
            // takes it (the program then sees a failed connection).
            TSocket keep(::fcntl(received.front().Fd(), F_DUPFD_CLOEXEC, 0));
            if (!FManager.HandConnection(static_cast<uint16_t>(chainPort),
                                         std::move(received.front()), host,
                                         static_cast<uint16_t>(port)) &&
                keep.Valid())
                Reset(keep.Fd());
        }
    } catch (const EVelmoraError &) {
        // the launcher went away
    }
}

bool TLaunchHandOff::ChainRuns(unsigned port) const {
    for (const auto &chain : FManager.Chains())
        if (chain->Active() && chain->Port() == port)
            return true;
    return false;
}

TSocket TLaunchHandOff::Connect(std::string &problem, uid_t owner) {
    int error = 0;
    return TUserSocketServer::Connect(SocketPath(owner), SOCK_SEQPACKET, error, problem, owner);
}

bool TLaunchHandOff::ChainRunsAt(int socket, uint16_t chainPort, int timeoutMs) {
    try {
        TFdPassing::Send(socket, "chain " + std::to_string(chainPort), {});
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) <= 0)
            return false;
        std::string answer;
        std::vector<int> fds;
        const bool got = TFdPassing::Receive(socket, answer, fds);
        for (int fd : fds)
            ::close(fd);
        return got && answer == "runs " + std::to_string(chainPort);
    } catch (const EVelmoraError &) {
        return false;
    }
}

bool TLaunchHandOff::Send(int socket, uint16_t chainPort, const std::string &host, uint16_t port,
                          int fd) {
    try {
        TFdPassing::Send(
            socket,
            "connect " + std::to_string(chainPort) + " " + host + " " + std::to_string(port), {fd});
        return true;
    } catch (const EVelmoraError &) {
        return false;
    }
}
