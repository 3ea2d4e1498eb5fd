#include "platform/UserSocket.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

bool Address(const std::string &path, sockaddr_un &address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

// This user, or root, who may do anything to this process anyway (a
// launch through sudo for this user).
bool SameUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           (peer.uid == ::geteuid() || peer.uid == 0);
}

} // namespace

std::string TUserSocketServer::PathOf(const std::string &name, uid_t owner) {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/velmora/" + name;
    // Root acting for a user finds the user's session folder.
    const std::string session = "/run/user/" + std::to_string(owner);
    struct stat st;
    if (owner != ::geteuid() && ::stat(session.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return session + "/velmora/" + name;
    return "/tmp/velmora-" + std::to_string(owner) + "/" + name;
}

std::string TUserSocketServer::FolderOf(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

std::string TUserSocketServer::FolderProblem(const std::string &folder, bool &absent, uid_t owner) {
    absent = false;
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0) {
        absent = errno == ENOENT;
        return absent
                   ? std::string()
                   : "The socket folder " + folder + " cannot be examined: " + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode) && st.st_uid == owner && (st.st_mode & 07777) == 0700)
        return {};
    const std::string what = S_ISLNK(st.st_mode)   ? "a symbolic link"
                             : S_ISDIR(st.st_mode) ? "a folder"
                                                   : "not a folder";
    return "The socket folder " + folder + " is not safe: it is " + what + " of uid " +
           std::to_string(st.st_uid) + " with mode " + Octal(st.st_mode) +
           ", not a folder of this user (uid " + std::to_string(owner) +
           ") with mode 0700; another user may have made it: remove it, or set XDG_RUNTIME_DIR";
}

TSocket TUserSocketServer::Connect(const std::string &path, int type, int &error,
                                   std::string &problem, uid_t owner) {
    problem.clear();
    sockaddr_un address;
    if (!Address(path, address)) {
        error = ENAMETOOLONG;
        return {};
    }
    // Nothing is sent to a socket another user could have put there.
    bool absent = false;
    problem = FolderProblem(FolderOf(path), absent, owner);
    if (absent || !problem.empty()) {
        error = absent ? ENOENT : EACCES;
        return {};
    }
    TSocket s(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!s.Valid() ||
        ::connect(s.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = errno;
        return {};
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(s.Fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != owner) {
        error = EACCES;
        problem = "The process serving " + path + " runs as uid " + std::to_string(peer.uid) +
                  " (process " + std::to_string(peer.pid) + "), not as this user (uid " +
                  std::to_string(owner) + "): nothing was sent to it";
        return {};
    }
    error = 0;
    return s;
}

TUserSocketServer::TUserSocketServer(int type, TServe serve)
    : FType(type), FServe(std::move(serve)) {}

TUserSocketServer::~TUserSocketServer() {
    Stop();
}

bool TUserSocketServer::Start(const std::string &path) {
    if (FAcceptor.joinable())
        return true;
    FProblem.clear();
    sockaddr_un address;
    if (!Address(path, address)) {
        FProblem = "The socket path " + path + " is too long";
        return false;
    }
    const std::string folder = FolderOf(path);
    const int made = ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
    bool absent = false;
    FProblem = FolderProblem(folder, absent);
    if (absent)
        FProblem = "The socket folder " + folder + " cannot be made: " + std::strerror(made);
    if (!FProblem.empty())
        return false;
    int error = 0;
    std::string problem;
    if (Connect(path, FType, error, problem).Valid() || !problem.empty()) {
        FProblem = problem.empty() ? "Another process serves " + path : problem;
        return false;
    }
    // Left behind by a run that ended without removing it: nobody listens.
    struct stat st;
    if (error == ECONNREFUSED && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    TSocket listener(::socket(AF_UNIX, FType | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listener.Fd(), 16) != 0 ||
        ::lstat(path.c_str(), &st) != 0) {
        FProblem = "The socket " + path + " cannot be opened: " + std::strerror(errno);
        return false;
    }
    FInode = st.st_ino;
    FChanged = st.st_ctim;
    FPath = path;
    FListener = std::move(listener);
    FStopping = false;
    FAcceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void TUserSocketServer::Stop() {
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
    // Only our own file: another instance may have replaced it meanwhile.
    struct stat st;
    if (::lstat(FPath.c_str(), &st) == 0 && st.st_ino == FInode &&
        st.st_ctim.tv_sec == FChanged.tv_sec && st.st_ctim.tv_nsec == FChanged.tv_nsec)
        ::unlink(FPath.c_str());
}

bool TUserSocketServer::Stopping() {
    std::lock_guard<std::mutex> guard(FLock);
    return FStopping;
}

void TUserSocketServer::AcceptLoop() {
    for (;;) {
        const int fd = ::accept4(FListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        TSocket client(fd);
        if (!SameUser(fd))
            continue; // closed unanswered
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return;
        // Threads of clients already served are joined here.
        for (auto it = FPeers.begin(); it != FPeers.end();) {
            if ((*it)->Done) {
                (*it)->Thread.join();
                it = FPeers.erase(it);
            } else {
                ++it;
            }
        }
        FPeers.push_back(std::make_unique<TPeer>());
        TPeer *peer = FPeers.back().get();
        peer->Socket = std::move(client);
        peer->Thread = std::thread([this, peer] {
            try {
                FServe(peer->Socket);
            } catch (...) {
            }
            std::lock_guard<std::mutex> done(FLock);
            peer->Socket.Close();
            peer->Done = true;
        });
    }
}
