// Relay benchmark: throughput and CPU cost of the plain SOCKS server as one
// hop on loopback, against a direct connection, and the cost of connection
// set-up and of idle tunnels.
//
//   relay_bench [GiB per run (default 4)] [idle tunnels (default 2000)]
//
// A client thread pushes the bytes through a SOCKS 5 CONNECT to a sink thread
// that reads and discards them. CPU-seconds per GB of the relay is the CPU of
// the whole process minus what the client and sink threads used themselves.

#include "engine/server/PipePool.h"
#include "engine/server/TempSocksServer.h"
#include "platform/Socket.h"
#include "tests/support/SocksClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Reads and drops everything of one connection at a time.
class TSink {
public:
    TSink() : FListener(TSocket::Listen(TSocket::Family::IPv4, 0, 4096)) {}
    uint16_t Port() const { return FListener.LocalPort(); }
    TSocket &Listener() { return FListener; }

    // Accepts one connection and drains it; returns its byte count and the
    // CPU the draining thread used.
    void DrainOne(uint64_t &bytes, double &cpu) {
        TSocket c = FListener.Accept();
        const double start = CpuSeconds(RUSAGE_THREAD);
        std::vector<char> buffer(1 << 20);
        bytes = 0;
        for (;;) {
            const ssize_t got = ::recv(c.Fd(), buffer.data(), buffer.size(), 0);
            if (got <= 0)
                break;
            bytes += static_cast<uint64_t>(got);
        }
        cpu = CpuSeconds(RUSAGE_THREAD) - start;
    }

private:
    TSocket FListener;
};

TSocket SocksConnect(uint16_t socksPort, uint16_t port) {
    TSocket s = TSocket::Connect("127.0.0.1", socksPort, 5000);
    const std::string request = VelmoraTest::Socks5ToLoopback(1, port);
    s.WriteAll(request);
    unsigned char reply[12];
    s.ReadExact(reply, sizeof reply);
    if (reply[3] != 0)
        throw EVelmoraError("SOCKS connect failed");
    return s;
}

struct TResult {
    double Seconds = 0;
    double Gbits = 0;
    double RelayCpuPerGB = 0;
    double TotalCpuPerGB = 0;
};

// Pushes `bytes` to the sink, straight (socksPort 0) or through the server.
TResult Push(TSink &sink, uint16_t socksPort, uint64_t bytes) {
    uint64_t received = 0;
    double sinkCpu = 0;
    std::thread drain([&] { sink.DrainOne(received, sinkCpu); });
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const double t0 = Now();
    double clientCpu = 0;
    {
        TSocket s = socksPort ? SocksConnect(socksPort, sink.Port())
                              : TSocket::Connect("127.0.0.1", sink.Port(), 5000);
        const double c0 = CpuSeconds(RUSAGE_THREAD);
        std::vector<char> chunk(1 << 20, 'x');
        uint64_t left = bytes;
        while (left > 0) {
            const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            s.WriteAll(chunk.data(), n);
            left -= n;
        }
        s.ShutdownWrite();
        char dummy;
        ::recv(s.Fd(), &dummy, 1, 0); // the far end's close comes back
        clientCpu = CpuSeconds(RUSAGE_THREAD) - c0;
    }
    drain.join();
    const double seconds = Now() - t0;
    const double totalCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    if (received != bytes)
        std::fprintf(stderr, "lost bytes: sent %llu, received %llu\n",
                     static_cast<unsigned long long>(bytes),
                     static_cast<unsigned long long>(received));
    TResult r;
    const double gb = bytes / 1e9;
    r.Seconds = seconds;
    r.Gbits = bytes * 8 / seconds / 1e9;
    r.TotalCpuPerGB = totalCpu / gb;
    r.RelayCpuPerGB = (totalCpu - clientCpu - sinkCpu) / gb;
    return r;
}

void Row(const char *name, const TResult &r) {
    std::printf("%-34s %8.2f %12.3f %12.3f\n", name, r.Gbits, r.RelayCpuPerGB, r.TotalCpuPerGB);
}

TResult Median3(const std::function<TResult()> &run) {
    TResult a = run(), b = run(), c = run();
    TResult *v[3] = {&a, &b, &c};
    std::sort(v, v + 3, [](TResult *x, TResult *y) { return x->Gbits < y->Gbits; });
    return *v[1];
}

} // namespace

int main(int argc, char **argv) {
    const double gib = argc > 1 ? std::atof(argv[1]) : 4.0;
    const int idleTunnels = argc > 2 ? std::atoi(argv[2]) : 2000;
    const uint64_t bytes = static_cast<uint64_t>(gib * (1ull << 30));

    TSink sink;
    std::printf("Relay throughput, %.1f GiB per run, median of 3, loopback\n", gib);
    std::printf("%-34s %8s %12s %12s\n", "path", "Gbit/s", "relay CPU-s/GB", "all CPU-s/GB");
    Row("direct (no hop)", Median3([&] { return Push(sink, 0, bytes); }));

    struct TVariant {
        const char *Name;
        bool Pipes;
        size_t PipeSize;
    } variants[] = {
        {"port-9999 server, splice 64 KiB", true, 64 * 1024},
        {"port-9999 server, splice 256 KiB", true, 256 * 1024},
        {"port-9999 server, splice 1 MiB", true, 1024 * 1024},
        {"port-9999 server, 64 KiB buffers", false, 0},
    };
    for (const TVariant &v : variants) {
        TTempSocksServer server(0);
        server.RelayThroughPipes = v.Pipes;
        if (v.Pipes)
            server.SetPipePool(std::make_shared<TPipePool>(v.PipeSize));
        server.Start();
        Row(v.Name, Median3([&] { return Push(sink, server.Port(), bytes); }));
        server.Stop();
    }

    // Connection set-up: CONNECT, reply, close, one after another.
    {
        TTempSocksServer server(0);
        server.Start();
        std::atomic<bool> stop{false};
        std::thread acceptor([&] {
            while (!stop) {
                TSocket c = sink.Listener().Accept();
                if (!c.Valid())
                    break;
            }
        });
        const int count = 2000;
        const double t0 = Now();
        for (int i = 0; i < count; ++i)
            SocksConnect(server.Port(), sink.Port());
        const double perConnection = (Now() - t0) * 1000 / count;
        stop = true;
        TSocket::Connect("127.0.0.1", sink.Port(), 1000); // wakes the acceptor
        acceptor.join();
        server.Stop();
        std::printf("\nConnection set-up through the server: %.3f ms per CONNECT (%d in a row)\n",
                    perConnection, count);
    }

    // Idle tunnels: memory, and CPU while nothing moves.
    {
        TTempSocksServer server(0);
        server.Start();
        std::vector<TSocket> farEnds;
        std::thread acceptor([&] {
            for (int i = 0; i < idleTunnels; ++i)
                farEnds.push_back(sink.Listener().Accept());
        });
        const long rss0 = ResidentKiB();
        std::vector<TSocket> clients;
        try {
            for (int i = 0; i < idleTunnels; ++i)
                clients.push_back(SocksConnect(server.Port(), sink.Port()));
        } catch (const std::exception &e) {
            std::printf("stopped at %zu tunnels: %s\n", clients.size(), e.what());
        }
        acceptor.join();
        const long rss1 = ResidentKiB();
        const double cpu0 = CpuSeconds(RUSAGE_SELF);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double idleCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
        std::printf("%zu idle tunnels: %.1f MB resident for them (%.1f KiB each), "
                    "%.4f CPU-s per second idle\n",
                    clients.size(), (rss1 - rss0) / 1024.0,
                    clients.empty() ? 0.0 : double(rss1 - rss0) / clients.size(), idleCpu / 3);
        const double t0 = Now();
        server.Stop();
        std::printf("Stopping the server with them: %.1f ms\n", (Now() - t0) * 1000);
    }
    return 0;
}
