// Proxy check benchmark: a batch of N proxies (default 1,000) checked through
// a local SOCKS 5 stub that answers the test page itself, with the bounded
// number of checks in flight. Prints the time per batch for a few bounds,
// with the store saving after every result (as in the program) and without.
// Not a test. Usage: check_bench [N]
#include "BenchNet.h"
#include "check/ProxyChecker.h"
#include "platform/WorkerThread.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// SOCKS 5 without authentication; after the CONNECT reply it reads the HTTP
// request and answers it with the client's address, as an IP-echo page would.
class TSocks5PageStub {
public:
    TSocks5PageStub() {
        FListen = benchnet::ListenLoopback(1024, FPort);
        FAccept = std::thread([this] { AcceptLoop(); });
    }
    ~TSocks5PageStub() {
        FStopping = true;
        ::shutdown(FListen, SHUT_RDWR);
        FAccept.join();
        std::lock_guard<std::mutex> lock(FLock);
        for (std::thread &t : FThreads)
            t.join();
        ::close(FListen);
    }
    uint16_t Port() const { return FPort; }
    int Peak() const { return FPeak; }
    void ResetPeak() { FPeak = 0; }

private:
    static bool ReadExact(int fd, void *buffer, size_t n) {
        return benchnet::ReadExact(fd, buffer, n);
    }
    static void Send(int fd, const std::string &s) { benchnet::WriteAll(fd, s.data(), s.size()); }
    void AcceptLoop() {
        for (;;) {
            const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            std::lock_guard<std::mutex> lock(FLock);
            FThreads.emplace_back([this, fd] {
                Serve(fd);
                ::close(fd);
            });
        }
    }
    void Serve(int fd) {
        const int now = ++FActive;
        for (int seen = FPeak; now > seen && !FPeak.compare_exchange_weak(seen, now);)
            ;
        unsigned char b[262];
        if (ReadExact(fd, b, 3) && b[0] == 5) {
            Send(fd, std::string("\x05\x00", 2));
            if (ReadExact(fd, b, 4)) {
                size_t rest = b[3] == 1 ? 6 : b[3] == 4 ? 18 : 0;
                if (b[3] == 3 && ReadExact(fd, b, 1))
                    rest = size_t(b[0]) + 2;
                if (rest > 0 && ReadExact(fd, b, rest)) {
                    Send(fd, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
                    std::string request;
                    char c;
                    while (request.size() < 8192 && request.find("\r\n\r\n") == std::string::npos &&
                           ReadExact(fd, &c, 1))
                        request += c;
                    Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                             "Content-Length: 9\r\nConnection: close\r\n\r\n127.0.0.1");
                }
            }
        }
        --FActive;
    }

    int FListen = -1;
    uint16_t FPort = 0;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FActive{0};
    std::atomic<int> FPeak{0};
    std::thread FAccept;
    std::mutex FLock;
    std::vector<std::thread> FThreads;
};

struct TRun {
    double Ms = 0;
    int Results = 0;
    int Ok = 0;
    int PeakWorkers = 0;
};

TRun CheckAll(TdmProxyData &store, int bound) {
    TRun run;
    bool ended = false;
    auto list = std::make_unique<TProxyList>();
    store.GetAllProxyRecords(*list);
    auto *checker = new TProxyChecker(store);
    checker->FMaxInFlight = bound;
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &, TProxyStatus status) {
        ++run.Results;
        run.Ok += status == TProxyStatus::psAvailable;
    };
    checker->OnCheckEnd = [&](TProxyChecker *sender) {
        run.PeakWorkers = int(sender->PeakInFlight());
        ended = true;
    };
    QElapsedTimer t;
    t.start();
    checker->Check(std::move(list));
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    run.Ms = double(t.nsecsElapsed()) / 1e6;
    TWorkerThread::WaitForAll(30000);
    return run;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    TSocks5PageStub stub;
    // The stub answers for any page; the address only has to be well formed.
    qputenv("VELMORA_CHECK_URL", "http://127.0.0.1:9/");

    try {
        TdmProxyData store(tmp.path() + QStringLiteral("/VelmoraAnonymizer/"));
        store.LoadData();
        for (int i = 0; i < n; ++i)
            store.AddProxy(QStringLiteral("127.0.0.1"), stub.Port(), TProxyType::ptSOCKS5);
        store.SaveData();

        std::printf("%d proxies through a local SOCKS 5 stub\n", n);
        std::printf("%-10s %-9s %10s %12s %8s %13s %12s\n", "bound", "autosave", "ms", "checks/s",
                    "OK", "peak in flight", "peak at stub");
        for (const bool autosave : {false, true}) {
            std::optional<TdmProxyData::TBatch> hold;
            if (!autosave)
                hold.emplace(store);
            for (const int bound : {1, 16, 256, TProxyChecker::MaxChecksInFlight}) {
                if (autosave && bound != TProxyChecker::MaxChecksInFlight)
                    continue; // the save per result dominates; one line is enough
                stub.ResetPeak();
                const TRun run = CheckAll(store, bound);
                std::printf("%-10d %-9s %10.1f %12.0f %5d/%-3d %13d %12d\n", bound,
                            autosave ? "on" : "off", run.Ms, run.Results * 1000.0 / run.Ms, run.Ok,
                            run.Results, run.PeakWorkers, stub.Peak());
                if (run.Results != n || run.Ok != n) {
                    std::fprintf(stderr, "not every proxy was checked OK\n");
                    return 1;
                }
            }
        }
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("peak resident set: %ld KiB\n", usage.ru_maxrss);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
