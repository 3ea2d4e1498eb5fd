#include "engine/chain/LaunchHandOff.h"

#include "engine/chain/ChainManager.h"
#include "platform/FdPassing.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct TLaunchHandOff::TPeer {
    TSocket Socket;
    std::thread Thread;
};

namespace {

// The folder exists (made now if not), is a folder of this user's, not a
// link, and nobody else may enter it.
bool PrivateFolder(const std::string &folder) {
    ::mkdir(folder.c_str(), 0700);
    struct stat st;
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool Address(const std::string &path, sockaddr_un &address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

TSocket ConnectTo(const std::string &path) {
    sockaddr_un address;
    if (!Address(path, address))
        return {};
    TSocket s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!s.Valid() ||
        ::connect(s.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return {};
    return s;
}

bool SameUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::geteuid();
}

void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

} // namespace

std::string TLaunchHandOff::SocketPath() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtime && *runtime ? std::string(runtime) + "/velmora"
                                                 : "/tmp/velmora-" + std::to_string(::geteuid());
    return base + "/launch.sock";
}

TLaunchHandOff::TLaunchHandOff(TChainManager &manager) : FManager(manager) {}

TLaunchHandOff::~TLaunchHandOff() {
    Stop();
}

bool TLaunchHandOff::Start() {
    const std::string path = SocketPath();
    sockaddr_un address;
    if (!Address(path, address) || !PrivateFolder(path.substr(0, path.rfind('/'))))
        return false;
    if (ConnectTo(path).Valid())
        return false; // another instance serves it
    ::unlink(path.c_str());
    TSocket listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listener.Fd(), 16) != 0)
        return false;
    FPath = path;
    FListener = std::move(listener);
    FStopping = false;
    FAcceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void TLaunchHandOff::Stop() {
    if (!FAcceptor.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopping = true;
        FListener.ShutdownBoth();
        for (auto &peer : FPeers)
            peer->Socket.ShutdownBoth();
    }
    FAcceptor.join();
    for (auto &peer : FPeers)
        peer->Thread.join();
    FPeers.clear();
    FListener.Close();
    ::unlink(FPath.c_str());
}

void TLaunchHandOff::AcceptLoop() {
    for (;;) {
        const int fd = ::accept4(FListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        TSocket client(fd);
        if (!SameUser(fd))
            continue;
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return;
        FPeers.push_back(std::make_unique<TPeer>());
        TPeer *peer = FPeers.back().get();
        peer->Socket = std::move(client);
        peer->Thread = std::thread([this, peer] { Serve(peer); });
    }
}

void TLaunchHandOff::Serve(TPeer *peer) {
    try {
        std::string text;
        std::vector<int> fds;
        while (TFdPassing::Receive(peer->Socket.Fd(), text, fds)) {
            std::vector<TSocket> received;
            for (int fd : fds)
                received.emplace_back(fd);
            std::istringstream in(text);
            std::string word, host;
            unsigned chainPort = 0, port = 0;
            in >> word >> chainPort >> host >> port;
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

TSocket TLaunchHandOff::Connect() {
    return ConnectTo(SocketPath());
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
