// Flood driver of bench/run: many connections opened at once to a chain's
// port that never send a byte, then one client that speaks, timed until it
// is served. The program under test is measured from the outside.
//
//   flood_bench --port PORT --pid PID [--count N]
//       starts N connects to 127.0.0.1:PORT at once (non-blocking, nothing
//       ever sent on them), then at once one client: a SOCKS 5 CONNECT
//       through the same port to an echo listener of this process, and a
//       byte there and back. Prints served_ms (from the client's socket()
//       until its byte came back), opened (flood connections the kernel
//       completed), peak_threads and peak_rss_kib of process PID, sampled
//       every 2 ms from before the flood until a second after the client
//       was served (or gave up).
#include "BenchNet.h"

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace benchnet;

namespace {

size_t Threads(pid_t pid) {
    size_t n = 0;
    if (DIR *dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent *e = ::readdir(dir))
            n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

size_t ResidentKiB(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// Answers every connection with the byte it sends, then closes it.
void Echo(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        char byte;
        if (::recv(fd, &byte, 1, 0) == 1)
            WriteAll(fd, &byte, 1);
        ::close(fd);
    }
}

// One connect started without waiting for it; -1 when no socket was had.
int StartConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connections of the flood that completed within the bound.
size_t Completed(std::vector<int> &fds, int boundMs) {
    std::vector<pollfd> set;
    for (int fd : fds)
        set.push_back({fd, POLLOUT, 0});
    size_t done = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(boundMs);
    while (done < set.size() && Clock::now() < end) {
        if (::poll(set.data(), set.size(), 100) <= 0)
            continue;
        for (pollfd &p : set)
            if (p.fd >= 0 && p.revents) {
                int error = 0;
                socklen_t len = sizeof error;
                ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &len);
                done += error == 0;
                p.fd = -1;
            }
    }
    return done;
}

} // namespace

int main(int argc, char **argv) {
    uint16_t port = 0;
    pid_t pid = 0;
    size_t count = 5000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--port")
            port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        else if (a == "--pid")
            pid = std::atoi(argv[i + 1]);
        else if (a == "--count")
            count = std::strtoul(argv[i + 1], nullptr, 10);
        else
            Fail("unknown option " + a);
    }
    if (!port || !pid)
        Fail("usage: flood_bench --port PORT --pid PID [--count N]");
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    uint16_t echoPort = 0;
    const int echo = ListenLoopback(16, echoPort);
    std::thread echoThread(Echo, echo);

    std::atomic<bool> sampling{true};
    size_t peakThreads = Threads(pid), peakRss = ResidentKiB(pid);
    std::thread sampler([&] {
        while (sampling) {
            peakThreads = std::max(peakThreads, Threads(pid));
            peakRss = std::max(peakRss, ResidentKiB(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    std::vector<int> flood;
    for (size_t i = 0; i < count; ++i)
        if (const int fd = StartConnect(port); fd >= 0)
            flood.push_back(fd);

    // The client behind them, at once.
    const auto start = Clock::now();
    bool served = false;
    if (const int fd = Socks5Connect(port, echoPort); fd >= 0) {
        timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char byte = 'x';
        served = WriteAll(fd, &byte, 1) && ReadExact(fd, &byte, 1) && byte == 'x';
        ::close(fd);
    }
    const double servedMs = Since(start, Clock::now()) * 1000;
    const size_t opened = Completed(flood, 5000);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sampling = false;
    sampler.join();
    for (int fd : flood)
        ::close(fd);
    ::shutdown(echo, SHUT_RDWR);
    echoThread.join();
    ::close(echo);
    if (!served)
        Fail("the client behind the flood was not served");
    std::printf("served_ms=%.1f opened=%zu peak_threads=%zu peak_rss_kib=%zu\n", servedMs, opened,
                peakThreads, peakRss);
    return 0;
}
