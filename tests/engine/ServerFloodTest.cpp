// A chain's server under a flood of connections that never speak: the cap
// on clients at once bounds the threads (a silent client holds one), and a
// client that speaks behind the flood is still served, because a full
// server drops the oldest silent client to make room. Each probe has its
// control: without the cap the threads grow with the flood, and without
// dropping the speaking client is turned away.
#include "engine/chain/ProxyChain.h"
#include "engine/server/LocalSOCKSServer.h"
#include "platform/FdLimit.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/ServerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace VelmoraTest;

namespace {

constexpr size_t Flood = 3000;
constexpr size_t ThreadAllowance = 32; // beyond the cap: listeners, spares, the test's own

struct TFloodCase {
    const char *Name;
    size_t MaxClients; // 0: no cap
    bool DropSilent;
    bool ThreadsBounded; // peak threads within cap + allowance
    bool ClientIsServed; // the client behind the flood gets its tunnel
};

struct TFloodResult {
    size_t PeakThreads = 0;
    int Reply = -1;      // the speaking client's CONNECT reply
    bool Echoed = false; // its tunnel carried bytes both ways
    double ServedMs = 0;
    size_t TurnedAway = 0;
};

// Opens the flood against a chain server with no hops (straight to the
// destination), then one client that speaks; counts this process's threads
// all the while.
TFloodResult RunFlood(const TFloodCase &c, uint16_t echoPort) {
    const TChainedProxyData noHops;
    TLocalSOCKSServer server;
    server.FChainData = &noHops;
    server.DefaultPort = 0;
    server.Threads.LoopbackOnly = true;
    server.Threads.MaxClients = c.MaxClients;
    server.Threads.DropSilentWhenFull = c.DropSilent;
    std::atomic<size_t> turnedAway{0};
    server.OnTurnedAway = [&](size_t closed, size_t dropped, size_t) {
        turnedAway += closed + dropped;
    };
    server.Start();

    TFloodResult r;
    std::atomic<bool> flooding{true};
    std::thread sampler([&] {
        while (flooding) {
            r.PeakThreads = std::max(r.PeakThreads, ThreadCount());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<TSocket> silent;
    for (size_t i = 0; i < Flood; ++i)
        silent.push_back(TSocket::Connect("127.0.0.1", server.Port(), 5000));
    // The server has taken in what it will before the client comes.
    const size_t settled = c.MaxClients ? c.MaxClients : Flood;
    WaitFor([&] { return server.ConnectionCount() >= settled; }, 20000);

    const auto start = std::chrono::steady_clock::now();
    TSocket client = TSocket::Connect("127.0.0.1", server.Port(), 5000);
    client.SetReadTimeout(10000);
    r.Reply = Socks5Handshake(client.Fd(), echoPort);
    if (r.Reply == 0) {
        client.WriteAll("ping");
        client.ShutdownWrite();
        r.Echoed = ReadAll(client, SIZE_MAX, 10000) == "ping";
    }
    r.ServedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    flooding = false;
    sampler.join();
    WaitFor([&] { return turnedAway > 0; }, 3000);
    r.TurnedAway = turnedAway;
    silent.clear();
    server.Stop();
    return r;
}

class ServerFlood : public testing::TestWithParam<TFloodCase> {};

} // namespace

TEST_P(ServerFlood, SilentConnectionsAndAClientThatSpeaks) {
    const TFloodCase &c = GetParam();
    if (RaiseDescriptorLimit() < 2 * Flood + 2000)
        GTEST_SKIP() << "the descriptor limit is too low for " << Flood << " connections";
    TEchoServer echo;
    const TFloodResult r = RunFlood(c, echo.Port());
    const size_t bound = TConnectionThreads::DefaultMaxClients + ThreadAllowance;
    if (c.ThreadsBounded)
        EXPECT_LE(r.PeakThreads, bound);
    else
        EXPECT_GT(r.PeakThreads, bound); // the probe sees a thread per silent client
    if (c.ClientIsServed) {
        EXPECT_EQ(r.Reply, 0);
        EXPECT_TRUE(r.Echoed);
        EXPECT_LT(r.ServedMs, 5000.0); // generous: the benchmark measures it
    } else {
        EXPECT_EQ(r.Reply, -1); // closed at accept
    }
    if (c.MaxClients) {
        EXPECT_GT(r.TurnedAway, 0u); // reported, whether closed or dropped
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerFlood,
    testing::Values(TFloodCase{"CappedDroppingSilent", TConnectionThreads::DefaultMaxClients, true,
                               true, true},
                    TFloodCase{"NoCap", 0, true, false, true},
                    TFloodCase{"CappedKeepingSilent", TConnectionThreads::DefaultMaxClients, false,
                               true, false}),
    [](const testing::TestParamInfo<TFloodCase> &info) { return std::string(info.param.Name); });

// Clients that lose their place are counted, closed at accept apart from
// dropped while silent, and the line says so.
TEST(ServerFloodReport, TurnedAwayClientsAreCountedAndWorded) {
    for (bool dropSilent : {false, true}) {
        TLocalSOCKSServer server;
        server.DefaultPort = 0;
        server.Threads.LoopbackOnly = true;
        server.Threads.MaxClients = 4;
        server.Threads.DropSilentWhenFull = dropSilent;
        std::mutex lock;
        size_t closed = 0, dropped = 0;
        server.OnTurnedAway = [&](size_t c, size_t d, size_t cap) {
            std::lock_guard<std::mutex> guard(lock);
            closed += c;
            dropped += d;
            EXPECT_EQ(cap, 4u);
        };
        server.Start();
        std::vector<TSocket> silent;
        for (int i = 0; i < 7; ++i)
            silent.push_back(TSocket::Connect("127.0.0.1", server.Port(), 5000));
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> guard(lock);
            return closed + dropped == 3;
        }));
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(dropSilent ? dropped : closed, 3u) << dropSilent;
    }
    EXPECT_EQ(TurnedAwayLine(8081, 37, 0, 1024),
              QStringLiteral("Turned away 37 clients on port 8081: 1024 are served at once"));
    EXPECT_EQ(TurnedAwayLine(8081, 0, 1, 1024),
              QStringLiteral("Turned away 1 client on port 8081: 1024 are served at once (1 of "
                             "them had sent no request yet and made room for newer ones)"));
}
