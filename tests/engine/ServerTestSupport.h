#pragma once
// Loopback plumbing shared by the relay and server tests: connected socket
// pairs, a small HTTP server, a receive-then-send server, outside programs
// (curl, proxychains4) run with a bounded wait, SOCKS client steps, and the
// thread count of this process.

#include "platform/Socket.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace servertest {

// Waits until `done` holds or `timeoutMs` passes; returns `done()`.
inline bool WaitFor(const std::function<bool()> &done, int timeoutMs = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline size_t ThreadCount() {
    size_t count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

// A TCP connection on loopback: both ends.
struct TSocketPair {
    TSocket Near;
    TSocket Far;
};

inline TSocketPair LoopbackPair() {
    TSocket listener = TSocket::Listen(TSocket::Family::IPv4, 0, 4);
    TSocketPair pair;
    pair.Near = TSocket::Connect("127.0.0.1", listener.LocalPort(), 5000);
    pair.Far = listener.Accept();
    return pair;
}

// A TCP connection from a chosen source address (bind before connect).
inline TSocket ConnectFrom(const std::string &source, uint16_t port) {
    TSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        throw ESocketError("bind failed", errno);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    if (::connect(s.Fd(), reinterpret_cast<sockaddr *>(&peer), sizeof peer) < 0)
        throw ESocketError("connect failed", errno);
    return s;
}

// Reads until end of stream (or `limit` bytes); bounded by timeoutMs per read.
inline std::string ReadAll(TSocket &s, size_t limit = SIZE_MAX, int timeoutMs = 20000) {
    std::string out;
    char buffer[65536];
    while (out.size() < limit) {
        if (!s.WaitReadable(timeoutMs))
            break;
        size_t got = 0;
        try {
            got = s.ReadSome(buffer, std::min(sizeof buffer, limit - out.size()));
        } catch (const ESocketError &) {
            break;
        }
        if (got == 0)
            break;
        out.append(buffer, got);
    }
    return out;
}

inline std::string ReadExactly(TSocket &s, size_t n, int timeoutMs = 10000) {
    return ReadAll(s, n, timeoutMs);
}

// Deterministic bytes of a given length.
inline std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &ch : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = static_cast<char>(x);
    }
    return out;
}

inline uint64_t Checksum(const std::string &data) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char ch : data)
        hash = (hash ^ ch) * 1099511628211ull;
    return hash;
}

// Runs `body(socket)` for every accepted client on a thread of its own, on
// 127.0.0.1 at a free port. Stop (or the destructor) shuts every client down
// and joins every thread.
class TLoopbackServer {
public:
    using TBody = std::function<void(TSocket &client)>;

    explicit TLoopbackServer(TBody body) : FBody(std::move(body)) {
        FListener = TSocket::Listen(TSocket::Family::IPv4, 0, 64);
        FPort = FListener.LocalPort();
        FAcceptor = std::thread([this] { AcceptLoop(); });
    }
    ~TLoopbackServer() { Stop(); }

    uint16_t Port() const { return FPort; }
    int Accepted() const { return FAccepted.load(); }

    void Stop() {
        if (!FAcceptor.joinable())
            return;
        FListener.ShutdownBoth();
        FAcceptor.join();
        {
            std::lock_guard<std::mutex> guard(FLock);
            FStopping = true;
            for (auto &client : FClients)
                client->ShutdownBoth();
        }
        for (auto &t : FThreads)
            t.join();
    }

private:
    void AcceptLoop() {
        for (;;) {
            TSocket client = FListener.Accept();
            if (!client.Valid())
                return;
            ++FAccepted;
            std::lock_guard<std::mutex> guard(FLock);
            FClients.push_back(std::make_unique<TSocket>(std::move(client)));
            TSocket *raw = FClients.back().get();
            FThreads.emplace_back([this, raw] {
                try {
                    FBody(*raw);
                } catch (const std::exception &) {
                }
                std::lock_guard<std::mutex> guard(FLock);
                raw->Close();
            });
        }
    }

    TBody FBody;
    TSocket FListener;
    uint16_t FPort = 0;
    std::thread FAcceptor;
    std::mutex FLock;
    bool FStopping = false;
    std::list<std::unique_ptr<TSocket>> FClients;
    std::vector<std::thread> FThreads;
    std::atomic<int> FAccepted{0};
};

// A minimal HTTP/1.0 server: reads the request head and answers "200 OK"
// with the body that `page` gives for the request's path, then closes its
// side and waits (bounded) for the client to close.
using TPage = std::function<std::string(const std::string &path)>;

inline TLoopbackServer::TBody HttpPageBody(TPage page) {
    return [page = std::move(page)](TSocket &client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const size_t got = client.ReadSome(buffer, sizeof buffer);
            if (got == 0)
                return;
            request.append(buffer, got);
        }
        // "GET /path HTTP/1.1": the path is the second word.
        const size_t from = request.find(' ') + 1;
        const std::string path = request.substr(from, request.find(' ', from) - from);
        const std::string body = page(path);
        client.WriteAll("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
        client.WriteAll(body);
        client.ShutdownWrite();
        ReadAll(client, SIZE_MAX, 5000); // until the client closes
    };
}

// The same body for every path.
inline TLoopbackServer::TBody HttpPageBody(const std::string &body) {
    return HttpPageBody([body](const std::string &) { return body; });
}

// "/big" answers 3 MB of pattern bytes, every other path "hello from the
// loopback server".
inline std::string BigBody() {
    return Pattern(3 * 1024 * 1024, 7);
}

inline TLoopbackServer::TBody HttpBody() {
    return HttpPageBody([](const std::string &path) {
        return path == "/big" ? BigBody() : std::string("hello from the loopback server");
    });
}

// Receives until end of stream, then sends back `replySize` pattern bytes
// followed by the checksum of what it received (as 16 hex digits), and closes.
inline TLoopbackServer::TBody ReceiveThenSendBody(size_t replySize) {
    return [replySize](TSocket &client) {
        const std::string got = ReadAll(client, SIZE_MAX, 30000);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Checksum(got)));
        client.WriteAll(Pattern(replySize, 3) + hex);
        client.ShutdownWrite();
    };
}

struct TRunResult {
    int ExitCode = -1;
    bool Finished = false;
    std::string Out;
    std::string Err;
};

// Runs an outside program (found in PATH) with its output captured; a program
// still running after timeoutMs is killed by its PID. posix_spawn, not fork:
// the thread sanitizer refuses a fork of a threaded process.
inline TRunResult RunProgram(const std::vector<std::string> &args, int timeoutMs = 30000) {
    TRunResult result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) < 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t pipeDefault;
    sigemptyset(&pipeDefault);
    sigaddset(&pipeDefault, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &pipeDefault);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        result.Err = std::string("cannot start ") + args[0] + ": " + std::strerror(rc);
        return result;
    }

    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.Out, &result.Err};
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            ::close(p.fd);
    if (timedOut)
        ::kill(-pid, SIGKILL);
    int status = 0;
    // Both outputs have ended: the program is exiting (or was killed).
    for (int i = 0; i < 500; ++i) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.Finished = !timedOut;
            result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return result;
        }
        if (i == 400)
            ::kill(-pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return result;
}

// Bytes from small numbers, for hand-made protocol messages.
inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A port in network byte order.
inline std::string Port16(uint16_t port) {
    return Bytes({port >> 8, port & 0xff});
}

// SOCKS 5 greeting (no authentication) and a request for 127.0.0.1:port,
// sent together.
inline std::string Socks5ToLoopback(uint8_t command, uint16_t port) {
    return Bytes({5, 1, 0, 5, command, 0, 1, 127, 0, 0, 1}) + Port16(port);
}

// SOCKS 5 CONNECT to 127.0.0.1:destPort through the SOCKS server `s` is
// connected to, step by step; returns the reply code. The socket stays open
// for the tunnel.
inline int Socks5Connect(TSocket &s, uint16_t destPort) {
    const unsigned char greet[] = {5, 1, 0};
    s.WriteAll(greet, sizeof greet);
    unsigned char method[2];
    s.ReadExact(method, 2);
    const std::string request = Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Port16(destPort);
    s.WriteAll(request);
    unsigned char reply[10];
    s.ReadExact(reply, 10);
    return reply[1];
}

// A port nobody listens on right now (on 127.0.0.1).
inline uint16_t FreePort() {
    TSocket probe = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    return probe.LocalPort();
}

} // namespace servertest
