// The chain runtime and the chain manager, with our own plain SOCKS servers as
// the chain's proxies and an echo server as the destination.
#include "engine/chain/ChainManager.h"
#include "engine/chain/LaunchHandOff.h"
#include "engine/chain/dmSocksMgr.h"
#include "engine/server/TempSocksServer.h"
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/Process.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/StoreSeed.h"

#include <QStringList>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::Socks5Connect;

// Lines and reports collected from several threads.
struct TLog {
    std::mutex Lock;
    QStringList Lines;
    struct TReport {
        int32_t Chain;
        TActivityType Type;
        QString Text;
        int32_t Context;
    };
    std::vector<TReport> Reports;

    void Line(const QString &l) {
        std::lock_guard<std::mutex> g(Lock);
        Lines << l;
    }
    QStringList TakeLines() {
        std::lock_guard<std::mutex> g(Lock);
        return Lines;
    }
    std::vector<TReport> TakeReports() {
        std::lock_guard<std::mutex> g(Lock);
        return Reports;
    }
};

bool WaitUntil(const std::function<bool()> &done, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// A store in a temporary folder with helpers to make proxies and chains.
struct TStoreFixture {
    QTemporaryDir Dir;
    std::unique_ptr<TdmProxyData> Store;

    TStoreFixture() {
        const QString folder = Dir.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        Store = std::make_unique<TdmProxyData>(folder);
        Store->LoadData(); // makes the "Default" chain, which has no items
    }

    int32_t AddProxy(uint16_t port, TProxyType type, TProxyStatus status) {
        return VelmoraTest::SeedProxy(*Store, port, type, status);
    }

    int32_t AddChain(const QString &name, uint16_t port, const std::vector<int32_t> &proxies) {
        return VelmoraTest::SeedChain(*Store, name, port, proxies);
    }
};

std::string EchoBack(TSocket &s, const std::string &text) {
    s.WriteAll(text);
    std::string back(text.size(), '\0');
    s.ReadExact(back.data(), back.size());
    return back;
}

class ChainManagerTest : public ::testing::Test {
protected:
    TStoreFixture F;
    TLog Log;
    TChainManager Mgr;
    VelmoraTest::TEchoServer Echo;
    std::vector<std::unique_ptr<TTempSocksServer>> Proxies;

    void SetUp() override {
        Mgr.SetStore(F.Store.get());
        Mgr.OnMessage = [this](const QString &l) { Log.Line(l); };
        Mgr.SetOnChainActivity([this](void *sender, int32_t chain, TActivityType type,
                                      const QString &text, int32_t ctx) {
            EXPECT_EQ(sender, &Mgr);
            std::lock_guard<std::mutex> g(Log.Lock);
            Log.Reports.push_back({chain, type, text, ctx});
        });
    }

    uint16_t StartProxy() {
        Proxies.push_back(std::make_unique<TTempSocksServer>(0));
        Proxies.back()->Start();
        return Proxies.back()->Port();
    }

    void StartAll() {
        Log.Line("Starting services...");
        for (const TDataTable::TRow *row : F.Store->cdsChainedProxies().VisibleRows()) {
            const TFieldValue v = F.Store->cdsChainedProxies().RowValue(
                *row, F.Store->cdsChainedProxies().FieldIndex("UID"));
            Mgr.Add(static_cast<int32_t>(std::get<int64_t>(v)));
        }
        Mgr.StartAll(TChainSource::Admitted);
    }
};

TEST_F(ChainManagerTest, AdmitsOnlyWorkingChainsAndReportsEachStep) {
    const uint16_t p1 = StartProxy(), p2 = StartProxy();
    const int32_t a = F.AddProxy(p1, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const int32_t b = F.AddProxy(p2, TProxyType::ptSOCKS45, TProxyStatus::psAvailable);
    const int32_t dead = F.AddProxy(1, TProxyType::ptSOCKS5, TProxyStatus::psUnavailable);
    const uint16_t portA = VelmoraTest::FreeLoopbackPort();
    const uint16_t portC = VelmoraTest::FreeLoopbackPort();
    const int32_t chainA = F.AddChain("A", portA, {a, b});
    F.AddChain("B", 4711, {dead});
    F.AddChain("C", portC, {b});

    StartAll();
    EXPECT_EQ(Mgr.Chains().size(), 2u);
    EXPECT_TRUE(Mgr.Active());
    EXPECT_EQ(
        Log.TakeLines(),
        QStringList({"Starting services...",
                     "chain on port 1080 not started (some proxy items not working)",
                     "Chain \"Default\" on port 1080: not started (the chain has no proxies)",
                     "chain on port 4711 not started (some proxy items not working)",
                     "Chain \"B\" on port 4711: not started (some proxy items not working: 0 of 1 "
                     "OK)",
                     QString("Listening on port %1").arg(portA),
                     QString("Chain \"A\" on port %1: running").arg(portA),
                     QString("Listening on port %1").arg(portC),
                     QString("Chain \"C\" on port %1: running").arg(portC), "Services started"}));
    EXPECT_EQ(Mgr.State(chainA).State, TChainRunState::Running);
    EXPECT_EQ(Mgr.State(1).Reason, "the chain has no proxies");
    EXPECT_EQ(Mgr.Add(chainA), -1); // already there

    {
        TSocket s = TSocket::Connect("127.0.0.1", portA, 2000);
        ASSERT_EQ(Socks5Connect(s, Echo.Port()), 0);
        EXPECT_EQ(EchoBack(s, "through two hops"), "through two hops");
    }
    ASSERT_TRUE(WaitUntil([&] { return Log.TakeReports().size() >= 5; }));
    const auto reports = Log.TakeReports();
    ASSERT_EQ(reports.size(), 5u);
    const int32_t ctx = reports[0].Context;
    EXPECT_GE(ctx, 0);
    EXPECT_LT(ctx, 1000000);
    const QString dest = QString("127.0.0.1:%1").arg(Echo.Port());
    const QString texts[] = {
        "Request connect to " + dest,
        QString(" ...Connect Chain 127.0.0.1:%1").arg(portA),
        QString(" ...Connect proxy 127.0.0.1:%1 => 127.0.0.1:%2").arg(p1).arg(p2),
        QString(" ...Connect proxy 127.0.0.1:%1 => ").arg(p2) + dest,
        "...Disconnected",
    };
    const TActivityType types[] = {
        TActivityType::atConnectRequest, TActivityType::atConnectLocalProxy,
        TActivityType::atConnectChainedProxy, TActivityType::atConnectChainedProxy,
        TActivityType::atDisconnected};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(reports[i].Text, texts[i]) << i;
        EXPECT_EQ(reports[i].Type, types[i]) << i;
        EXPECT_EQ(reports[i].Chain, chainA);
        EXPECT_EQ(reports[i].Context, ctx);
    }

    Mgr.StopAll();
    EXPECT_TRUE(Mgr.Chains().empty());
    EXPECT_FALSE(Mgr.Active());
    EXPECT_THROW(TSocket::Connect("127.0.0.1", portA, 2000), ESocketError);
}

TEST_F(ChainManagerTest, FailingHopIsReportedThenDisconnected) {
    const uint16_t p1 = StartProxy();
    const int32_t a = F.AddProxy(p1, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    // The second hop is "working" in the store but nothing listens there.
    const uint16_t closed = VelmoraTest::FreeLoopbackPort();
    const int32_t b = F.AddProxy(closed, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    F.AddChain("A", port, {a, b});
    StartAll();

    TSocket s = TSocket::Connect("127.0.0.1", port, 2000);
    EXPECT_EQ(Socks5Connect(s, Echo.Port()), 4); // host unreachable
    ASSERT_TRUE(WaitUntil([&] { return Log.TakeReports().size() >= 5; }));
    const auto r = Log.TakeReports();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[2].Type, TActivityType::atConnectFailed);
    EXPECT_EQ(
        r[2].Text,
        QString(" ...Connect proxy 127.0.0.1:%1 => 127.0.0.1:%2 [FAILED]").arg(p1).arg(closed));
    // The first proxy answered with a failure: the hop to blame is the
    // second, which it could not reach. A fixed chain tries nothing else.
    EXPECT_EQ(r[3].Type, TActivityType::atHopFailed);
    EXPECT_TRUE(r[3].Text.startsWith(QString(" ...Hop 2 (127.0.0.1:%1) failed: ").arg(closed)))
        << r[3].Text.toStdString();
    EXPECT_FALSE(r[3].Text.contains("in its place"));
    EXPECT_EQ(r[4].Type, TActivityType::atDisconnected);
}

TEST_F(ChainManagerTest, LocalOnlyRejectsOtherLoopbackAddressWithoutReports) {
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    F.AddChain("A", port, {a});
    F.Store->SetAllowLocalHostOnly(true);
    StartAll();

    TSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    ASSERT_EQ(::bind(s.Fd(), reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(::connect(s.Fd(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    EXPECT_EQ(Socks5Connect(s, Echo.Port()), 2); // not allowed by ruleset

    ASSERT_TRUE(
        WaitUntil([&] { return Log.TakeLines().contains("Rejected connection from 127.0.0.2"); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Log.TakeReports().empty());

    // 127.0.0.1 itself is served.
    TSocket ok = TSocket::Connect("127.0.0.1", port, 2000);
    EXPECT_EQ(Socks5Connect(ok, Echo.Port()), 0);
}

namespace {

// Both ends of a loopback connection whose accepted end has peer `source`:
// the accepted end stands for a launched program's redirected connection.
VelmoraTest::TSocketPair ProgramConnection(const std::string &source) {
    TSocket listener = TSocket::Listen(TSocket::Family::IPv4, 0, 4, true);
    VelmoraTest::TSocketPair pair;
    pair.Near = VelmoraTest::ConnectFrom(source, listener.LocalPort());
    pair.Far = listener.Accept();
    return pair;
}

bool ResetOrEnded(TSocket &s) {
    try {
        char byte;
        return s.ReadSome(&byte, 1) == 0;
    } catch (const ESocketError &) {
        return true;
    }
}

} // namespace

// A launched program's connection handed to the chain with its destination
// is carried like a CONNECT and reported the same way, with no SOCKS reply
// in its stream; the local-only rule does not apply to it; a failure resets
// it; a port with no chain does not take it.
TEST_F(ChainManagerTest, HandedConnectionsAreCarriedWithoutAnyReply) {
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    F.AddChain("A", port, {a});
    F.Store->SetAllowLocalHostOnly(true);
    StartAll();

    VelmoraTest::TSocketPair program = ProgramConnection("127.0.0.2");
    program.Near.WriteAll(std::string("early")); // sent before the chain has it
    ASSERT_TRUE(Mgr.HandConnection(port, std::move(program.Far), "127.0.0.1", Echo.Port()));
    EXPECT_EQ(VelmoraTest::ReadExactly(program.Near, 5), "early");
    EXPECT_EQ(EchoBack(program.Near, "and more"), "and more");
    ASSERT_TRUE(WaitUntil([&] {
        for (const auto &r : Log.TakeReports())
            if (r.Text == QStringLiteral("Request connect to 127.0.0.1:%1").arg(Echo.Port()))
                return true;
        return false;
    }));

    VelmoraTest::TSocketPair refused = ProgramConnection("127.0.0.1");
    ASSERT_TRUE(Mgr.HandConnection(port, std::move(refused.Far), "127.0.0.1",
                                   VelmoraTest::FreeLoopbackPort()));
    EXPECT_TRUE(ResetOrEnded(refused.Near));

    VelmoraTest::TSocketPair nowhere = ProgramConnection("127.0.0.1");
    EXPECT_FALSE(Mgr.HandConnection(VelmoraTest::FreeLoopbackPort(), std::move(nowhere.Far),
                                    "127.0.0.1", Echo.Port()));
}

// Connections handed over while the chain stops and starts again: the
// hand-off serves each on a share of the chain of its own, which a stop
// meanwhile does not take away (the sanitizers' runs would see a use of a
// dropped chain, or its switch read unguarded).
TEST_F(ChainManagerTest, HandOffRacingStopsServesOnItsOwnShare) {
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t chain = F.AddChain("A", port, {a});
    std::atomic<bool> done{false};
    std::thread handOff([&] {
        while (!done) {
            VelmoraTest::TSocketPair program = ProgramConnection("127.0.0.1");
            Mgr.HandConnection(port, std::move(program.Far), "127.0.0.1", Echo.Port());
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(Mgr.StartChain(chain));
        Mgr.StopChain(chain);
    }
    done = true;
    handOff.join();
    VelmoraTest::TSocketPair late = ProgramConnection("127.0.0.1");
    EXPECT_FALSE(Mgr.HandConnection(port, std::move(late.Far), "127.0.0.1", Echo.Port()));
}

// The hand-off socket of a running instance: its owner hands a connection
// to a chain through it; another user cannot even reach it (the control,
// the same attempt as its owner, does).
TEST_F(ChainManagerTest, TheLaunchHandOffSocketServesOnlyItsOwnUser) {
    QTemporaryDir runtime;
    const QByteArray before = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    F.AddChain("A", port, {a});
    StartAll();
    TLaunchHandOff handOff(Mgr);
    ASSERT_TRUE(handOff.Start());
    TLaunchHandOff second(Mgr);
    EXPECT_FALSE(second.Start()); // the running one keeps its socket

    std::string problem;
    TSocket launcher = TLaunchHandOff::Connect(problem);
    ASSERT_TRUE(launcher.Valid()) << problem;
    VelmoraTest::TSocketPair program = ProgramConnection("127.0.0.1");
    ASSERT_TRUE(
        TLaunchHandOff::Send(launcher.Fd(), port, "127.0.0.1", Echo.Port(), program.Far.Fd()));
    program.Far.Close(); // the chain holds its own copy
    EXPECT_EQ(EchoBack(program.Near, "through the socket"), "through the socket");

    if (::geteuid() == 0 && ::access("/usr/bin/python3", X_OK) == 0 &&
        VelmoraTest::ProgramAvailable("setpriv")) {
        const std::string attempt =
            "import socket,sys\n"
            "s=socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
            "try:\n s.connect(sys.argv[1])\nexcept PermissionError:\n sys.exit(3)\n";
        const auto connectAs = [&](const std::vector<std::string> &user) {
            std::vector<std::string> args = user;
            for (const std::string &a : {std::string("/usr/bin/python3"), std::string("-c"),
                                         attempt, TLaunchHandOff::SocketPath()})
                args.push_back(a);
            VelmoraTest::TProcess p(args, {});
            return p.WaitExit(20000);
        };
        EXPECT_EQ(connectAs({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}), 3);
        EXPECT_EQ(connectAs({"setpriv", "--reuid=0"}), 0);
    }
    handOff.Stop();
    EXPECT_FALSE(TLaunchHandOff::Connect(problem).Valid());
    EXPECT_EQ(problem, "");
    if (before.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", before);
}

TEST_F(ChainManagerTest, StoppingWhileRelayingEndsConnectionsWithoutDisconnectReports) {
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    const int32_t chain = F.AddChain("A", port, {a});
    StartAll();
    std::vector<TSocket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(TSocket::Connect("127.0.0.1", port, 2000));
        ASSERT_EQ(Socks5Connect(clients.back(), Echo.Port()), 0);
        EXPECT_EQ(EchoBack(clients.back(), "live"), "live");
    }
    EXPECT_TRUE(Mgr.StopChain(chain, TChainStop::KeepListed));
    EXPECT_TRUE(Log.TakeLines().contains(QString("Stopped listening on port %1").arg(port)));
    for (TSocket &c : clients) {
        char byte;
        ASSERT_TRUE(c.WaitReadable(5000));
        EXPECT_EQ(c.ReadSome(&byte, 1), 0u); // the relay ended
    }
    for (const auto &r : Log.TakeReports())
        EXPECT_NE(r.Type, TActivityType::atDisconnected);
    EXPECT_FALSE(Mgr.StopChain(chain, TChainStop::KeepListed)); // not active any more
    EXPECT_EQ(Mgr.Chains().size(), 1u);
    EXPECT_EQ(Mgr.Add(chain), -1);
    EXPECT_TRUE(Mgr.StartChain(chain, TChainSource::Admitted));
    TSocket again = TSocket::Connect("127.0.0.1", port, 2000);
    EXPECT_EQ(Socks5Connect(again, Echo.Port()), 0);
}

// Two chains on one port and a third on a port another program holds: each
// clash stops only its own chain, with the reason in its state, and the
// rest start.
TEST_F(ChainManagerTest, PortClashStopsOnlyThatChain) {
    const int32_t a = F.AddProxy(StartProxy(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const uint16_t port = VelmoraTest::FreeLoopbackPort();
    TSocket holder = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    const int32_t first = F.AddChain("first", port, {a});
    const int32_t second = F.AddChain("second", port, {a});
    const int32_t busy = F.AddChain("busy", holder.LocalPort(), {a});
    const uint16_t fourthPort = VelmoraTest::FreeLoopbackPort();
    const int32_t fourth = F.AddChain("fourth", fourthPort, {a});
    EXPECT_NO_THROW(StartAll());
    const QStringList lines = Log.TakeLines();
    EXPECT_EQ(lines.count(QString("Listening on port %1").arg(port)), 1);
    EXPECT_TRUE(lines.contains(
        QString("Chain \"second\" on port %1: not started (port %1 is also chain first's)")
            .arg(port)));
    EXPECT_TRUE(lines.contains(QString("Chain \"busy\" on port %1: not started (port %1 is in "
                                       "use by another program)")
                                   .arg(holder.LocalPort())));
    EXPECT_TRUE(lines.contains("Services started"));
    EXPECT_TRUE(Mgr.Active());
    EXPECT_EQ(Mgr.State(first).State, TChainRunState::Running);
    EXPECT_EQ(Mgr.State(second).State, TChainRunState::NotStarted);
    EXPECT_EQ(Mgr.State(busy).State, TChainRunState::NotStarted);
    EXPECT_EQ(Mgr.State(fourth).State, TChainRunState::Running);
    TSocket s = TSocket::Connect("127.0.0.1", fourthPort, 2000);
    EXPECT_EQ(Socks5Connect(s, Echo.Port()), 0);

    // The port freed, the chain starts on request.
    holder.Close();
    EXPECT_TRUE(Mgr.StartChain(busy));
    EXPECT_EQ(Mgr.State(busy).State, TChainRunState::Running);
    Mgr.StopAll();
    EXPECT_EQ(Mgr.State(first).State, TChainRunState::Stopped);
}

TEST_F(ChainManagerTest, UnknownChainsAndEmptyChains) {
    EXPECT_THROW(Mgr.Add(999), EVelmoraError);
    EXPECT_THROW(Mgr.Remove(999), EVelmoraError);
    try {
        Mgr.StartChain(1, TChainSource::Admitted); // the Default chain exists but was never added
        FAIL();
    } catch (const EVelmoraError &e) {
        EXPECT_STREQ(e.what(), "error get ProxyChain() ");
    }
    EXPECT_EQ(Mgr.Add(1), -1); // no items
    EXPECT_TRUE(
        Log.TakeLines().contains("chain on port 1080 not started (some proxy items not working)"));
}

TEST(ServiceModule, PlainServerServesWhileChainsAreOffAndSwitchSendsLines) {
    TStoreFixture f;
    VelmoraTest::TEchoServer echo;
    const uint16_t plain = VelmoraTest::FreeLoopbackPort();
    TdmSocksMgr mgr(plain);
    TLog log;
    mgr.SetOnMessage([&](const QString &l) { log.Line(l); });
    mgr.ChainMgr().SetStore(f.Store.get());
    EXPECT_FALSE(mgr.ServiceActive());
    {
        TSocket s = TSocket::Connect("127.0.0.1", plain, 2000);
        ASSERT_EQ(Socks5Connect(s, echo.Port()), 0);
        EXPECT_EQ(EchoBack(s, "direct"), "direct");
    }
    mgr.SetServiceActive(true);
    EXPECT_TRUE(mgr.ServiceActive());
    mgr.SetServiceActive(false);
    EXPECT_FALSE(mgr.ServiceActive());
    EXPECT_EQ(log.TakeLines(),
              QStringList({"Starting services...",
                           "chain on port 1080 not started (some proxy items not working)",
                           "Chain \"Default\" on port 1080: not started (the chain has no proxies)",
                           "Services started", "Stopping services..."}));
    // A second module cannot take the same port.
    try {
        TdmSocksMgr second(plain);
        FAIL();
    } catch (const EVelmoraError &e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
}

} // namespace
