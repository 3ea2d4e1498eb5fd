#include "tests/common/Peers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace VelmoraTest {

namespace {

using Clock = std::chrono::steady_clock;

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

std::string MakeFolder() {
    char tmpl[] = "/tmp/velmora-peer-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("cannot create a temporary folder");
    // Peers that drop their privileges (danted as root) still write here.
    ::chmod(tmpl, 0777);
    return tmpl;
}

void RemoveFolder(const std::string &folder) {
    if (folder.empty())
        return;
    // Only the files this helper made: configuration, log and pid files.
    for (const char *name : {"peer.conf", "peer.log", "peer.pid"})
        ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
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
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (TryConnect(port, 200))
            return true;
        ::usleep(20 * 1000);
    }
    return false;
}

bool ProgramAvailable(const std::string &program) {
    std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
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

bool SendAll(int fd, const char *data, size_t size) {
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

TThreadedListener::TThreadedListener(std::function<void(int fd)> serve, int backlog)
    : FServe(std::move(serve)) {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::listen(FListenFd, backlog) < 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        if (FListenFd >= 0)
            ::close(FListenFd);
        throw std::runtime_error("loopback server: cannot listen");
    }
    FPort = ntohs(a.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

TThreadedListener::~TThreadedListener() {
    FStopping = true;
    ::shutdown(FListenFd, SHUT_RDWR);
    FAcceptThread.join();
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (int fd : FClientFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : FClientThreads)
        t.join();
    for (int fd : FClientFds)
        ::close(fd);
    ::close(FListenFd);
}

void TThreadedListener::AcceptLoop() {
    while (!FStopping) {
        const int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping) {
            ::close(fd);
            return;
        }
        ++FConnections;
        FClientFds.push_back(fd);
        FClientThreads.emplace_back([this, fd] { FServe(fd); });
    }
}

TPeerProcess::TPeerProcess() : FFolder(MakeFolder()), FLogFile(FFolder + "/peer.log") {}

TPeerProcess::~TPeerProcess() {
    Stop();
    RemoveFolder(FFolder);
}

std::string TPeerProcess::ReadLog() const {
    std::ifstream in(FLogFile);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void TPeerProcess::WriteFile(const std::string &path, const std::string &text) const {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool TPeerProcess::Running() {
    if (FPid <= 0)
        return false;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return false;
    }
    return true;
}

void TPeerProcess::Start(const std::function<std::vector<std::string>(uint16_t)> &makeArgs) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = FreeLoopbackPort();
        if (Launch(makeArgs(port), port))
            return;
        Stop();
    }
    throw std::runtime_error("peer did not start; its log:\n" + ReadLog());
}

bool TPeerProcess::Launch(const std::vector<std::string> &args, uint16_t port) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, FLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0666);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0); // own group: its workers stop with it
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(rc));
    FPid = pid;
    FPort = port;

    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (!Running())
            return false;
        if (TryConnect(port, 200))
            return true;
        ::usleep(20 * 1000);
    }
    return false;
}

void TPeerProcess::Stop() {
    if (FPid <= 0)
        return;
    const pid_t pid = FPid;
    ::kill(-pid, SIGTERM); // the peer's own process group (its pid)
    ::kill(pid, SIGTERM);
    const auto end = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (Clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            FPid = -1;
            ::kill(-pid, SIGKILL); // workers that outlived it
            return;
        }
        ::usleep(10 * 1000);
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FPid = -1;
}

TMicrosocksPeer::TMicrosocksPeer() {
    Start([](uint16_t port) {
        return std::vector<std::string>{"microsocks", "-i", "127.0.0.1", "-p",
                                        std::to_string(port)};
    });
}

TTinyproxyPeer::TTinyproxyPeer() {
    const std::string conf = Folder() + "/peer.conf";
    Start([&](uint16_t port) {
        WriteFile(conf, "Port " + std::to_string(port) +
                            "\n"
                            "Listen 127.0.0.1\n"
                            "Timeout 600\n"
                            "Allow 127.0.0.1\n"
                            "LogLevel Connect\n"
                            "MaxClients 200\n");
        return std::vector<std::string>{"tinyproxy", "-d", "-c", conf};
    });
}

TDantePeer::TDantePeer()
    : TDantePeer("client pass {\n"
                 "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                 "    log: connect error\n"
                 "}\n"
                 "socks pass {\n"
                 "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                 "    log: connect error\n"
                 "}\n") {}

TDantePeer::TDantePeer(const std::string &rules) {
    const std::string conf = Folder() + "/peer.conf";
    const std::string pidFile = Folder() + "/peer.pid";
    const std::string users = ::geteuid() == 0 ? "user.privileged: root\n"
                                                 "user.unprivileged: nobody\n"
                                               : "";
    Start([&](uint16_t port) {
        WriteFile(conf, "logoutput: stderr\n"
                        "internal: 127.0.0.1 port = " +
                            std::to_string(port) +
                            "\n"
                            "external: 127.0.0.1\n"
                            "clientmethod: none\n"
                            "socksmethod: none\n" +
                            users + rules);
        return std::vector<std::string>{"danted", "-f", conf, "-p", pidFile};
    });
}

TEchoServer::TEchoServer() : FListener(&TEchoServer::Serve) {}

void TEchoServer::Serve(int fd) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::shutdown(fd, SHUT_WR);
            return;
        }
        if (!SendAll(fd, buffer.data(), size_t(got)))
            return;
    }
}

} // namespace VelmoraTest
