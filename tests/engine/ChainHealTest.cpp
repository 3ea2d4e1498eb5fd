// Chains that heal: proxies a rotating chain set aside are probed and come
// back when they answer, or are marked "TIME OUT" after three failed probes;
// a failure of this machine's own network sets nothing aside; the chain's
// state says when it waits for the network, when its pool ran dry, and
// which hop of a fixed chain failed last. The proxies are real microsocks
// processes; the network drop is a link taken down in a network namespace.
#include "engine/chain/ChainManager.h"
#include "engine/chain/ProxyProber.h"
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/Process.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/Topology.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::TMicrosocksPeer;

// ---- the prober on its own, with a scripted probe -----------------------------

using R = TProbeResult;

struct TProberCase {
    const char *Name;
    std::vector<R> Results; // of the probes in turn
    R Rest;                 // of every probe after those
    int BackAfter;          // probes until OnBack (0: never)
    bool Dead;              // OnDead raised (once)
};

// A proxy comes back when it answers and is reported dead after three
// failures in a row; probes that found no network count against none.
TEST(ProxyProberTest, AProxyComesBackWhenItAnswersAndIsDeadAfterThreeFailures) {
    const std::vector<TProberCase> cases = {
        {"answers at once", {R::Answered}, R::Failed, 1, false},
        {"answers at the second probe", {R::Failed, R::Answered}, R::Failed, 2, false},
        {"answers after three failures", {R::Failed, R::Failed, R::Failed}, R::Answered, 4, true},
        {"never answers", {}, R::Failed, 0, true},
        {"no network all along", {}, R::NoNetwork, 0, false},
        {"no network between failures",
         {R::Failed, R::NoNetwork, R::Failed, R::NoNetwork, R::NoNetwork, R::Failed},
         R::Answered,
         7,
         true},
    };
    for (const TProberCase &c : cases) {
        SCOPED_TRACE(c.Name);
        std::mutex lock;
        size_t probes = 0;
        int backAt = 0, dead = 0, noNetwork = 0;
        TProxyProber prober({20}, 1000, [&](const TProxData &, int timeoutMs) {
            EXPECT_EQ(timeoutMs, 1000);
            std::lock_guard<std::mutex> g(lock);
            const size_t at = probes++;
            return at < c.Results.size() ? c.Results[at] : c.Rest;
        });
        prober.OnBack = [&](int32_t uid) {
            std::lock_guard<std::mutex> g(lock);
            EXPECT_EQ(uid, 7);
            backAt = static_cast<int>(probes);
        };
        prober.OnDead = [&](int32_t) {
            std::lock_guard<std::mutex> g(lock);
            ++dead;
        };
        prober.OnNoNetwork = [&] {
            std::lock_guard<std::mutex> g(lock);
            ++noNetwork;
        };
        TProxData proxy;
        proxy.FUID = 7;
        prober.Add(proxy);
        prober.Add(proxy); // probed once, however often it is added
        const auto settled = [&] {
            std::lock_guard<std::mutex> g(lock);
            return c.BackAfter ? backAt != 0 : probes >= 8;
        };
        for (int i = 0; i < 1000 && !settled(); ++i)
            std::this_thread::sleep_for(10ms);
        prober.Stop();
        std::lock_guard<std::mutex> g(lock);
        EXPECT_EQ(backAt, c.BackAfter);
        EXPECT_EQ(dead, c.Dead ? 1 : 0);
        if (c.BackAfter)
            EXPECT_EQ(probes, static_cast<size_t>(c.BackAfter)) << "no probe after its return";
        const auto all = c.Results.size() < probes ? c.Results.size() : probes;
        const auto noNetworkScripted =
            std::count(c.Results.begin(), c.Results.begin() + all, R::NoNetwork) +
            (c.Rest == R::NoNetwork ? probes - all : 0);
        EXPECT_EQ(noNetwork, static_cast<int>(noNetworkScripted));
    }
}

// The intervals grow step by step and the last one repeats; none at all
// when there are no intervals.
TEST(ProxyProberTest, IntervalsGrowAndNoIntervalsMeansNoProbes) {
    std::mutex lock;
    std::vector<std::chrono::steady_clock::time_point> at;
    const auto record = [&](const TProxData &, int) {
        std::lock_guard<std::mutex> g(lock);
        at.push_back(std::chrono::steady_clock::now());
        return R::Failed;
    };
    TProxData proxy;
    proxy.FUID = 1;
    {
        TProxyProber off({}, 100, record);
        off.Add(proxy);
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(at.empty());

    const auto added = std::chrono::steady_clock::now();
    TProxyProber prober({30, 150, 300}, 100, record);
    prober.Add(proxy);
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (at.size() >= 4)
                break;
        }
        std::this_thread::sleep_for(10ms);
    }
    prober.Stop();
    ASSERT_GE(at.size(), 4u);
    EXPECT_GE(at[0] - added, 30ms);
    EXPECT_GE(at[1] - at[0], 150ms);
    EXPECT_GE(at[2] - at[1], 300ms);
    EXPECT_GE(at[3] - at[2], 300ms) << "the last interval repeats";
}

// ---- chains with real proxies -------------------------------------------------

class ChainHealTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    std::unique_ptr<TdmProxyData> Store;
    TChainManager Mgr;
    std::unique_ptr<VelmoraTest::TEchoServer> Echo;
    std::vector<std::unique_ptr<TMicrosocksPeer>> Peers;
    std::mutex Lock;
    QStringList Lines;

    void SetUp() override {
        if (!TMicrosocksPeer::Available())
            GTEST_SKIP() << "microsocks is not installed";
        Store = VelmoraTest::FreshStore(Dir.path());
        Mgr.SetStore(Store.get());
        Mgr.SetProbeIntervals({200});
        Mgr.OnMessage = [this](const QString &l) {
            std::lock_guard<std::mutex> g(Lock);
            Lines << l;
        };
    }
    void TearDown() override { Mgr.StopAll(); }

    // `count` microsocks proxies listening on `listen`, stored as
    // `address`:port with status "OK"; their UIDs.
    std::vector<int32_t> WorkingProxies(int count, const std::string &listen = "127.0.0.1",
                                        const QString &address = QStringLiteral("127.0.0.1")) {
        std::vector<int32_t> uids;
        for (int i = 0; i < count; ++i) {
            Peers.push_back(std::make_unique<TMicrosocksPeer>(listen));
            uids.push_back(VelmoraTest::SeedProxy(*Store, Peers.back()->Port(),
                                                  TProxyType::ptSOCKS5, TProxyStatus::psAvailable,
                                                  address));
        }
        return uids;
    }
    // A rotating chain of one drawn hop; its port.
    uint16_t RotatingChain(int32_t &uid) {
        const uint16_t port = VelmoraTest::FreeLoopbackPort();
        uid = VelmoraTest::SeedChain(*Store, "Rotor", port, {});
        VelmoraTest::SeedRotation(*Store, uid, 0, 1);
        return port;
    }
    static bool WaitFor(const std::function<bool()> &done) {
        return VelmoraTest::PumpUntil(done, 15000);
    }
    int EchoThrough(uint16_t port) {
        TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
        const int code = VelmoraTest::Socks5Connect(s, Echo->Port());
        if (code != 0)
            return code;
        s.WriteAll(std::string("ping"));
        return VelmoraTest::ReadExactly(s, 4) == "ping" ? 0 : -2;
    }
    std::string StateText(int32_t chain) { return ChainStateText(Mgr.State(chain)).toStdString(); }
    // The chain's state text once its connections have ended (their ends
    // come a little after the client's).
    std::string SettledState(int32_t chain) {
        WaitFor([&] { return Mgr.State(chain).Connections == 0; });
        return StateText(chain);
    }
    TProxyStatus StatusOf(int32_t proxyUID) {
        TProxData p;
        Store->GetProxyRecord(proxyUID, &p);
        return p.FStatus;
    }
    QStringList TakeLines() {
        std::lock_guard<std::mutex> g(Lock);
        QStringList l = Lines;
        Lines.clear();
        return l;
    }
    // Stops every proxy and fails one connection: each proxy is set aside.
    void OutageOfEveryProxy(int32_t chain, uint16_t port) {
        for (auto &peer : Peers)
            peer->Stop();
        EXPECT_NE(EchoThrough(port), 0);
        EXPECT_EQ(StateText(chain),
                  "no working proxies (" + std::to_string(Peers.size()) + " set aside)");
    }
};

// After an outage of every proxy the prober brings them back once they
// answer, with no connection needed; with the prober off (the negative
// control) they stay set aside until a connection gets through them.
class ChainHealOutageTest : public ChainHealTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChainHealOutageTest, ProxiesSetAsideReturnWhenTheyAnswerAgain) {
    const bool probing = GetParam();
    Mgr.SetProbeIntervals(probing ? std::vector<int>{200} : std::vector<int>{});
    WorkingProxies(2);
    Echo = std::make_unique<VelmoraTest::TEchoServer>();
    int32_t rotor = 0;
    const uint16_t port = RotatingChain(rotor);
    ASSERT_TRUE(Mgr.StartChain(rotor));
    ASSERT_EQ(EchoThrough(port), 0);

    OutageOfEveryProxy(rotor, port);
    for (auto &peer : Peers)
        peer->Restart();
    if (probing) {
        EXPECT_TRUE(WaitFor([&] { return StateText(rotor) == "running"; })) << StateText(rotor);
    } else {
        std::this_thread::sleep_for(1s); // five probe intervals of the other case
        EXPECT_EQ(StateText(rotor), "no working proxies (2 set aside)");
    }
    EXPECT_EQ(EchoThrough(port), 0);
    EXPECT_EQ(SettledState(rotor), "running");
}

INSTANTIATE_TEST_SUITE_P(ProberOnAndOff, ChainHealOutageTest, ::testing::Bool(),
                         [](const auto &info) {
                             return std::string(info.param ? "Probing" : "NoProbes");
                         });

// A proxy that does not answer three probes in a row is "TIME OUT" in the
// store; the one that answered stays "OK" and carries the chain.
TEST_F(ChainHealTest, ThreeFailedProbesMarkAProxyTimeOut) {
    const std::vector<int32_t> p = WorkingProxies(2);
    Echo = std::make_unique<VelmoraTest::TEchoServer>();
    int32_t rotor = 0;
    const uint16_t port = RotatingChain(rotor);
    std::vector<int32_t> changed;
    Mgr.OnProxyStatusChanged = [&](int32_t uid) { changed.push_back(uid); };
    ASSERT_TRUE(Mgr.StartChain(rotor));
    OutageOfEveryProxy(rotor, port);
    Peers[0]->Restart();

    EXPECT_TRUE(WaitFor([&] { return StatusOf(p[1]) == TProxyStatus::psUnavailable; }));
    EXPECT_EQ(changed, std::vector<int32_t>{p[1]});
    EXPECT_EQ(StatusOf(p[0]), TProxyStatus::psAvailable);
    EXPECT_EQ(TakeLines()
                  .filter(QString("Proxy 127.0.0.1:%1 did not answer 3 probes in a row: TIME OUT")
                              .arg(Peers[1]->Port()))
                  .size(),
              1);
    EXPECT_EQ(SettledState(rotor), "running");
    EXPECT_EQ(Mgr.State(rotor).Hops, QString("127.0.0.1:%1").arg(Peers[0]->Port()));
    EXPECT_EQ(EchoThrough(port), 0);
}

// A fixed chain walks its hops in their order, failed or not, and its
// state names the hop that failed last and why.
TEST_F(ChainHealTest, FixedChainNamesTheHopThatFailedLast) {
    const std::vector<int32_t> p = WorkingProxies(2);
    Echo = std::make_unique<VelmoraTest::TEchoServer>();
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t work = VelmoraTest::SeedChain(*Store, "Work", port, {p[0], p[1]});
    ASSERT_TRUE(Mgr.StartChain(work));
    const QString hops = Mgr.State(work).Hops;
    EXPECT_EQ(EchoThrough(port), 0);
    EXPECT_EQ(SettledState(work), "running");

    Peers[1]->Stop();
    EXPECT_NE(EchoThrough(port), 0);
    const std::string second = "127.0.0.1:" + std::to_string(Peers[1]->Port());
    const std::string text = SettledState(work);
    EXPECT_EQ(text.rfind("running; last failure: hop 2 (" + second + "): ", 0), 0u) << text;
    EXPECT_EQ(Mgr.State(work).Hops, hops) << "the order stays";
    EXPECT_EQ(StatusOf(p[1]), TProxyStatus::psAvailable);

    Peers[1]->Restart();
    Peers[0]->Stop();
    EXPECT_NE(EchoThrough(port), 0);
    const std::string first = "127.0.0.1:" + std::to_string(Peers[0]->Port());
    EXPECT_EQ(SettledState(work), "running; last failure: hop 1 (" + first +
                                      "): Socket Error # 111: Connection refused");
}

// ---- this machine's network ----------------------------------------------------

// The chain runs in a namespace whose only way to the proxies is one link;
// with the link down every connect to the first hop finds no route. No
// proxy is set aside or counted against, the chain waits for the network,
// and it serves again as soon as the link is up. The negative control is
// the outage of every proxy above: refused connections do set them aside.
TEST_F(ChainHealTest, NetworkFailureSetsNoProxyAsideAndTheChainWaitsForTheNetwork) {
    std::string why;
    if (!VelmoraTest::TTopology::Possible(why))
        GTEST_SKIP() << why;
    VelmoraTest::TTopology net;
    using VelmoraTest::TTopology;
    std::vector<int32_t> p;
    TTopology::InNetwork(net.World(), [&] {
        Echo = std::make_unique<VelmoraTest::TEchoServer>();
        p = WorkingProxies(2, "0.0.0.0", QString::fromStdString(net.WorldAddress()));
        return 0;
    });
    int32_t rotor = 0;
    const uint16_t port = RotatingChain(rotor);
    std::vector<int32_t> changed;
    Mgr.OnProxyStatusChanged = [&](int32_t uid) { changed.push_back(uid); };
    // Its listener, connections and probes belong to the client's network.
    ASSERT_EQ(TTopology::InNetwork(net.Client(), [&] { return Mgr.StartChain(rotor) ? 1 : 0; }), 1);
    const auto echo = [&] {
        return TTopology::InNetwork(net.Client(), [&] { return EchoThrough(port); });
    };
    const auto link = [&](const char *state) {
        const auto r = VelmoraTest::RunProgram(
            {"nsenter", "--net=" + net.Client(), "ip", "link", "set", "vclient", state});
        ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    };
    ASSERT_EQ(echo(), 0);

    // The probe of a proxy tells its own failure from the network's.
    TProxData proxy;
    Store->GetProxyRecord(p[0], &proxy);
    const auto probe = [&] {
        return TTopology::InNetwork(net.Client(),
                                    [&] { return static_cast<int>(ProbeProxy(proxy, 2000)); });
    };
    EXPECT_EQ(probe(), static_cast<int>(TProbeResult::Answered));
    link("down");
    EXPECT_EQ(probe(), static_cast<int>(TProbeResult::NoNetwork));
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(echo(), 0);
    EXPECT_EQ(StateText(rotor), "waiting for the network");
    std::this_thread::sleep_for(500ms);
    QCoreApplication::processEvents();
    EXPECT_TRUE(changed.empty()) << "no proxy is marked TIME OUT";
    for (int32_t uid : p)
        EXPECT_EQ(StatusOf(uid), TProxyStatus::psAvailable);

    link("up");
    EXPECT_TRUE(WaitFor([&] { return echo() == 0; }));
    EXPECT_EQ(SettledState(rotor), "running");
    Peers[0]->Stop();
    EXPECT_EQ(probe(), static_cast<int>(TProbeResult::Failed));
    Mgr.StopAll();
    for (auto &peer : Peers)
        peer->Stop();
}

} // namespace
