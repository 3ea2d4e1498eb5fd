// Traffic driver of bench/run: the client and the sink of every relay
// measurement, in a process of its own, so that the relay under test (the
// real program, or a reference proxy) is measured alone from the outside.
// Each mode prints one line of key=value pairs; bench/run takes the medians
// and builds the table.
//
//   traffic_bench ports N
//       N free TCP ports on 127.0.0.1, one per line.
//   traffic_bench wait PORT|ADDRESS:PORT [MS]
//       exits 0 once 127.0.0.1:PORT (or ADDRESS:PORT) accepts connections
//       (default bound 10 s).
//   traffic_bench setup FOLDER PLAIN SELF_CHAIN REAL_CHAIN MICROSOCKS TINYPROXY DANTE
//       a data folder with four proxies marked OK (127.0.0.1:PLAIN SOCKS 5,
//       microsocks SOCKS 5, tinyproxy HTTP, dante SOCKS 5) and two chains:
//       "Self" on SELF_CHAIN through the first, "Real" on REAL_CHAIN through
//       the other three in that order.
//   traffic_bench push [--socks PORT] [--to ADDRESS:PORT] [--seconds S]
//                      [--pid PID]... [--ancestor N] [--pgrp PGID]
//       one connection to a sink of this process, straight (a connect() that
//       proxychains4 or a velmora run namespace may take over) or by a SOCKS 5
//       CONNECT through PORT; bytes pushed for S seconds, then a half-close.
//       Prints the throughput seen by the sink and the CPU the watched
//       process(es) used meanwhile. With --to the sink is a `sink` process at
//       ADDRESS:PORT instead, which reports the bytes it received when the
//       stream has ended; the time runs from the first write to that report.
//       Every --pid adds a process to watch; --ancestor N adds the N-th
//       ancestor of this process (under velmora run, 2 is the launcher).
//   traffic_bench setup-time [--socks PORT] [--to ADDRESS:PORT] [--count N]
//       N connections one after another (after a few unmeasured ones), each
//       closed as soon as it is usable; prints the median set-up time. With
//       --to, to a `sink` process, and each connection counts as usable when
//       the sink's first byte has arrived.
//   traffic_bench sink --listen ADDRESS:PORT
//       serves until it is stopped: every connection gets one byte at once,
//       is read to its end, then gets "received=BYTES" and is closed.
//   traffic_bench start-time [--count N] -- PROGRAM [ARGS...]
//       runs the program N times one after another (after two unmeasured
//       runs), its output to /dev/null (its errors go on to ours); prints the
//       median time from the start to its end.
//   traffic_bench hold --socks PORT --count N [--idle S] [--pid PID | --pgrp PGID]
//       opens N tunnels and keeps them open; prints the resident memory the
//       watched process(es) gained, then their CPU time and context switches
//       over S idle seconds.
#include "BenchNet.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace benchnet;

// What a `sink` process sends every connection as soon as it has accepted it.
constexpr char SinkHello = 'S';

int OpenTunnel(uint16_t socksPort, uint16_t sinkPort) {
    return socksPort ? Socks5Connect(socksPort, sinkPort) : ConnectLoopback(sinkPort);
}

int OpenTunnelTo(uint16_t socksPort, const sockaddr_in &to) {
    return socksPort ? Socks5ConnectTo(socksPort, to) : ConnectTo(to);
}

// ---- what the watched process(es) use, from /proc ----

double OwnCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TProcStat {
    long Ppid = 0;
    long Pgrp = 0;
    double CpuTicks = 0; // utime + stime + cutime + cstime
    long RssPages = 0;
};

bool ReadStat(const std::string &pidDir, TProcStat &out) {
    std::ifstream in(pidDir + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> f;
    std::string word;
    while (fields >> word)
        f.push_back(word);
    // f[0] is field 3 (state): field n is f[n - 3].
    if (f.size() < 22)
        return false;
    out.Ppid = std::atol(f[4 - 3].c_str());
    out.Pgrp = std::atol(f[5 - 3].c_str());
    out.CpuTicks = std::atof(f[14 - 3].c_str()) + std::atof(f[15 - 3].c_str()) +
                   std::atof(f[16 - 3].c_str()) + std::atof(f[17 - 3].c_str());
    out.RssPages = std::atol(f[24 - 3].c_str());
    return true;
}

// The processes watched: some PIDs, or every process of a process group
// (dante forks its workers into its own group).
struct TWatched {
    std::vector<long> Pids;
    long Pgrp = 0;

    bool Any() const { return !Pids.empty() || Pgrp > 0; }

    std::vector<std::string> Dirs() const {
        std::vector<std::string> dirs;
        if (!Pids.empty()) {
            for (long pid : Pids)
                dirs.push_back("/proc/" + std::to_string(pid));
            return dirs;
        }
        if (Pgrp <= 0)
            return dirs;
        DIR *proc = ::opendir("/proc");
        while (dirent *e = proc ? ::readdir(proc) : nullptr) {
            if (e->d_name[0] < '1' || e->d_name[0] > '9')
                continue;
            const std::string dir = std::string("/proc/") + e->d_name;
            TProcStat s;
            if (ReadStat(dir, s) && s.Pgrp == Pgrp)
                dirs.push_back(dir);
        }
        if (proc)
            ::closedir(proc);
        return dirs;
    }

    // CPU seconds of the whole process(es), exited threads included.
    double CpuSeconds() const {
        static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
        double sum = 0;
        for (const std::string &dir : Dirs()) {
            TProcStat s;
            if (ReadStat(dir, s))
                sum += s.CpuTicks;
        }
        return sum / ticks;
    }

    long ResidentKiB() const {
        static const long page = ::sysconf(_SC_PAGESIZE) / 1024;
        long sum = 0;
        for (const std::string &dir : Dirs()) {
            TProcStat s;
            if (ReadStat(dir, s))
                sum += s.RssPages * page;
        }
        return sum;
    }

    // Nanoseconds on a CPU and context switches of every live thread: finer
    // than the tick counts, for measuring an idle process.
    void Threads(double &cpuNs, double &switches, long &threads) const {
        cpuNs = switches = 0;
        threads = 0;
        for (const std::string &dir : Dirs()) {
            DIR *tasks = ::opendir((dir + "/task").c_str());
            while (dirent *e = tasks ? ::readdir(tasks) : nullptr) {
                if (e->d_name[0] == '.')
                    continue;
                const std::string task = dir + "/task/" + e->d_name;
                std::ifstream sched(task + "/schedstat");
                double ns = 0;
                if (sched >> ns)
                    cpuNs += ns;
                std::ifstream status(task + "/status");
                std::string line;
                while (std::getline(status, line)) {
                    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                        switches += std::atof(line.substr(line.find(':') + 1).c_str());
                }
                ++threads;
            }
            if (tasks)
                ::closedir(tasks);
        }
    }
};

// The N-th ancestor of this process (1: the parent); 0 when there is none.
long Ancestor(int n) {
    long pid = ::getpid();
    for (int i = 0; i < n && pid > 1; ++i) {
        TProcStat s;
        if (!ReadStat("/proc/" + std::to_string(pid), s))
            return 0;
        pid = s.Ppid;
    }
    return pid > 1 ? pid : 0;
}

struct TOptions {
    uint16_t Socks = 0;
    bool HasTo = false; // --to: a `sink` process elsewhere
    sockaddr_in To{};
    std::vector<std::string> Program; // after "--"
    double Seconds = 3;
    int Count = 300;
    double Idle = 10;
    size_t Block = 128 * 1024;
    TWatched Watched;
};

TOptions ParseOptions(int argc, char **argv, int first) {
    TOptions o;
    for (int i = first; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            o.Program.assign(argv + i + 1, argv + argc);
            break;
        }
        if (i + 1 >= argc)
            Fail("missing value after " + a);
        const char *v = argv[++i];
        if (a == "--socks")
            o.Socks = static_cast<uint16_t>(std::atoi(v));
        else if (a == "--seconds")
            o.Seconds = std::atof(v);
        else if (a == "--count")
            o.Count = std::atoi(v);
        else if (a == "--block")
            o.Block = static_cast<size_t>(std::atol(v));
        else if (a == "--idle")
            o.Idle = std::atof(v);
        else if (a == "--to") {
            o.To = ParseAddress(v);
            o.HasTo = true;
        } else if (a == "--listen")
            o.To = ParseAddress(v);
        else if (a == "--pid")
            o.Watched.Pids.push_back(std::atol(v));
        else if (a == "--ancestor") {
            const long pid = Ancestor(std::atoi(v));
            if (pid <= 0)
                Fail(std::string("no ancestor ") + v);
            o.Watched.Pids.push_back(pid);
        } else if (a == "--pgrp")
            o.Watched.Pgrp = std::atol(v);
        else
            Fail("unknown option " + a);
    }
    return o;
}

// Prints the median, mean and 90th percentile of the times in ms, with the
// count and the failures; fails with `none` when there is no time.
int PrintTimes(std::vector<double> &ms, int failures, const char *none) {
    if (ms.empty())
        Fail(none);
    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double v : ms)
        mean += v;
    mean /= static_cast<double>(ms.size());
    std::printf("median_ms=%.4f mean_ms=%.4f p90_ms=%.4f min_ms=%.4f count=%zu failures=%d\n",
                ms[ms.size() / 2], mean, ms[ms.size() * 9 / 10], ms.front(), ms.size(), failures);
    return failures ? 1 : 0;
}

// ---- modes ----

// The pushing side of `push`: blocks written into `fd` for o.Seconds, then
// a half-close.
struct TPush {
    Clock::time_point Start;
    uint64_t Sent = 0;
    // CPU seconds of the watched process(es) and of this one: at the start,
    // and after StopCpu what they used since.
    double Cpu = 0, Own = 0;
};

TPush PushFor(const TOptions &o, int fd) {
    TPush p;
    p.Cpu = o.Watched.CpuSeconds();
    p.Own = OwnCpuSeconds();
    p.Start = Clock::now();
    std::vector<char> chunk(o.Block, 'x');
    while (Since(p.Start, Clock::now()) < o.Seconds) {
        if (!WriteAll(fd, chunk.data(), chunk.size()))
            break;
        p.Sent += chunk.size();
    }
    ::shutdown(fd, SHUT_WR);
    return p;
}

void StopCpu(const TOptions &o, TPush &p) {
    p.Cpu = o.Watched.Any() ? o.Watched.CpuSeconds() - p.Cpu : 0;
    p.Own = OwnCpuSeconds() - p.Own;
}

// The line of `push` up to its end (the caller adds what follows and the
// line break); 0 when every byte sent was received.
int PrintPush(const TPush &p, uint64_t received, Clock::time_point ended) {
    const double seconds = Since(p.Start, ended);
    const double gb = static_cast<double>(received) / 1e9;
    std::printf("gbits=%.3f bytes=%llu sent=%llu seconds=%.3f cpu=%.3f cpu_per_gb=%.4f "
                "driver_cpu_per_gb=%.4f",
                gb * 8 / seconds, static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(p.Sent), seconds, p.Cpu, gb > 0 ? p.Cpu / gb : 0.0,
                gb > 0 ? p.Own / gb : 0.0);
    return received == p.Sent ? 0 : 1;
}

// Push to a `sink` process: the same stream, the end seen from the sink's
// report.
int PushTo(const TOptions &o) {
    const int fd = OpenTunnelTo(o.Socks, o.To);
    if (fd < 0)
        SysFail("no tunnel to the sink");
    TPush p = PushFor(o, fd);
    std::string report;
    pollfd readable{fd, POLLIN, 0};
    char buffer[256];
    ssize_t got = 0;
    while (::poll(&readable, 1, 30000) == 1 && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        report.append(buffer, static_cast<size_t>(got));
    const Clock::time_point ended = Clock::now();
    StopCpu(o, p);
    ::close(fd);
    const size_t at = report.find("received=");
    if (at == std::string::npos)
        Fail("the sink sent no report (" + std::to_string(p.Sent) + " bytes sent)");
    const uint64_t received = std::strtoull(report.c_str() + at + 9, nullptr, 10);
    const int status = PrintPush(p, received, ended);
    std::printf("\n");
    return status;
}

int Push(const TOptions &o) {
    if (o.HasTo)
        return PushTo(o);
    uint16_t sinkPort = 0;
    const int listener = ListenLoopback(16, sinkPort);
    uint64_t received = 0;
    Clock::time_point lastByte{}, ended{};
    std::thread sink([&] {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        std::vector<char> buffer(o.Block);
        for (;;) {
            const ssize_t got = ::recv(c, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            received += static_cast<uint64_t>(got);
            lastByte = Clock::now();
        }
        ended = Clock::now();
        ::close(c);
    });

    const int fd = OpenTunnel(o.Socks, sinkPort);
    if (fd < 0) {
        ::shutdown(listener, SHUT_RDWR);
        sink.join();
        SysFail("no tunnel to the sink");
    }
    TPush p = PushFor(o, fd);
    // The far end's close comes back through the relay (bounded wait).
    pollfd readable{fd, POLLIN, 0};
    char dummy[4096];
    while (::poll(&readable, 1, 30000) == 1 && ::recv(fd, dummy, sizeof dummy, 0) > 0)
        ;
    sink.join();
    StopCpu(o, p);
    ::close(fd);
    ::close(listener);
    const int status = PrintPush(p, received, ended);
    std::printf(" end_ms=%.2f\n", Since(lastByte, ended) * 1000);
    return status;
}

// Accepts on `listener` until it is shut down, handing each connection to
// `take`.
template <class TTake> void AcceptUntilShutDown(int listener, TTake take) {
    for (;;) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // shut down
        }
        take(c);
    }
}

// Set-up times to a `sink` process: from socket() until the sink's first
// byte has arrived, so that a tunnel that only looks open counts in full.
int SetupTimeTo(const TOptions &o) {
    constexpr int warmUp = 20;
    std::vector<double> ms;
    int failures = 0;
    for (int i = 0; i < warmUp + o.Count; ++i) {
        const Clock::time_point t0 = Clock::now();
        const int fd = OpenTunnelTo(o.Socks, o.To);
        char hello = 0;
        const bool ok = fd >= 0 && ReadExact(fd, &hello, 1) && hello == SinkHello;
        const Clock::time_point t1 = Clock::now();
        if (fd >= 0)
            ::close(fd);
        if (!ok) {
            ++failures;
            continue;
        }
        if (i >= warmUp)
            ms.push_back(Since(t0, t1) * 1000);
    }
    return PrintTimes(ms, failures, "no byte came from the sink");
}

int SetupTime(const TOptions &o) {
    if (o.HasTo)
        return SetupTimeTo(o);
    uint16_t sinkPort = 0;
    const int listener = ListenLoopback(1024, sinkPort);
    std::thread sink([&] { AcceptUntilShutDown(listener, [](int c) { ::close(c); }); });
    constexpr int warmUp = 20;
    std::vector<double> ms;
    int failures = 0;
    for (int i = 0; i < warmUp + o.Count; ++i) {
        const Clock::time_point t0 = Clock::now();
        const int fd = OpenTunnel(o.Socks, sinkPort);
        const Clock::time_point t1 = Clock::now();
        if (fd < 0) {
            ++failures;
            continue;
        }
        ::close(fd);
        if (i >= warmUp)
            ms.push_back(Since(t0, t1) * 1000);
    }
    ::shutdown(listener, SHUT_RDWR);
    sink.join();
    ::close(listener);
    return PrintTimes(ms, failures, "no connection could be made");
}

// A connection of the `sink` process, on a thread of its own.
void DrainSinkConnection(int c) {
    std::vector<char> buffer(128 * 1024);
    uint64_t received = 0;
    for (;;) {
        const ssize_t got = ::recv(c, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(c); // reset: a set-up measurement's connection, most likely
            return;
        }
        if (got == 0)
            break;
        received += static_cast<uint64_t>(got);
    }
    const std::string report = "received=" + std::to_string(received) + "\n";
    WriteAll(c, report.data(), report.size());
    ::close(c);
}

int Sink(const TOptions &o) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr *>(&o.To), sizeof o.To) < 0 ||
        ::listen(listener, 1024) < 0)
        SysFail("listen");
    for (;;) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE)
                continue;
            SysFail("accept");
        }
        WriteAll(c, &SinkHello, 1); // before any thread is started: no wait for one
        std::thread(DrainSinkConnection, c).detach();
    }
}

// Wall time of whole runs of a program, started the way a shell starts it.
int StartTime(const TOptions &o) {
    if (o.Program.empty())
        Fail("start-time needs -- PROGRAM [ARGS...]");
    std::vector<char *> argv;
    for (const std::string &a : o.Program)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    constexpr int warmUp = 2;
    std::vector<double> ms;
    int failures = 0;
    for (int i = 0; i < warmUp + o.Count; ++i) {
        const Clock::time_point t0 = Clock::now();
        pid_t child = 0;
        int status = 0;
        const int spawnError =
            ::posix_spawnp(&child, argv[0], &files, nullptr, argv.data(), environ);
        while (spawnError == 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        const Clock::time_point t1 = Clock::now();
        if (spawnError != 0)
            std::fprintf(stderr, "start-time: %s: %s\n", argv[0], std::strerror(spawnError));
        else if (!WIFEXITED(status))
            std::fprintf(stderr, "start-time: run %d: %s ended by signal %d\n", i + 1, argv[0],
                         WTERMSIG(status));
        else if (WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "start-time: run %d: %s ended with status %d\n", i + 1, argv[0],
                         WEXITSTATUS(status));
        if (spawnError != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failures;
            continue;
        }
        if (i >= warmUp)
            ms.push_back(Since(t0, t1) * 1000);
    }
    posix_spawn_file_actions_destroy(&files);
    return PrintTimes(ms, failures, "the program never ended well");
}

int Hold(const TOptions &o) {
    uint16_t sinkPort = 0;
    const int listener = ListenLoopback(4096, sinkPort);
    std::mutex lock;
    std::vector<int> farEnds;
    std::thread sink([&] {
        AcceptUntilShutDown(listener, [&](int c) {
            std::lock_guard<std::mutex> guard(lock);
            farEnds.push_back(c);
        });
    });
    auto accepted = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return farEnds.size();
    };

    const long rss0 = o.Watched.ResidentKiB();
    std::vector<int> clients;
    clients.reserve(static_cast<size_t>(o.Count));
    const Clock::time_point t0 = Clock::now();
    std::string stoppedBy;
    for (int i = 0; i < o.Count; ++i) {
        const int fd = OpenTunnel(o.Socks, sinkPort);
        if (fd < 0) {
            stoppedBy = std::strerror(errno);
            break;
        }
        clients.push_back(fd);
    }
    const double openSeconds = Since(t0, Clock::now());
    for (int i = 0; i < 300 && accepted() < clients.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Let the relays reach their wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long rss1 = o.Watched.ResidentKiB();

    double cpu0 = 0, sw0 = 0, cpu1 = 0, sw1 = 0;
    long threads0 = 0, threads1 = 0;
    o.Watched.Threads(cpu0, sw0, threads0);
    const Clock::time_point idle0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.Idle));
    o.Watched.Threads(cpu1, sw1, threads1);
    const double idleSeconds = Since(idle0, Clock::now());

    for (int fd : clients)
        ::close(fd);
    ::shutdown(listener, SHUT_RDWR);
    sink.join();
    for (int fd : farEnds)
        ::close(fd);
    ::close(listener);

    const size_t n = clients.size();
    std::printf("opened=%zu accepted=%zu open_seconds=%.2f rss_before_kib=%ld rss_after_kib=%ld "
                "kb_per_relay=%.2f threads=%ld idle_seconds=%.2f idle_cpu_ms=%.3f "
                "switches=%.0f\n",
                n, farEnds.size(), openSeconds, rss0, rss1,
                n ? double(rss1 - rss0) * 1.024 / double(n) : 0.0, threads1, idleSeconds,
                (cpu1 - cpu0) / 1e6, sw1 - sw0);
    if (!stoppedBy.empty())
        std::fprintf(stderr, "stopped at %zu tunnels: %s\n", n, stoppedBy.c_str());
    return n == static_cast<size_t>(o.Count) ? 0 : 1;
}

int Ports(int count) {
    std::vector<int> held;
    for (int i = 0; i < count; ++i) {
        uint16_t port = 0;
        held.push_back(ListenLoopback(1, port)); // held until all are chosen: no repeats
        std::printf("%u\n", port);
    }
    for (int fd : held)
        ::close(fd);
    return 0;
}

int Wait(const std::string &where, int ms) {
    const sockaddr_in to = where.find(':') == std::string::npos
                               ? Loopback(static_cast<uint16_t>(std::atoi(where.c_str())))
                               : ParseAddress(where);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        const int fd = ConnectTo(to);
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}

int32_t AddOkProxy(TdmProxyData &store, uint16_t port, TProxyType type) {
    store.AddProxy(QStringLiteral("127.0.0.1"), port, type);
    store.cdsProxies().Last();
    TProxData rec;
    rec.FUID = store.cdsProxies().FieldByName(QStringLiteral("UID")).AsInteger();
    store.UpdateProxyStatus(rec, TProxyStatus::psAvailable);
    return rec.FUID;
}

void AddChain(TdmProxyData &store, const QString &name, uint16_t port,
              const std::vector<int32_t> &proxies) {
    TDataTable &c = store.cdsChainedProxies();
    c.Append();
    c.FieldByName(QStringLiteral("Desc")).SetAsString(name);
    c.FieldByName(QStringLiteral("LocalServerPort")).SetAsInteger(port);
    c.Post();
    const int32_t uid = c.FieldByName(QStringLiteral("UID")).AsInteger();
    for (int32_t p : proxies)
        store.AddChainedItem(uid, p);
    store.SaveData();
}

int Setup(int argc, char **argv) {
    if (argc != 9)
        Fail("setup FOLDER PLAIN SELF_CHAIN REAL_CHAIN MICROSOCKS TINYPROXY DANTE");
    QCoreApplication app(argc, argv);
    auto port = [&](int i) { return static_cast<uint16_t>(std::atoi(argv[i])); };
    const QString folder = QString::fromLocal8Bit(argv[2]);
    TdmProxyData::ProvisionDataFolder(folder);
    TdmProxyData store(folder);
    store.LoadData();
    const int32_t plain = AddOkProxy(store, port(3), TProxyType::ptSOCKS5);
    const int32_t microsocks = AddOkProxy(store, port(6), TProxyType::ptSOCKS5);
    const int32_t tinyproxy = AddOkProxy(store, port(7), TProxyType::ptHTTP);
    const int32_t dante = AddOkProxy(store, port(8), TProxyType::ptSOCKS5);
    AddChain(store, QStringLiteral("Self"), port(4), {plain});
    AddChain(store, QStringLiteral("Real"), port(5), {microsocks, tinyproxy, dante});
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "ports")
            return Ports(argc > 2 ? std::atoi(argv[2]) : 1);
        if (mode == "wait" && argc > 2)
            return Wait(argv[2], argc > 3 ? std::atoi(argv[3]) : 10000);
        if (mode == "setup")
            return Setup(argc, argv);
        if (mode == "push")
            return Push(ParseOptions(argc, argv, 2));
        if (mode == "setup-time")
            return SetupTime(ParseOptions(argc, argv, 2));
        if (mode == "hold")
            return Hold(ParseOptions(argc, argv, 2));
        if (mode == "sink")
            return Sink(ParseOptions(argc, argv, 2));
        if (mode == "start-time")
            return StartTime(ParseOptions(argc, argv, 2));
    } catch (const std::exception &e) {
        Fail(e.what());
    }
    std::fprintf(stderr,
                 "usage: traffic_bench ports|wait|setup|push|setup-time|hold|sink|start-time ...\n"
                 "(see the comment at the top of bench/traffic_bench.cpp)\n");
    return 2;
}
