// Healing benchmark: a rotating chain after an outage of every proxy.
//
//   heal_bench [OUTAGE_SECONDS]
//
// In one process, on a store of its own: three microsocks processes of this
// program (the only proxies marked "OK") and chain "Healing" drawing one hop
// of them, with the probes of proxies set aside at their usual intervals
// (10 s, 30 s, 1 min, ...). Each round stops every proxy for OUTAGE_SECONDS
// (default 10), then starts each again on its own port, and measures the
// time from the moment all of them accept again to the first connection
// the chain serves (its SOCKS 5 reply granted):
//   retrying  a client tries a connection every 100 ms all along; the
//             failures of the outage set every proxy aside;
//   probed    the failures that set every proxy aside, then no client until
//             the chain's state no longer says "no working proxies": the
//             prober brought a proxy back.
// Prints key=value lines for bench/run. Not a test.
#include "BenchNet.h"
#include "engine/chain/ChainManager.h"
#include "store/dmProxyData.h"
#include "tests/support/StoreSeed.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using benchnet::Clock;
using benchnet::FreePort;
using benchnet::TSink;
using namespace std::chrono_literals;

bool Accepting(uint16_t port) {
    const int fd = benchnet::ConnectLoopback(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// One microsocks on a port of its own, stopped and started again by PID.
class TProxyProcess {
public:
    TProxyProcess() : FPort(FreePort()) { Start(); }
    ~TProxyProcess() { Stop(); }
    uint16_t Port() const { return FPort; }
    void Start() {
        FPid = ::fork();
        if (FPid == 0) {
            ::setpgid(0, 0);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            const std::string port = std::to_string(FPort);
            ::execlp("microsocks", "microsocks", "-i", "127.0.0.1", "-p", port.c_str(),
                     static_cast<char *>(nullptr));
            ::_exit(127);
        }
        if (FPid < 0)
            benchnet::SysFail("fork");
        for (int i = 0; i < 500 && !Accepting(FPort); ++i)
            std::this_thread::sleep_for(10ms);
        if (!Accepting(FPort))
            benchnet::Fail("microsocks did not come up on port " + std::to_string(FPort));
    }
    void Stop() {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

private:
    uint16_t FPort;
    pid_t FPid = -1;
};

bool Served(uint16_t chainPort, uint16_t destination) {
    const int fd = benchnet::Socks5Connect(chainPort, destination);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int outage = argc > 1 ? std::atoi(argv[1]) : 10;
    QTemporaryDir dir;
    const std::unique_ptr<TdmProxyData> owned = VelmoraTest::FreshStore(dir.path());
    TdmProxyData &store = *owned;
    store.SetTimeout(2);
    std::vector<std::unique_ptr<TProxyProcess>> proxies;
    for (int i = 0; i < 3; ++i) {
        proxies.push_back(std::make_unique<TProxyProcess>());
        VelmoraTest::SeedProxy(store, proxies.back()->Port(), TProxyType::ptSOCKS5);
    }
    const uint16_t chainPort = FreePort();
    const int32_t chain = VelmoraTest::SeedChain(store, "Healing", chainPort, {});
    VelmoraTest::SeedRotation(store, chain, 0, 1);
    TChainManager chains;
    chains.SetStore(&store);
    if (!chains.StartChain(chain))
        benchnet::Fail("chain Healing did not start");
    TSink sink;
    const auto pumpUntil = [&](Clock::time_point end) {
        while (Clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(10ms);
        }
    };
    const auto dry = [&] {
        return ChainStateText(chains.State(chain)).startsWith(QStringLiteral("no working"));
    };

    for (const bool retrying : {true, false}) {
        if (!Served(chainPort, sink.Port()))
            benchnet::Fail("chain Healing does not serve before the outage");
        for (auto &proxy : proxies)
            proxy->Stop();
        const Clock::time_point down = Clock::now();
        // Failures until every proxy is set aside.
        for (int i = 0; i < 10 && !dry(); ++i)
            Served(chainPort, sink.Port());
        if (!dry())
            benchnet::Fail("the outage did not set every proxy aside");
        while (Clock::now() - down < std::chrono::seconds(outage)) {
            if (retrying)
                Served(chainPort, sink.Port());
            pumpUntil(Clock::now() + 100ms);
        }
        for (auto &proxy : proxies)
            proxy->Start();
        const Clock::time_point back = Clock::now();
        for (;;) {
            if (Clock::now() - back > 600s)
                benchnet::Fail("chain Healing did not serve within 10 minutes");
            if ((retrying || !dry()) && Served(chainPort, sink.Port()))
                break;
            pumpUntil(Clock::now() + (retrying ? 100ms : 10ms));
        }
        std::printf("heal way=%s outage_s=%d first_served_ms=%.1f\n",
                    retrying ? "retrying" : "probed", outage,
                    benchnet::Since(back, Clock::now()) * 1000.0);
        std::fflush(stdout);
    }
    chains.StopAll();
    return 0;
}
