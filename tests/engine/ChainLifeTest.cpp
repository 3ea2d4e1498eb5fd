// Chains at run time as their user steers them: live state, start, stop and
// restart one by one, port checks, rotation of hops on a schedule, failover
// past a dead hop, and the settings every start takes. The proxies are real
// microsocks processes; the destination is an echo server of our own.
#include "engine/chain/ChainManager.h"
#include "engine/chain/dmSocksMgr.h"
#include "engine/server/TempSocksServer.h"
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/SocksClient.h"
#include "tests/support/StoreSeed.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::Socks5Connect;

class ChainLifeTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    std::unique_ptr<TdmProxyData> Store;
    TChainManager Mgr;
    VelmoraTest::TEchoServer Echo;
    std::vector<std::unique_ptr<VelmoraTest::TMicrosocksPeer>> Peers;
    std::map<int32_t, VelmoraTest::TMicrosocksPeer *> PeerOf; // proxy UID: its process

    std::mutex Lock;
    QStringList Lines;
    std::vector<std::pair<TActivityType, QString>> Reports;

    void SetUp() override {
        if (!VelmoraTest::TMicrosocksPeer::Available())
            GTEST_SKIP() << "microsocks is not installed";
        const QString folder = Dir.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        Store = std::make_unique<TdmProxyData>(folder);
        Store->LoadData();
        Mgr.SetStore(Store.get());
        Mgr.OnMessage = [this](const QString &l) {
            std::lock_guard<std::mutex> g(Lock);
            Lines << l;
        };
        Mgr.SetOnChainActivity(
            [this](void *, int32_t, TActivityType type, const QString &text, int32_t) {
                std::lock_guard<std::mutex> g(Lock);
                Reports.emplace_back(type, text);
            });
    }

    void TearDown() override { Mgr.StopAll(); }

    // `count` microsocks proxies with status "OK"; their UIDs.
    std::vector<int32_t> WorkingProxies(int count) {
        std::vector<int32_t> uids;
        for (int i = 0; i < count; ++i) {
            Peers.push_back(std::make_unique<VelmoraTest::TMicrosocksPeer>());
            const int32_t uid =
                VelmoraTest::SeedProxy(*Store, Peers.back()->Port(), TProxyType::ptSOCKS5);
            PeerOf[uid] = Peers.back().get();
            uids.push_back(uid);
        }
        return uids;
    }

    QStringList TakeLines() {
        std::lock_guard<std::mutex> g(Lock);
        QStringList l = Lines;
        Lines.clear();
        return l;
    }
    std::vector<std::pair<TActivityType, QString>> TakeReports() {
        std::lock_guard<std::mutex> g(Lock);
        auto r = Reports;
        Reports.clear();
        return r;
    }
    // Waits, letting queued work of the user-interface thread run.
    bool WaitFor(const std::function<bool()> &done, int ms = 15000) {
        for (int waited = 0; waited < ms; waited += 10) {
            QCoreApplication::processEvents();
            if (done())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }
    // The "address:port" hops of a text such as "a:1 => b:2".
    static QStringList Hops(const QString &text) { return text.split(QStringLiteral(" => ")); }
    QString Address(int32_t proxyUID) {
        return QStringLiteral("127.0.0.1:%1").arg(PeerOf.at(proxyUID)->Port());
    }
    int32_t ProxyAt(const QString &address) {
        for (const auto &[uid, peer] : PeerOf)
            if (Address(uid) == address)
                return uid;
        return -1;
    }
    int EchoThrough(uint16_t port, const std::string &text = "ping") {
        TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
        const int code = Socks5Connect(s, Echo.Port());
        if (code != 0)
            return code;
        s.WriteAll(text);
        return VelmoraTest::ReadExactly(s, text.size()) == text ? 0 : -2;
    }
    TProxyStatus StatusOf(int32_t proxyUID) {
        TProxData p;
        Store->GetProxyRecord(proxyUID, &p);
        return p.FStatus;
    }
};

// Start, stop, restart, Stop All and Start All, each change one line naming
// the chain and its port; a chain whose proxy is not "OK" does not start
// and says how many are.
TEST_F(ChainLifeTest, StatesFollowEveryStartAndStop) {
    const std::vector<int32_t> p = WorkingProxies(1);
    const int32_t dead =
        VelmoraTest::SeedProxy(*Store, 1, TProxyType::ptSOCKS5, TProxyStatus::psUnavailable);
    const uint16_t workPort = VelmoraTest::FreeLoopbackPort();
    const uint16_t brokenPort = VelmoraTest::FreeLoopbackPort();
    const int32_t work = VelmoraTest::SeedChain(*Store, "Work", workPort, {p[0]});
    const int32_t broken = VelmoraTest::SeedChain(*Store, "Broken", brokenPort, {p[0], dead});

    EXPECT_EQ(Mgr.State(work).State, TChainRunState::Stopped);
    EXPECT_TRUE(Mgr.StartChain(work));
    EXPECT_FALSE(Mgr.StartChain(broken));
    const TChainState b = Mgr.State(broken);
    EXPECT_EQ(b.State, TChainRunState::NotStarted);
    EXPECT_EQ(b.Reason, "some proxy items not working: 1 of 2 OK");
    EXPECT_EQ(ChainStateText(b), "not started: some proxy items not working: 1 of 2 OK");
    QStringList lines = TakeLines();
    EXPECT_TRUE(lines.contains(QString("Chain \"Work\" on port %1: running").arg(workPort)));
    EXPECT_TRUE(lines.contains(QString("Chain \"Broken\" on port %1: not started (some proxy "
                                       "items not working: 1 of 2 OK)")
                                   .arg(brokenPort)));

    // A connection held open shows in the count.
    TSocket held = TSocket::Connect("127.0.0.1", workPort, 5000);
    ASSERT_EQ(Socks5Connect(held, Echo.Port()), 0);
    ASSERT_TRUE(WaitFor([&] { return Mgr.State(work).Connections == 1; }));
    EXPECT_EQ(ChainStateText(Mgr.State(work)), "running (1 connection)");
    held.Close();

    Mgr.StopChain(work);
    EXPECT_EQ(Mgr.State(work).State, TChainRunState::Stopped);
    EXPECT_THROW(TSocket::Connect("127.0.0.1", workPort, 2000), ESocketError);
    EXPECT_TRUE(TakeLines().contains(QString("Chain \"Work\" on port %1: stopped").arg(workPort)));

    EXPECT_TRUE(Mgr.RestartChain(work));
    EXPECT_EQ(EchoThrough(workPort), 0);
    Mgr.StopAll();
    EXPECT_FALSE(Mgr.AnyRunning());
    // Start All brings back every chain that can run, and reads the store
    // anew: the broken chain runs once its proxy works.
    TProxData fixed;
    fixed.FUID = dead;
    Store->UpdateProxyStatus(fixed, TProxyStatus::psAvailable);
    Mgr.StartAll();
    EXPECT_EQ(Mgr.State(work).State, TChainRunState::Running);
    EXPECT_EQ(Mgr.State(broken).State, TChainRunState::Running);
    EXPECT_EQ(EchoThrough(workPort), 0);

    // States() lists every chain of the store, the default chain included.
    const std::vector<TChainState> all = Mgr.States();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].Name, "Default");
    EXPECT_EQ(all[1].Name, "Work");
}

// A port is checked before a chain is saved: its range, the plain server's
// port, another chain's port, and a port another program holds; a running
// chain's own port is fine for itself.
TEST_F(ChainLifeTest, PortProblemsAreNamed) {
    const std::vector<int32_t> p = WorkingProxies(1);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t work = VelmoraTest::SeedChain(*Store, "Work", port, {p[0]});
    ASSERT_TRUE(Mgr.StartChain(work));
    TSocket holder = TSocket::Listen(TSocket::Family::IPv4, 0, 1);

    EXPECT_EQ(Mgr.PortProblem(0, 0), "Port must be a number from 1 to 65535");
    EXPECT_EQ(Mgr.PortProblem(0, 70000), "Port must be a number from 1 to 65535");
    EXPECT_EQ(Mgr.PortProblem(0, 9999),
              "Port 9999 is the plain SOCKS server's; choose another port");
    EXPECT_EQ(Mgr.PortProblem(0, port), QString("Port %1 is already chain Work's").arg(port));
    EXPECT_EQ(Mgr.PortProblem(0, holder.LocalPort()),
              QString("Port %1 is in use by another program").arg(holder.LocalPort()));
    EXPECT_EQ(Mgr.PortProblem(work, port), "");
    EXPECT_EQ(Mgr.PortProblem(0, VelmoraTest::FreeLoopbackPort()), "");
}

// Every start takes the settings as they are: a chain started on its own
// (not with the services) ends an idle relay after the session time-out.
TEST_F(ChainLifeTest, SessionTimeOutHoldsForAChainStartedOnItsOwn) {
    const std::vector<int32_t> p = WorkingProxies(1);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t work = VelmoraTest::SeedChain(*Store, "Work", port, {p[0]});
    Store->SetSessionsTimeout(1);
    ASSERT_TRUE(Mgr.StartChain(work));
    TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
    ASSERT_EQ(Socks5Connect(s, Echo.Port()), 0);
    ASSERT_TRUE(s.WaitReadable(10000));
    char byte;
    EXPECT_EQ(s.ReadSome(&byte, 1), 0u); // ended by the chain, not by us
    EXPECT_TRUE(WaitFor([&] {
        for (const QString &l : TakeLines())
            if (l.startsWith("Session timed out for "))
                return true;
        return false;
    }));
}

// With the local-only setting no port of the program serves a client from
// another address: not a chain's CONNECT, not a chain's BIND, not port
// 9999. Without it the same clients are served (the control).
TEST_F(ChainLifeTest, LocalOnlyHoldsForEveryPortAndCommand) {
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const std::vector<int32_t> p = WorkingProxies(1);
    const uint16_t chainPort = VelmoraTest::FreeLoopbackPort();
    VelmoraTest::SeedChain(*Store, "Work", chainPort, {p[0]});
    TdmSocksMgr services(0);
    const uint16_t plainPort = services.tempSocksServer().Port();
    services.ChainMgr().SetStore(Store.get());
    services.SetOnMessage([this](const QString &l) {
        std::lock_guard<std::mutex> g(Lock);
        Lines << l;
    });

    const auto fromOther = [](uint16_t port, uint8_t command, uint16_t dest) {
        TSocket s = VelmoraTest::ConnectFrom("127.0.0.2", port);
        if (!VelmoraTest::Socks5Greet(s.Fd()) ||
            !VelmoraTest::SendAll(s.Fd(), VelmoraTest::Socks5Request(command, dest)))
            return -1;
        return VelmoraTest::Socks5ReadReply(s.Fd());
    };

    Store->SetAllowLocalHostOnly(false);
    services.SetServiceActive(true);
    EXPECT_EQ(fromOther(chainPort, 1, Echo.Port()), 0);
    EXPECT_EQ(fromOther(chainPort, 2, 0), 7); // BIND: never on a chain's port
    EXPECT_EQ(fromOther(plainPort, 1, Echo.Port()), 0);
    EXPECT_EQ(fromOther(plainPort, 2, 0), 0); // BIND: the first reply grants it
    EXPECT_TRUE(TakeLines().contains(QStringLiteral("BIND from 127.0.0.2 refused on port %1: a "
                                                    "direct BIND would show the peer this "
                                                    "machine's own address")
                                         .arg(chainPort)));
    services.SetServiceActive(false);

    Store->SetAllowLocalHostOnly(true);
    services.SetServiceActive(true);
    EXPECT_EQ(fromOther(chainPort, 1, Echo.Port()), 2); // not allowed
    EXPECT_EQ(fromOther(chainPort, 2, 0), 2);
    EXPECT_EQ(fromOther(plainPort, 1, Echo.Port()), 2);
    EXPECT_EQ(fromOther(plainPort, 2, 0), 2);
    // This machine's own address is served all the same.
    TSocket own = TSocket::Connect("127.0.0.1", plainPort, 5000);
    EXPECT_EQ(Socks5Connect(own, Echo.Port()), 0);
    TSocket own6 = TSocket::Connect("::1", chainPort, 5000); // ::1 is as local
    EXPECT_EQ(Socks5Connect(own6, Echo.Port()), 0);

    // Unticked while running: from the next client on.
    services.ApplyLocalOnly(false);
    EXPECT_EQ(fromOther(plainPort, 1, Echo.Port()), 0);
    EXPECT_EQ(fromOther(chainPort, 1, Echo.Port()), 0);
    services.SetServiceActive(false);
    qunsetenv("XDG_RUNTIME_DIR");
}

// A rotating chain over five working proxies (and one that is not "OK"):
// three hops drawn without repeats, a new draw every second, each change
// one line; a transfer started before the changes keeps its hops and
// arrives whole; new connections take the new hops.
TEST_F(ChainLifeTest, RotatingChainChangesItsHopsOnSchedule) {
    const std::vector<int32_t> p = WorkingProxies(5);
    const int32_t notOk =
        VelmoraTest::SeedProxy(*Store, 1, TProxyType::ptSOCKS5, TProxyStatus::psUnavailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t rotor = VelmoraTest::SeedChain(*Store, "Rotor", port, {});
    VelmoraTest::SeedRotation(*Store, rotor, 1, 3);
    ASSERT_TRUE(Mgr.StartChain(rotor));
    const QString first = Mgr.State(rotor).Hops;
    const QStringList firstHops = Hops(first);
    ASSERT_EQ(firstHops.size(), 3);
    EXPECT_EQ(QSet<QString>(firstHops.begin(), firstHops.end()).size(), 3);
    EXPECT_FALSE(first.contains(":1 ") || first.endsWith(":1")) << "a proxy that is not OK";
    Q_UNUSED(notOk);

    // The long transfer: 4 MB through the first draw, written in pieces
    // over more than two changes.
    TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
    ASSERT_EQ(Socks5Connect(s, Echo.Port()), 0);
    const std::string data = VelmoraTest::Pattern(4 << 20, 7);
    std::string back;
    std::thread reader([&] { back = VelmoraTest::ReadExactly(s, data.size(), 60000); });
    for (size_t at = 0; at < data.size(); at += 128 << 10) {
        s.WriteAll(data.substr(at, 128 << 10));
        std::this_thread::sleep_for(100ms);
    }
    reader.join();
    EXPECT_EQ(VelmoraTest::Checksum(back), VelmoraTest::Checksum(data));
    EXPECT_EQ(back.size(), data.size());

    QStringList changes;
    ASSERT_TRUE(WaitFor([&] {
        for (const QString &l : TakeLines())
            if (l.startsWith("Chain \"Rotor\" now runs through "))
                changes << l.mid(QString("Chain \"Rotor\" now runs through ").size());
        return changes.size() >= 3; // the first draw and two changes
    }));
    for (const QString &c : changes) {
        const QStringList hops = Hops(c);
        EXPECT_EQ(hops.size(), 3);
        EXPECT_EQ(QSet<QString>(hops.begin(), hops.end()).size(), 3) << c.toStdString();
        for (const QString &h : hops)
            EXPECT_NE(ProxyAt(h), -1) << h.toStdString();
    }
    // A new connection walks the chain's hops of the moment.
    TakeReports();
    const QString now = Mgr.State(rotor).Hops;
    EXPECT_EQ(EchoThrough(port), 0);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> g(Lock);
        return Reports.size() >= 5;
    }));
    const auto reports = TakeReports();
    const QStringList hops = Hops(now);
    EXPECT_EQ(reports[2].second, QString(" ...Connect proxy %1 => %2").arg(hops[0], hops[1]));
}

// Hand-added proxies stay the first hops; only the rest rotate.
TEST_F(ChainLifeTest, HandAddedProxiesStayFirst) {
    const std::vector<int32_t> p = WorkingProxies(4);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t rotor = VelmoraTest::SeedChain(*Store, "Rotor", port, {p[2]});
    VelmoraTest::SeedRotation(*Store, rotor, 0, 3);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(Mgr.RestartChain(rotor));
        const QStringList hops = Hops(Mgr.State(rotor).Hops);
        ASSERT_EQ(hops.size(), 3);
        EXPECT_EQ(hops[0], Address(p[2]));
        EXPECT_FALSE(hops.mid(1).contains(Address(p[2])));
    }
    EXPECT_EQ(EchoThrough(port), 0);
}

// Too few proxies with status "OK" to draw from: the chain does not start,
// and says so.
TEST_F(ChainLifeTest, RotatingChainWithTooFewWorkingProxiesDoesNotStart) {
    WorkingProxies(2);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t rotor = VelmoraTest::SeedChain(*Store, "Rotor", port, {});
    VelmoraTest::SeedRotation(*Store, rotor, 0, 3);
    EXPECT_FALSE(Mgr.StartChain(rotor));
    EXPECT_EQ(Mgr.State(rotor).Reason, "too few proxies with status OK: 2 of 3 needed");
    EXPECT_THROW(TSocket::Connect("127.0.0.1", port, 2000), ESocketError);
}

// A drawn hop that dies: the next connection is tried once more with a
// replacement and goes through; the activity says which hop failed and
// which took its place. The dead proxy is "TIME OUT" in the store after
// three failed set-ups in a row.
TEST_F(ChainLifeTest, FailoverReplacesADeadHopAndMarksItTimeOut) {
    const std::vector<int32_t> p = WorkingProxies(4);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t rotor = VelmoraTest::SeedChain(*Store, "Rotor", port, {});
    VelmoraTest::SeedRotation(*Store, rotor, 0, 3);
    int32_t changedUID = -1;
    Mgr.OnProxyStatusChanged = [&](int32_t uid) { changedUID = uid; };

    // Kill a proxy of the first draw that is not its first hop (its
    // predecessor refuses: the blame goes to the dead one).
    ASSERT_TRUE(Mgr.StartChain(rotor));
    const QStringList first = Hops(Mgr.State(rotor).Hops);
    const int32_t victim = ProxyAt(first[1]);
    PeerOf.at(victim)->Stop();

    int failures = 0;
    for (int attempt = 0; attempt < 40 && failures < 3; ++attempt) {
        const QStringList hops = Hops(Mgr.State(rotor).Hops);
        if (!hops.contains(Address(victim))) {
            ASSERT_TRUE(Mgr.RestartChain(rotor)); // a new draw at every start
            continue;
        }
        TakeReports();
        EXPECT_EQ(EchoThrough(port), 0) << "the retry goes through a replacement";
        ++failures;
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> g(Lock);
            return std::any_of(Reports.begin(), Reports.end(), [](const auto &r) {
                return r.first == TActivityType::atDisconnected;
            });
        }));
        const auto reports = TakeReports();
        const auto failed = std::find_if(reports.begin(), reports.end(), [](const auto &r) {
            return r.first == TActivityType::atHopFailed;
        });
        ASSERT_NE(failed, reports.end());
        const int position = hops.indexOf(Address(victim)) + 1;
        EXPECT_TRUE(failed->second.startsWith(
            QString(" ...Hop %1 (%2) failed: ").arg(position).arg(Address(victim))))
            << failed->second.toStdString();
        EXPECT_TRUE(failed->second.contains(" in its place")) << failed->second.toStdString();
        // Set aside for the chain: new connections no longer take it.
        EXPECT_FALSE(Mgr.State(rotor).Hops.contains(Address(victim)));
        if (failures < 3) {
            EXPECT_EQ(StatusOf(victim), TProxyStatus::psAvailable);
        }
        ASSERT_TRUE(Mgr.RestartChain(rotor));
    }
    ASSERT_EQ(failures, 3);
    EXPECT_TRUE(WaitFor([&] { return StatusOf(victim) == TProxyStatus::psUnavailable; }));
    EXPECT_EQ(changedUID, victim);
    EXPECT_TRUE(TakeLines().filter("failed 3 connections in a row: TIME OUT").size() == 1);
    // The pool is read at each start: the dead proxy is drawn no more.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Mgr.RestartChain(rotor));
        EXPECT_FALSE(Mgr.State(rotor).Hops.contains(Address(victim)));
    }
}

// The end of a connection carries the bytes its tunnel moved, both ways
// together, and comes right before its "...Disconnected" report. The count
// is exact: the client's payload (the bytes it sent along with its request
// included) and the destination's answer; none of the SOCKS or hop
// handshakes. A connection that never got through moved nothing.
TEST_F(ChainLifeTest, ConnectionEndCarriesTheBytesMovedBeforeItsDisconnectedReport) {
    const std::vector<int32_t> p = WorkingProxies(2);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t chain = VelmoraTest::SeedChain(*Store, "Counted", port, {p[0], p[1]});
    struct TEvent {
        bool Disconnected;
        int32_t Context;
        uint64_t Bytes;
    };
    std::vector<TEvent> events; // under Lock
    const auto count = [&] {
        std::lock_guard<std::mutex> g(Lock);
        return events.size();
    };
    Mgr.SetOnChainActivity(
        [&](void *, int32_t, TActivityType type, const QString &text, int32_t ctx) {
            if (type != TActivityType::atDisconnected)
                return;
            EXPECT_EQ(text, "...Disconnected");
            std::lock_guard<std::mutex> g(Lock);
            events.push_back({true, ctx, 0});
        });
    Mgr.SetOnConnectionEnd([&](void *sender, int32_t uid, int32_t ctx, uint64_t bytes) {
        EXPECT_EQ(sender, &Mgr);
        EXPECT_EQ(uid, chain);
        std::lock_guard<std::mutex> g(Lock);
        events.push_back({false, ctx, bytes});
    });
    ASSERT_TRUE(Mgr.StartChain(chain));

    // The destination takes what the client sends, answers, and waits for
    // the client to close (microsocks ends both ways at the first end).
    constexpr size_t Early = 400, Sent = 300000, Reply = 200000;
    VelmoraTest::TLoopbackServer sink([&](TSocket &client) {
        if (VelmoraTest::ReadExactly(client, Sent).size() != Sent)
            return;
        client.WriteAll(VelmoraTest::Pattern(Reply, 6));
        VelmoraTest::ReadAll(client, SIZE_MAX, 10000);
    });
    const std::string data = VelmoraTest::Pattern(Sent, 5);
    {
        TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
        ASSERT_TRUE(VelmoraTest::Socks5Greet(s.Fd()));
        // The first bytes right behind the request, before the tunnel exists.
        ASSERT_TRUE(VelmoraTest::SendAll(s.Fd(), VelmoraTest::Socks5Request(1, sink.Port()) +
                                                     data.substr(0, Early)));
        ASSERT_EQ(VelmoraTest::Socks5ReadReply(s.Fd()), 0);
        s.WriteAll(data.substr(Early));
        EXPECT_EQ(VelmoraTest::ReadExactly(s, Reply).size(), Reply);
    }
    ASSERT_TRUE(WaitFor([&] { return count() == 2; }));
    {
        // A destination nobody listens on: the last hop refuses it.
        TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
        EXPECT_GT(Socks5Connect(s, VelmoraTest::FreeLoopbackPort()), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return count() == 4; }));
    std::lock_guard<std::mutex> g(Lock);
    EXPECT_FALSE(events[0].Disconnected);
    EXPECT_EQ(events[0].Bytes, Sent + Reply);
    EXPECT_TRUE(events[1].Disconnected);
    EXPECT_EQ(events[1].Context, events[0].Context);
    EXPECT_FALSE(events[2].Disconnected);
    EXPECT_EQ(events[2].Bytes, 0u);
    EXPECT_TRUE(events[3].Disconnected);
    EXPECT_EQ(events[3].Context, events[2].Context);
}

} // namespace
