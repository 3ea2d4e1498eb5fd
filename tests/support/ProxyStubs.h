#pragma once
// Many proxies on loopback for check batches of thousands: SOCKS 5, SOCKS 4
// and HTTP CONNECT stubs that answer the test page's GET themselves with a
// small 200 page (whatever the target), plus stubs that misbehave, all served
// by one thread with epoll; and a listener that never accepts, so that once
// its queue is full the SYNs sent to it are dropped (a dead proxy that does
// not even refuse). Header only: the benchmarks use it as well.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace VelmoraTest {

class TProxyStubs {
public:
    enum class TKind {
        Socks5,      // no authentication, any CONNECT, then the page
        Socks4,      // SOCKS 4 and 4a, then the page; anything else is closed
        Http,        // CONNECT, then the page; waits for a whole line before anything
        SlowSocks5,  // as Socks5, the page SlowMs late
        CloseAtOnce, // accepts and closes
        Silent,      // accepts, reads, never answers
        Trickle,     // as Socks5, then a page header and its body a byte every TrickleMs
        Endless,     // as Socks5, then a page header and a body without end, as fast as it goes
    };
    static constexpr TKind Kinds[] = {TKind::Socks5,     TKind::Socks4,      TKind::Http,
                                      TKind::SlowSocks5, TKind::CloseAtOnce, TKind::Silent,
                                      TKind::Trickle,    TKind::Endless};
    // What the hostile stubs send before their body.
    static constexpr const char *TrickleHeader =
        "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
    static constexpr const char *EndlessHeader = "HTTP/1.1 200 OK\r\n\r\n";
    static constexpr const char *Page = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                        "Content-Length: 9\r\nConnection: close\r\n\r\n127.0.0.1";

    explicit TProxyStubs(int slowMs = 300, int trickleMs = 2000)
        : FSlowMs(slowMs), FTrickleMs(trickleMs) {
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        Add(FWake, 0, EPOLLIN);
        for (TKind kind : Kinds) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
                ::listen(fd, 4096) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
                throw std::runtime_error("proxy stub: cannot listen");
            FListeners[fd] = kind;
            FPorts[int(kind)] = ntohs(address.sin_port);
            Add(fd, fd, EPOLLIN);
        }
        FThread = std::thread([this] { Loop(); });
    }
    ~TProxyStubs() {
        FStopping = true;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FWake, &one, sizeof one);
        FThread.join();
        for (auto &[fd, conn] : FConns)
            ::close(fd);
        for (auto &[fd, kind] : FListeners)
            ::close(fd);
        ::close(FWake);
        ::close(FEpoll);
    }
    TProxyStubs(const TProxyStubs &) = delete;
    TProxyStubs &operator=(const TProxyStubs &) = delete;

    uint16_t Port(TKind kind) const { return FPorts[int(kind)]; }
    // Pages sent, and connections accepted, over all stubs.
    int Pages() const { return FPages; }
    int Accepted() const { return FAccepted; }
    // Body bytes the tricklers sent, and the endless bodies' bytes.
    int64_t Trickled() const { return FTrickled; }
    int64_t Streamed() const { return FStreamed; }

private:
    struct TConn {
        TKind Kind = TKind::Silent;
        int Stage = 0;
        std::string In;
        int64_t PageAtMs = -1; // a slow page, or a trickler's next byte, waits until then
    };

    static int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Add(int fd, uint64_t key, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = key;
        ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &event);
    }
    void Close(int fd) {
        ::close(fd);
        FConns.erase(fd);
    }
    static void Send(int fd, const std::string &bytes) {
        [[maybe_unused]] ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void SendPage(int fd) {
        Send(fd, Page);
        ++FPages;
        Close(fd);
    }

    void Loop() {
        epoll_event events[256];
        while (!FStopping) {
            const int n = ::epoll_wait(FEpoll, events, 256, 10);
            for (int i = 0; i < n; ++i) {
                const int fd = int(events[i].data.u64);
                if (fd == 0)
                    continue;
                if (auto listener = FListeners.find(fd); listener != FListeners.end())
                    AcceptAll(fd, listener->second);
                else if (FConns.count(fd) && (events[i].events & EPOLLOUT))
                    Stream(fd);
                else if (FConns.count(fd))
                    Readable(fd);
            }
            const int64_t now = NowMs();
            std::vector<int> due;
            for (auto &[fd, conn] : FConns)
                if (conn.PageAtMs >= 0 && now >= conn.PageAtMs)
                    due.push_back(fd);
            for (int fd : due)
                Due(fd, now);
        }
    }

    void Due(int fd, int64_t now) {
        TConn &conn = FConns[fd];
        if (conn.Kind != TKind::Trickle)
            return SendPage(fd);
        if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1)
            return Close(fd); // the check has gone
        ++FTrickled;
        conn.PageAtMs = now + FTrickleMs;
    }
    // Keeps an endless body's socket full until the reader goes.
    void Stream(int fd) {
        static const std::string chunk(16 * 1024, 'y');
        for (;;) {
            const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n > 0) {
                FStreamed += n;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            return Close(fd);
        }
    }

    void AcceptAll(int listener, TKind kind) {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            ++FAccepted;
            if (kind == TKind::CloseAtOnce) {
                ::close(fd);
                continue;
            }
            TConn conn;
            conn.Kind = kind;
            FConns[fd] = std::move(conn);
            Add(fd, uint64_t(fd), EPOLLIN);
        }
    }

    void Readable(int fd) {
        TConn &conn = FConns[fd];
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return Close(fd);
            if (n < 0)
                break;
            if (conn.Kind != TKind::Silent)
                conn.In.append(buffer, size_t(n));
        }
        while (Step(fd, conn)) {
            if (!FConns.count(fd))
                return;
        }
    }

    // One step of the conversation when its bytes are all in; true to go on.
    bool Step(int fd, TConn &conn) {
        std::string &in = conn.In;
        const auto take = [&](size_t n) { in.erase(0, n); };
        const auto request = [&]() -> bool { // a whole header block
            const size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos)
                return false;
            take(end + 4);
            return true;
        };
        const bool socks5 = conn.Kind == TKind::Socks5 || conn.Kind == TKind::SlowSocks5 ||
                            conn.Kind == TKind::Trickle || conn.Kind == TKind::Endless;
        if (socks5 && conn.Stage == 0) {
            if (in.size() >= 1 && in[0] != 5) {
                Close(fd);
                return false;
            }
            if (in.size() < 2 || in.size() < 2 + size_t(uint8_t(in[1])))
                return false;
            take(2 + size_t(uint8_t(in[1])));
            Send(fd, std::string("\x05\x00", 2));
            conn.Stage = 1;
            return true;
        }
        if (socks5 && conn.Stage == 1) {
            if (in.size() < 5)
                return false;
            const uint8_t type = uint8_t(in[3]);
            const size_t size = type == 1 ? 10 : type == 4 ? 22 : 7 + size_t(uint8_t(in[4]));
            if (in.size() < size)
                return false;
            take(size);
            Send(fd, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
            conn.Stage = 2;
            return true;
        }
        if (conn.Kind == TKind::Socks4 && conn.Stage == 0) {
            if (in.size() >= 1 && in[0] != 4) {
                Close(fd);
                return false;
            }
            if (in.size() < 9)
                return false;
            size_t end = in.find('\0', 8);
            if (end == std::string::npos)
                return false;
            const bool withName = in[4] == 0 && in[5] == 0 && in[6] == 0 && in[7] != 0;
            if (withName && (end = in.find('\0', end + 1)) == std::string::npos)
                return false;
            take(end + 1);
            Send(fd, std::string("\x00\x5A\x00\x00\x00\x00\x00\x00", 8));
            conn.Stage = 2;
            return true;
        }
        if (conn.Kind == TKind::Http && conn.Stage == 0) {
            if (!request())
                return false;
            Send(fd, "HTTP/1.0 200 Connection established\r\n\r\n");
            conn.Stage = 2;
            return true;
        }
        if (conn.Stage == 2 && conn.PageAtMs < 0 && request()) {
            if (conn.Kind == TKind::SlowSocks5) {
                conn.PageAtMs = NowMs() + FSlowMs;
            } else if (conn.Kind == TKind::Trickle) {
                Send(fd, TrickleHeader);
                conn.PageAtMs = NowMs() + FTrickleMs;
            } else if (conn.Kind == TKind::Endless) {
                Send(fd, EndlessHeader);
                conn.Stage = 3;
                epoll_event event{};
                event.events = EPOLLOUT;
                event.data.u64 = uint64_t(fd);
                ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &event);
                Stream(fd);
            } else
                SendPage(fd);
            return false;
        }
        return false;
    }

    const int FSlowMs;
    const int FTrickleMs;
    int FEpoll = -1;
    int FWake = -1;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FPages{0};
    std::atomic<int> FAccepted{0};
    std::atomic<int64_t> FTrickled{0};
    std::atomic<int64_t> FStreamed{0};
    uint16_t FPorts[std::size(Kinds)] = {};
    std::map<int, TKind> FListeners;
    std::map<int, TConn> FConns;
    std::thread FThread;
};

// A listener on every address of the machine (0.0.0.0) that never accepts,
// with a queue of one that it fills itself: every connect to 127.x.y.z on its
// port then goes unanswered (the SYN is dropped) until the connect times out.
class TBlackHole {
public:
    TBlackHole() {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (::bind(FListen, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::listen(FListen, 1) != 0 ||
            ::getsockname(FListen, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("black hole: cannot listen");
        FPort = ntohs(address.sin_port);
        // Fill the queue: the connects that complete stay in it, never accepted.
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(FPort);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
            FFillers.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~TBlackHole() {
        for (int fd : FFillers)
            ::close(fd);
        ::close(FListen);
    }
    TBlackHole(const TBlackHole &) = delete;
    TBlackHole &operator=(const TBlackHole &) = delete;

    uint16_t Port() const { return FPort; }
    // The n-th address of 127.1.0.0/16 and on (n from 0): one per dead proxy.
    static std::string Address(int n) {
        return "127." + std::to_string(1 + n / 65536) + "." + std::to_string((n / 256) % 256) +
               "." + std::to_string(n % 256);
    }

private:
    int FListen = -1;
    uint16_t FPort = 0;
    std::vector<int> FFillers;
};

} // namespace VelmoraTest
