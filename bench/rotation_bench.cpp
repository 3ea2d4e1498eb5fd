// Rotation benchmark: the cost of a rotating chain on a connection's path,
// and how long a connection takes when a drawn hop is dead.
//
//   rotation_bench MICROSOCKS_PORT TINYPROXY_PORT DANTE_PORT [connections]
//
// In one process, on a store of its own: chain "Rotor" draws three hops
// from microsocks, tinyproxy and dante (the only proxies marked "OK") and
// draws anew every second; six fixed chains walk the same three in each
// order. Each set-up of the rotating chain (from the TCP connect to the
// chain port to the SOCKS 5 reply) takes turns with one of the fixed chain
// that walks the hops the rotating one takes at that moment, and the
// medians are compared: the difference is what rotation costs on the path.
// Then a fourth proxy is added, a listener that accepts and never answers,
// and chain "Failover" (microsocks by hand, one hop drawn from tinyproxy,
// dante and the silent one, time-out 1 s) is restarted until the silent
// one is drawn; each such connection waits out the time-out and is carried
// through a replacement. Its reference is the same chain's set-up when the
// silent one is not drawn, made after a quiet second as the retry is.
// Prints key=value lines for bench/run. Not a test.
#include "BenchNet.h"
#include "engine/chain/ChainManager.h"
#include "store/dmProxyData.h"
#include "tests/support/StoreSeed.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

using benchnet::Clock;
using benchnet::FreePort;
using benchnet::TSink;

// Accepts and holds every connection; answers nothing.
class TSilentListener {
public:
    TSilentListener() {
        FListen = benchnet::ListenLoopback(64, FPort);
        FAccept = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    return;
                FHeld.push_back(fd);
            }
        });
    }
    ~TSilentListener() {
        ::shutdown(FListen, SHUT_RDWR);
        FAccept.join();
        ::close(FListen);
        for (int fd : FHeld)
            ::close(fd);
    }
    uint16_t Port() const { return FPort; }

private:
    int FListen = -1;
    uint16_t FPort = 0;
    std::thread FAccept;
    std::vector<int> FHeld;
};

// ms from the TCP connect to the chain port to a granted SOCKS 5 reply.
double SetupMs(uint16_t chainPort, uint16_t destination) {
    const Clock::time_point t0 = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = benchnet::Loopback(chainPort);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
        benchnet::SysFail("connect to the chain port");
    const int code = VelmoraTest::Socks5Handshake(fd, destination);
    const Clock::time_point t1 = Clock::now();
    ::close(fd);
    if (code != 0)
        benchnet::Fail("the chain refused a set-up: code " + std::to_string(code));
    return benchnet::Since(t0, t1) * 1000.0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4)
        benchnet::Fail("usage: rotation_bench MICROSOCKS_PORT TINYPROXY_PORT DANTE_PORT [N]");
    const auto port = [&](int i) { return static_cast<uint16_t>(std::atoi(argv[i])); };
    const int connections = argc > 4 ? std::atoi(argv[4]) : 400;

    QTemporaryDir dir;
    const QString folder = dir.path() + "/VelmoraAnonymizer/";
    TdmProxyData::ProvisionDataFolder(folder);
    TdmProxyData store(folder);
    store.LoadData();
    store.SetTimeout(1);
    const int32_t ms = VelmoraTest::SeedProxy(store, port(1), TProxyType::ptSOCKS5);
    const int32_t tp = VelmoraTest::SeedProxy(store, port(2), TProxyType::ptHTTP);
    const int32_t dante = VelmoraTest::SeedProxy(store, port(3), TProxyType::ptSOCKS5);
    const uint16_t rotorPort = FreePort(), failoverPort = FreePort();
    // A fixed chain for every order of the three, to compare each rotating
    // set-up with a fixed one through the very same hops.
    std::vector<int32_t> order = {ms, tp, dante};
    std::sort(order.begin(), order.end());
    std::map<QString, uint16_t> fixedPortOf; // hops text: the fixed chain's port
    std::vector<int32_t> fixedChains;
    do {
        const uint16_t port = FreePort();
        const int32_t uid = VelmoraTest::SeedChain(store, "Fixed", port, order);
        fixedChains.push_back(uid);
        TChainedProxyData record;
        store.GetChainedProxyRecord(uid, record);
        fixedPortOf[HopsText(record)] = port;
    } while (std::next_permutation(order.begin(), order.end()));
    const int32_t rotor = VelmoraTest::SeedChain(store, "Rotor", rotorPort, {});
    VelmoraTest::SeedRotation(store, rotor, 1, 3);

    TChainManager chains;
    chains.SetStore(&store);
    std::atomic<int> changes{0};
    chains.OnMessage = [&](const QString &line) {
        if (line.contains(QStringLiteral(" now runs through ")))
            ++changes;
    };
    if (std::getenv("ROTATION_BENCH_VERBOSE")) {
        const Clock::time_point start = Clock::now();
        chains.SetOnChainActivity(
            [start](void *, int32_t, TActivityType, const QString &text, int32_t) {
                std::fprintf(stderr, "%10.3f %s\n", benchnet::Since(start, Clock::now()) * 1000,
                             qPrintable(text));
            });
    }
    for (int32_t uid : fixedChains)
        if (!chains.StartChain(uid))
            benchnet::Fail("a fixed chain did not start");
    if (!chains.StartChain(rotor))
        benchnet::Fail("the rotating chain did not start");
    TSink sink;
    // The fixed chain through the hops the rotating one takes now.
    const auto fixedNow = [&] { return fixedPortOf.at(chains.State(rotor).Hops); };
    for (int i = 0; i < 50; ++i) { // warm-up
        SetupMs(fixedNow(), sink.Port());
        SetupMs(rotorPort, sink.Port());
    }
    std::vector<double> fixedMs, rotorMs;
    const int changesBefore = changes;
    // At least three new draws take effect while the set-ups run.
    const Clock::time_point began = Clock::now();
    for (int i = 0; i < connections ||
                    (changes - changesBefore < 3 && benchnet::Since(began, Clock::now()) < 20);
         ++i) {
        // Each takes the first turn every other time.
        const uint16_t fixedPort = fixedNow();
        if (i % 2) {
            fixedMs.push_back(SetupMs(fixedPort, sink.Port()));
            rotorMs.push_back(SetupMs(rotorPort, sink.Port()));
        } else {
            rotorMs.push_back(SetupMs(rotorPort, sink.Port()));
            fixedMs.push_back(SetupMs(fixedPort, sink.Port()));
        }
    }
    std::printf("setup fixed_ms=%.4f rotor_ms=%.4f diff_ms=%+.4f draws=%d n=%d\n", Median(fixedMs),
                Median(rotorMs), Median(rotorMs) - Median(fixedMs), changes - changesBefore,
                static_cast<int>(fixedMs.size()));
    chains.StopAll();

    // Failover past a silent hop.
    TSilentListener silent;
    const int32_t dead = VelmoraTest::SeedProxy(store, silent.Port(), TProxyType::ptSOCKS5);
    const int32_t failover = VelmoraTest::SeedChain(store, "Failover", failoverPort, {ms});
    VelmoraTest::SeedRotation(store, failover, 0, 2);
    const QString silentText = QStringLiteral("127.0.0.1:%1").arg(silent.Port());
    std::vector<double> healthyMs, failoverMs;
    for (int round = 0; round < 400 && (failoverMs.size() < 5 || healthyMs.size() < 5); ++round) {
        if (!chains.RestartChain(failover))
            benchnet::Fail("chain Failover did not start");
        const bool silentDrawn = chains.State(failover).Hops.contains(silentText);
        if (silentDrawn && failoverMs.size() < 5) {
            failoverMs.push_back(SetupMs(failoverPort, sink.Port()));
            if (std::getenv("ROTATION_BENCH_VERBOSE"))
                std::fprintf(stderr, "%.3f ms through %s\n", failoverMs.back(),
                             qPrintable(chains.State(failover).Hops));
        } else if (!silentDrawn)
            for (int i = 0; i < 10; ++i)
                healthyMs.push_back(SetupMs(failoverPort, sink.Port()));
    }
    (void)dead;
    if (failoverMs.empty() || healthyMs.empty())
        benchnet::Fail("the silent proxy was never drawn, or always");
    std::printf("failover timeout_ms=1000 failover_ms=%.3f setup_ms=%.4f over_ms=%+.3f n=%zu\n",
                Median(failoverMs), Median(healthyMs),
                Median(failoverMs) - 1000.0 - Median(healthyMs), failoverMs.size());
    chains.StopAll();
    return 0;
}
