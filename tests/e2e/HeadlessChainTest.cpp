// The real program, started headless, carries curl's requests through a
// chain of three independent proxies: microsocks (SOCKS 5), then tinyproxy
// (HTTP CONNECT), then dante (SOCKS 4), to an HTTP server of the test; it
// serves port 9999 alone, and SIGHUP restarts its chains from the store.
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

namespace {

using namespace VelmoraTest;
using VelmoraTest::RunProgram;
using VelmoraTest::TLoopbackServer;

constexpr size_t kBigSize = 32 * 1024 * 1024;

const std::string &BigBody() {
    static const std::string body = VelmoraTest::Pattern(kBigSize, 11);
    return body;
}

TLoopbackServer::TBody HttpServer() {
    return VelmoraTest::HttpPageBody([](const std::string &path) {
        return path == "/big" ? BigBody() : std::string("hello through the chain\n");
    });
}

// A data folder with the three proxies (all "OK") in one chain on `port`,
// and a second chain whose first proxy refuses connections.
struct TDataHome {
    QTemporaryDir Dir;
    QString Folder() const { return Dir.path() + "/VelmoraAnonymizer/"; }

    int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type) {
        return SeedProxy(store, port, type);
    }

    void AddChain(TdmProxyData &store, const QString &name, uint16_t port,
                  const std::vector<int32_t> &proxies) {
        SeedChain(store, name, port, proxies);
    }
};

QByteArray Sha256(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

#define REQUIRE_PEERS()                                                                            \
    if (!TMicrosocksPeer::Available() || !TTinyproxyPeer::Available() ||                           \
        !TDantePeer::Available() || !ProgramAvailable("curl"))                                     \
    GTEST_SKIP() << "microsocks, tinyproxy, danted and curl are needed"

TEST(HeadlessChain, CurlThroughThreeRealProxiesInOrder) {
    REQUIRE_PEERS();
    TMicrosocksPeer socks5;
    TTinyproxyPeer http;
    TDantePeer socks4;
    TLoopbackServer web(HttpServer());

    TDataHome home;
    const uint16_t chainPort = FreeLoopbackPort();
    const uint16_t refusingPort = FreeLoopbackPort();
    {
        TdmProxyData::ProvisionDataFolder(home.Folder());
        TdmProxyData store(home.Folder());
        store.LoadData();
        const int32_t a = home.AddProxy(store, socks5.Port(), TProxyType::ptSOCKS5);
        const int32_t b = home.AddProxy(store, http.Port(), TProxyType::ptHTTP);
        const int32_t c = home.AddProxy(store, socks4.Port(), TProxyType::ptSOCKS4);
        const int32_t dead = home.AddProxy(store, FreeLoopbackPort(), TProxyType::ptSOCKS5);
        home.AddChain(store, "Real", chainPort, {a, b, c});
        home.AddChain(store, "Refusing", refusingPort, {dead, b});
    }

    TVelmoraProcess velmora({"--headless"}, home.Dir.path());
    ASSERT_TRUE(velmora.WaitForLine("Services started"))
        << velmora.Lines().join("\n").toStdString();
    EXPECT_TRUE(velmora.Lines().contains(QString("Listening on port %1").arg(chainPort)));

    const std::string proxy = "127.0.0.1:" + std::to_string(chainPort);
    const std::string small = "http://127.0.0.1:" + std::to_string(web.Port()) + "/";
    const std::string byName = "http://localhost:" + std::to_string(web.Port()) + "/";
    // Every form of request is carried by address. By name it reaches the
    // last proxy, danted as SOCKS 4, which takes no names (SOCKS 4a): the
    // request fails, the reason is in the activity, and the name is never
    // looked up here instead.
    struct {
        const char *flag;
        std::string url;
        bool carried;
    } runs[] = {{"--socks4", small, true},
                {"--socks4a", byName, false},
                {"--socks5", small, true},
                {"--socks5-hostname", byName, false}};
    for (const auto &run : runs) {
        const auto r = RunProgram({"curl", "-sS", "--max-time", "30", run.flag, proxy, run.url});
        EXPECT_EQ(r.ExitCode == 0, run.carried) << run.flag << ": " << r.Err;
        EXPECT_EQ(r.Out, run.carried ? "hello through the chain\n" : "") << run.flag;
    }
    EXPECT_TRUE(WaitFor([&] {
        return velmora.Lines().filter("cannot look names up itself").size() == 2;
    })) << velmora.Lines().join("\n").toStdString();

    // A large body arrives whole.
    QTemporaryDir out;
    const std::string file = (out.path() + "/big").toStdString();
    const auto big =
        RunProgram({"curl", "-sS", "--max-time", "120", "--socks5-hostname", proxy, "-o", file,
                    "http://127.0.0.1:" + std::to_string(web.Port()) + "/big"},
                   150000);
    ASSERT_EQ(big.ExitCode, 0) << big.Err;
    QFile got(QString::fromStdString(file));
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    const QByteArray received = got.readAll();
    EXPECT_EQ(received.size(), static_cast<qsizetype>(kBigSize));
    EXPECT_EQ(Sha256(received), Sha256(QByteArray::fromStdString(BigBody())));

    // Each proxy passed the connection to the next one, in order.
    EXPECT_NE(http.ReadLog().find("127.0.0.1:" + std::to_string(socks4.Port())), std::string::npos)
        << http.ReadLog();
    EXPECT_NE(socks4.ReadLog().find("127.0.0.1." + std::to_string(web.Port())), std::string::npos)
        << socks4.ReadLog();
    socks5.Stop(); // microsocks writes its log as it ends
    EXPECT_NE(socks5.ReadLog().find("connected to 127.0.0.1:" + std::to_string(http.Port())),
              std::string::npos)
        << socks5.ReadLog();

    // One connection's activity block, as the window would show it.
    const QStringList lines = velmora.Lines();
    const QString request = QString("] Request connect to 127.0.0.1:%1").arg(web.Port());
    QString contextTag;
    for (const QString &l : lines)
        if (l.endsWith(request)) {
            contextTag = l.left(l.indexOf(']') + 1);
            break;
        }
    ASSERT_FALSE(contextTag.isEmpty()) << lines.join("\n").toStdString();
    QStringList block;
    for (const QString &l : lines)
        if (l.startsWith(contextTag + " "))
            block << l.mid(contextTag.size() + 1);
    EXPECT_EQ(block, QStringList({
                         QString("Request connect to 127.0.0.1:%1").arg(web.Port()),
                         QString(" ...Connect Chain 127.0.0.1:%1").arg(chainPort),
                         QString(" ...Connect proxy 127.0.0.1:%1 => 127.0.0.1:%2")
                             .arg(socks5.Port())
                             .arg(http.Port()),
                         QString(" ...Connect proxy 127.0.0.1:%1 => 127.0.0.1:%2")
                             .arg(http.Port())
                             .arg(socks4.Port()),
                         QString(" ...Connect proxy 127.0.0.1:%1 => 127.0.0.1:%2")
                             .arg(socks4.Port())
                             .arg(web.Port()),
                         "...Disconnected",
                     }));

    // A first proxy that refuses: SOCKS 5 code 4, SOCKS 4 reply 91.
    {
        TSocket s = TSocket::Connect("127.0.0.1", refusingPort, 2000);
        EXPECT_EQ(VelmoraTest::Socks5Connect(s, 80), 4);
    }
    {
        TSocket s = TSocket::Connect("127.0.0.1", refusingPort, 2000);
        const unsigned char req[] = {4, 1, 0, 80, 127, 0, 0, 1, 0};
        s.WriteAll(req, sizeof req);
        unsigned char reply[8];
        s.ReadExact(reply, 8);
        EXPECT_EQ(reply[1], 91);
    }

    EXPECT_EQ(velmora.Terminate(), 0);
    EXPECT_TRUE(velmora.Lines().contains("Stopping services..."));
}

TEST(HeadlessChain, PlainServerOnPort9999AndSecondCopyRefused) {
    if (!ProgramAvailable("curl"))
        GTEST_SKIP();
    TLoopbackServer web(HttpServer());
    TDataHome home; // first run: the folder does not exist yet
    TVelmoraProcess velmora({"--headless"}, home.Dir.path());
    ASSERT_TRUE(velmora.WaitForLine("Services started"));
    EXPECT_TRUE(QFile::exists(home.Folder() + "Proxies.cds"));
    const auto r = RunProgram({"curl", "-sS", "--max-time", "10", "--socks5", "127.0.0.1:9999",
                               "http://127.0.0.1:" + std::to_string(web.Port()) + "/"});
    EXPECT_EQ(r.Out, "hello through the chain\n") << r.Err;

    // A second copy on the same data folder finds the running one.
    TVelmoraProcess second({"--headless"}, home.Dir.path());
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_TRUE(second.Lines().contains(
        QString("Velmora is already running (process %1, without a window); steer it with "
                "\"velmora chain ...\"")
            .arg(velmora.Pid())))
        << second.Lines().join("\n").toStdString();
    // One that finds no instance (its runtime folder is another) but port
    // 9999 taken says so.
    TDataHome other;
    TVelmoraProcess third({"--headless"}, other.Dir.path());
    EXPECT_NE(third.WaitExit(), 0);
    EXPECT_TRUE(
        third.Lines().contains("Could not bind socket. Address and port are already in use."))
        << third.Lines().join("\n").toStdString();
    EXPECT_EQ(velmora.Terminate(), 0);
}

namespace {

// The listening sockets of process `pid` on `port`, as /proc shows them
// ("0100007F" is 127.0.0.1, "00000000" every IPv4 interface; IPv6 in 32
// hex digits).
std::set<std::string> ListeningOn(pid_t pid, uint16_t port) {
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, "%04X", port);
    std::set<std::string> found;
    for (const char *table : {"tcp", "tcp6"}) {
        QFile file(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            // sl local remote state ...; 0A is LISTEN.
            if (f.size() > 3 && f[3] == "0A" && f[1].endsWith(":" + QByteArray(hexPort)))
                found.insert(f[1].left(f[1].indexOf(':')).toStdString());
        }
    }
    return found;
}

} // namespace

// A new data folder keeps port 9999 on loopback (127.0.0.1 and ::1) and
// says nothing about it; a stored "off" opens it to every interface, which
// start-up says in one line (the control: the probe sees the wide socket).
// A damaged cap in Servers.conf is named and the default holds.
TEST(HeadlessChain, LocalOnlyDecidesWherePort9999Listens) {
    const std::set<std::string> loopback = {"0100007F", "00000000000000000000000001000000"};
    const std::set<std::string> everywhere = {"00000000", "00000000000000000000000000000000"};
    const QString exposed = "Local-only is off: other machines on the network can use port "
                            "9999 and every chain's port";
    for (bool localOnly : {true, false}) {
        TDataHome home;
        if (!localOnly) {
            TdmProxyData::ProvisionDataFolder(home.Folder());
            TdmProxyData store(home.Folder());
            store.LoadData();
            store.SetAllowLocalHostOnly(false);
            QDir().mkpath(home.Dir.path() + "/config/VelmoraAnonumizer");
            QFile conf(home.Dir.path() + "/config/VelmoraAnonumizer/Servers.conf");
            ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
            conf.write("[General]\nMaxClients=0\n");
        }
        TVelmoraProcess velmora({"--headless"}, home.Dir.path());
        ASSERT_TRUE(velmora.WaitForLine("Services started"));
        EXPECT_EQ(ListeningOn(velmora.Pid(), 9999), localOnly ? loopback : everywhere);
        EXPECT_EQ(velmora.Lines().contains(exposed), !localOnly)
            << velmora.Lines().join("\n").toStdString();
        EXPECT_EQ(!velmora.Lines()
                       .filter("MaxClients is not a whole number from 1 to 65535; "
                               "1024 clients are served at once")
                       .isEmpty(),
                  !localOnly);
        EXPECT_EQ(velmora.Terminate(), 0);
    }
}

// At start-up a port another program holds stops only its own chain; the
// state lines say why; curl goes through a fixed and a rotating chain, and
// through the rotating one still when a hop it drew has died.
TEST(HeadlessChain, BusyPortStopsOnlyItsChainAndRotatingChainFailsOver) {
    if (!TMicrosocksPeer::Available() || !ProgramAvailable("curl"))
        GTEST_SKIP() << "microsocks and curl are needed";
    std::vector<std::unique_ptr<TMicrosocksPeer>> peers;
    for (int i = 0; i < 4; ++i)
        peers.push_back(std::make_unique<TMicrosocksPeer>());
    TLoopbackServer web(HttpServer());
    TSocket holder = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    TDataHome home;
    const uint16_t work = FreeLoopbackPort();
    const uint16_t rotor = FreeLoopbackPort();
    {
        TdmProxyData::ProvisionDataFolder(home.Folder());
        TdmProxyData store(home.Folder());
        store.LoadData();
        std::vector<int32_t> uids;
        for (const auto &peer : peers)
            uids.push_back(home.AddProxy(store, peer->Port(), TProxyType::ptSOCKS5));
        home.AddChain(store, "Busy", holder.LocalPort(), {uids[0]});
        home.AddChain(store, "Work", work, {uids[0], uids[1]});
        VelmoraTest::SeedRotation(store, SeedChain(store, "Rotor", rotor, {}), 0, 3);
    }
    TVelmoraProcess velmora({"--headless"}, home.Dir.path());
    ASSERT_TRUE(velmora.WaitForLine("Services started"))
        << velmora.Lines().join("\n").toStdString();
    const QStringList lines = velmora.Lines();
    EXPECT_TRUE(lines.contains(QString("Chain \"Busy\" on port %1: not started (port %1 is in use "
                                       "by another program)")
                                   .arg(holder.LocalPort())))
        << lines.join("\n").toStdString();
    EXPECT_TRUE(lines.contains(QString("Chain \"Work\" on port %1: running").arg(work)));
    EXPECT_TRUE(lines.contains(QString("Chain \"Rotor\" on port %1: running").arg(rotor)));
    const QStringList draws = lines.filter("Chain \"Rotor\" now runs through ");
    ASSERT_EQ(draws.size(), 1) << lines.join("\n").toStdString();

    const auto fetch = [&](uint16_t port) {
        return RunProgram({"curl", "-sS", "--max-time", "20", "--socks5-hostname",
                           "127.0.0.1:" + std::to_string(port),
                           "http://localhost:" + std::to_string(web.Port()) + "/"});
    };
    EXPECT_EQ(fetch(work).Out, "hello through the chain\n");
    EXPECT_EQ(fetch(rotor).Out, "hello through the chain\n");

    // The drawn middle hop dies; the next connection goes through all the same.
    const QStringList hops =
        draws[0].mid(draws[0].indexOf("through ") + 8).split(QStringLiteral(" => "));
    ASSERT_EQ(hops.size(), 3);
    for (auto &peer : peers)
        if (hops[1] == QString("127.0.0.1:%1").arg(peer->Port()))
            peer->Stop();
    EXPECT_EQ(fetch(rotor).Out, "hello through the chain\n");
    EXPECT_TRUE(VelmoraTest::WaitFor(
        [&] {
            return !velmora.Lines()
                        .filter(QString(" ...Hop 2 (%1) failed: ").arg(hops[1]))
                        .filter(" in its place")
                        .isEmpty();
        },
        10000))
        << velmora.Lines().join("\n").toStdString();
    EXPECT_EQ(velmora.Terminate(), 0);
}

TEST(HeadlessChain, SighupRestartsTheChainsFromTheStore) {
    if (!TMicrosocksPeer::Available() || !ProgramAvailable("curl"))
        GTEST_SKIP() << "microsocks and curl are needed";
    TMicrosocksPeer socks5;
    TLoopbackServer web(HttpServer());
    TDataHome home;
    const uint16_t first = FreeLoopbackPort();
    const uint16_t second = FreeLoopbackPort();
    int32_t proxy = 0;
    {
        TdmProxyData::ProvisionDataFolder(home.Folder());
        TdmProxyData store(home.Folder());
        store.LoadData();
        proxy = home.AddProxy(store, socks5.Port(), TProxyType::ptSOCKS5);
        home.AddChain(store, "First", first, {proxy});
    }
    TVelmoraProcess velmora({"--headless"}, home.Dir.path());
    ASSERT_TRUE(velmora.WaitForLine("Services started"));
    const auto fetch = [&](uint16_t port) {
        return RunProgram({"curl", "-sS", "--max-time", "10", "--socks5",
                           "127.0.0.1:" + std::to_string(port),
                           "http://127.0.0.1:" + std::to_string(web.Port()) + "/"});
    };
    EXPECT_EQ(fetch(first).Out, "hello through the chain\n");

    // Another program (the command line, say) adds a chain to the store.
    {
        TdmProxyData store(home.Folder());
        store.LoadData();
        home.AddChain(store, "Second", second, {proxy});
    }
    EXPECT_NE(fetch(second).ExitCode, 0); // not started yet

    ::kill(velmora.Pid(), SIGHUP);
    EXPECT_TRUE(VelmoraTest::WaitFor(
        [&] { return velmora.Lines().count(QStringLiteral("Services started")) == 2; }, 15000))
        << velmora.Lines().join("\n").toStdString();
    const QStringList lines = velmora.Lines();
    EXPECT_EQ(lines.count(QStringLiteral("Stopping services...")), 1);
    EXPECT_EQ(lines.count(QString("Listening on port %1").arg(first)), 2);
    EXPECT_EQ(lines.count(QString("Listening on port %1").arg(second)), 1);
    EXPECT_EQ(fetch(first).Out, "hello through the chain\n");
    EXPECT_EQ(fetch(second).Out, "hello through the chain\n");
    EXPECT_EQ(velmora.Terminate(), 0);
}

} // namespace
