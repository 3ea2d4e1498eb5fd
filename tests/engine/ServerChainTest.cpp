// The chain's local SOCKS server: its events in order for a served CONNECT,
// the local-only rule decided by its owner (a client on 127.0.0.2 is refused),
// a real chain through microsocks, a first hop that refuses, BIND refused on
// the chain's port and served with a peer on the plain server's,
// the session time-out, proxychains4 as an independent client, and stopping a
// server with live relays (every thread joined).

#include "tests/support/ServerTestSupport.h"

#include "engine/hop/ProxyConnectEvent.h"
#include "engine/server/LocalSOCKSServer.h"
#include "engine/server/TempSocksServer.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

using namespace VelmoraTest;

namespace {

std::string Socks4ToLoopback(uint8_t command, uint16_t port) {
    return Bytes({4, command}) + Port16(port) + Bytes({127, 0, 0, 1, 0});
}

// Thread-safe record of what the events said, one line each.
// The port in network byte order at `at` of `bytes`.
uint16_t PortAt(const std::string &bytes, size_t at) {
    return static_cast<uint16_t>((static_cast<uint8_t>(bytes[at]) << 8) |
                                 static_cast<uint8_t>(bytes[at + 1]));
}

class TEventLog {
public:
    void Add(const std::string &line) {
        std::lock_guard<std::mutex> guard(FLock);
        FLines.push_back(line);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(FLock);
        return FLines;
    }
    size_t Count(const std::string &prefix) {
        std::lock_guard<std::mutex> guard(FLock);
        size_t n = 0;
        for (const auto &line : FLines)
            n += line.rfind(prefix, 0) == 0;
        return n;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
};

void AddHop(TChainedProxyData &chain, TProxyType type, uint16_t port) {
    auto item = std::make_unique<TProxData>();
    item->FIPAddress = "127.0.0.1";
    item->FPort = port;
    item->FProxyType = type;
    item->FStatus = TProxyStatus::psAvailable;
    chain.AddItem(std::move(item));
}

// A chain server with every event logged the way its owner would see them,
// and the local-only rule applied as the chain runtime applies it.
class ServerChain : public testing::Test {
protected:
    void SetUp() override {
        Server.DefaultPort = 0;
        Server.FChainData = &Chain;
        Server.SetContextIDRegistry(ContextIDs);
        Server.OnBeforeSocksConnect = [this](TIdSocksServerContext &ctx, std::string &host,
                                             uint16_t &port, bool &allowed) {
            if (LocalOnly)
                allowed = ctx.PeerAddress() == "127.0.0.1";
            if (!allowed) {
                Log.Add("rejected " + ctx.PeerAddress());
                return;
            }
            Log.Add("request " + host + ":" + std::to_string(port) + " id " +
                    std::to_string(ctx.FData ? ctx.FData->FID : -1));
        };
        Server.OnConnectLocalProxy = [this](int32_t id) {
            Log.Add("connect local id " + std::to_string(id));
        };
        Server.OnProxyProgress = [this](void *sender, const QString &fromHost, int fromPort,
                                        const QString &host, int port, int status, int id) {
            EXPECT_EQ(sender, static_cast<void *>(&Server));
            Log.Add(QString("hop %1:%2 => %3:%4 status %5 id %6")
                        .arg(fromHost)
                        .arg(fromPort)
                        .arg(host)
                        .arg(port)
                        .arg(status)
                        .arg(id)
                        .toStdString());
        };
        Server.OnConnDisconnected = [this](int32_t id, uint64_t) {
            Log.Add("disconnected id " + std::to_string(id));
        };
        Server.OnSessionTimeout = [this](TIdSocksServer *, TIdSocksServerContext &ctx) {
            Log.Add("session timed out for " + ctx.PeerAddress());
        };
        Server.OnBindRefused = [this](TIdSocksServerContext &ctx) {
            Log.Add("bind refused " + ctx.PeerAddress());
        };
        // BIND is served on the plain server (port 9999) only.
        Plain.OnVerifyBoundPeer = [this](TIdSocksServerContext &, const std::string &host,
                                         const std::string &peer, bool &allowed) {
            Log.Add("verify " + host + " peer " + peer);
            allowed = AllowBoundPeer;
        };
    }
    void TearDown() override {
        Server.Stop();
        Plain.Stop();
    }

    void Start() {
        Server.Start();
        Port = Server.Port();
    }
    void StartPlain() {
        Plain.Start();
        Port = Plain.Port();
    }
    TSocket Client() { return TSocket::Connect("127.0.0.1", Port, 5000); }
    // Asks for a SOCKS 5 BIND on `c` and reads the greeting's answer and the
    // first reply: the port bound for the peer, 0 when the reply fell short.
    static uint16_t Socks5Bind(TSocket &c) {
        c.WriteAll(Socks5ToLoopback(2, 0));
        const std::string first = ReadExactly(c, 12);
        EXPECT_EQ(first.size(), 12u);
        return first.size() == 12 ? PortAt(first, 10) : 0;
    }

    TChainedProxyData Chain;
    // Where the server draws its context IDs (as the chain manager shares one).
    std::shared_ptr<TContextIDRegistry> ContextIDs = std::make_shared<TContextIDRegistry>();
    TLocalSOCKSServer Server;
    TTempSocksServer Plain{0};
    TEventLog Log;
    bool LocalOnly = true;
    bool AllowBoundPeer = true;
    uint16_t Port = 0;
    TLoopbackServer Http{HttpBody()};
};

} // namespace

TEST_F(ServerChain, ServedConnectRaisesItsEventsInOrderWithOneContextID) {
    Start();
    const TRunResult r = RunProgram({"curl", "-s", "-S", "--max-time", "20", "--socks5-hostname",
                                     "127.0.0.1:" + std::to_string(Port),
                                     "http://localhost:" + std::to_string(Http.Port()) + "/"});
    EXPECT_EQ(r.Out, "hello from the loopback server") << r.Err;
    ASSERT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 1; }));
    const auto lines = Log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string prefix = "request localhost:" + std::to_string(Http.Port()) + " id ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    const int id = std::stoi(lines[0].substr(prefix.size()));
    EXPECT_GE(id, 0);
    EXPECT_LT(id, 1000000);
    EXPECT_EQ(lines[1], "connect local id " + std::to_string(id));
    EXPECT_EQ(lines[2], "disconnected id " + std::to_string(id));
    EXPECT_EQ(ContextIDs->LiveCount(), 0u);
}

TEST_F(ServerChain, LocalOnlyRuleRefusesOtherAddresses) {
    Start();
    {
        TSocket c = ConnectFrom("127.0.0.2", Port);
        c.WriteAll(Socks5ToLoopback(1, Http.Port()));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), Bytes({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        TSocket c = ConnectFrom("127.0.0.2", Port);
        c.WriteAll(Socks4ToLoopback(1, Http.Port()));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
    EXPECT_TRUE(WaitFor([&] { return Log.Count("rejected") == 2; }));
    EXPECT_EQ(Log.Lines(), (std::vector<std::string>{"rejected 127.0.0.2", "rejected 127.0.0.2"}));

    // With the rule off, the same client is served.
    LocalOnly = false;
    TSocket c = ConnectFrom("127.0.0.2", Port);
    c.WriteAll(Socks5ToLoopback(1, Http.Port()) + "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(ReadAll(c).find("hello from the loopback server"), std::string::npos);
}

TEST_F(ServerChain, ChainThroughMicrosocksCarriesTheConnection) {
    if (!VelmoraTest::TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is not installed";
    VelmoraTest::TMicrosocksPeer microsocks;
    const uint16_t hopPort = microsocks.Port();
    AddHop(Chain, TProxyType::ptSOCKS5, hopPort);
    Start();
    const TRunResult r = RunProgram({"curl", "-s", "-S", "--max-time", "20", "--socks5-hostname",
                                     "127.0.0.1:" + std::to_string(Port),
                                     "http://localhost:" + std::to_string(Http.Port()) + "/big"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(Checksum(r.Out), Checksum(BigBody()));
    ASSERT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 1; }));
    const auto lines = Log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::string id = lines[1].substr(std::string("connect local id ").size());
    EXPECT_EQ(lines[2], "hop 127.0.0.1:" + std::to_string(hopPort) +
                            " => localhost:" + std::to_string(Http.Port()) + " status 0 id " + id);
    EXPECT_EQ(lines[3], "disconnected id " + id);
}

TEST_F(ServerChain, FirstHopRefusingGivesFailureRepliesAndStillDisconnects) {
    AddHop(Chain, TProxyType::ptSOCKS5, FreeLoopbackPort());
    Start();
    {
        TSocket c = Client();
        c.WriteAll(Socks5ToLoopback(1, Http.Port()));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 10000), Bytes({5, 0, 5, 4, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        TSocket c = Client();
        c.WriteAll(Socks4ToLoopback(1, Http.Port()));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 10000), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
    EXPECT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 2; }));
    EXPECT_EQ(Log.Count("connect local"), 2u);
}

TEST_F(ServerChain, UnsupportedHopTypeEndsWithoutReplyButDisconnects) {
    AddHop(Chain, TProxyType::ptUnknown, 1);
    Start();
    TSocket c = Client();
    c.WriteAll(Socks5ToLoopback(1, Http.Port()));
    EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), Bytes({5, 0})); // greeting answer only
    EXPECT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 1; }));
    EXPECT_EQ(Log.Count("connect local"), 0u);
}

// A chain promises that peers see only its last proxy: a BIND served on its
// port would show the peer this machine, so it is refused as an unknown
// command is, in either protocol, and the owner hears of it. The same
// request is granted on the plain server (the control, below).
TEST_F(ServerChain, BindIsRefusedOnTheChainsPort) {
    Start();
    for (int version : {5, 4}) {
        TSocket c = Client();
        c.WriteAll(version == 5 ? Socks5ToLoopback(2, 4321) : Socks4ToLoopback(2, 4321));
        const std::string reply = ReadAll(c, SIZE_MAX, 5000);
        if (version == 5)
            EXPECT_EQ(reply, Bytes({5, 0, 5, 7, 0, 1, 0, 0, 0, 0, 0, 0}));
        else
            EXPECT_EQ(reply, Bytes({0, 93, 0, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(Log.Lines(),
              (std::vector<std::string>{"bind refused 127.0.0.1", "bind refused 127.0.0.1"}));
}

TEST_F(ServerChain, BindServesAPeerDirectlyOnThePlainServer) {
    StartPlain();
    for (int version : {5, 4}) {
        TSocket c = Client();
        c.WriteAll(version == 5 ? Socks5ToLoopback(2, 4321) : Socks4ToLoopback(2, 4321));
        std::string first = ReadExactly(c, version == 5 ? 12 : 8);
        ASSERT_EQ(first.size(), version == 5 ? 12u : 8u);
        std::string reply = version == 5 ? first.substr(2) : first;
        EXPECT_EQ(static_cast<uint8_t>(reply[1]), version == 5 ? 0 : 90);
        const std::string portBytes = version == 5 ? reply.substr(8, 2) : reply.substr(2, 2);
        const uint16_t bindPort = PortAt(portBytes, 0);
        ASSERT_NE(bindPort, 0);

        TSocket peer = TSocket::Connect("127.0.0.1", bindPort, 5000);
        const std::string second = ReadExactly(c, version == 5 ? 10 : 8);
        ASSERT_EQ(second.size(), version == 5 ? 10u : 8u);
        EXPECT_EQ(static_cast<uint8_t>(second[1]), version == 5 ? 0 : 90);
        const std::string peerPort = Port16(peer.LocalPort());
        if (version == 5)
            EXPECT_EQ(second.substr(3), Bytes({1, 127, 0, 0, 1}) + peerPort);
        else
            EXPECT_EQ(second.substr(2), peerPort + Bytes({127, 0, 0, 1}));

        peer.WriteAll("from peer");
        EXPECT_EQ(ReadExactly(c, 9), "from peer");
        c.WriteAll("from client");
        c.ShutdownWrite();
        EXPECT_EQ(ReadAll(peer), "from client");
    }
    EXPECT_EQ(Log.Lines(), (std::vector<std::string>{"verify 127.0.0.1 peer 127.0.0.1",
                                                     "verify 127.0.0.1 peer 127.0.0.1"}));
}

TEST_F(ServerChain, BindPeerRefusedByOwner) {
    AllowBoundPeer = false;
    StartPlain();
    TSocket c = Client();
    const uint16_t bindPort = Socks5Bind(c);
    ASSERT_NE(bindPort, 0);
    TSocket peer = TSocket::Connect("127.0.0.1", bindPort, 5000);
    EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadAll(peer, SIZE_MAX, 5000), "");
}

TEST_F(ServerChain, QuietSessionTimesOut) {
    Server.SessionsTimeOut = 1;
    Start();
    TSocket c = Client();
    c.WriteAll(Socks5ToLoopback(1, Http.Port()));
    EXPECT_EQ(ReadExactly(c, 12).size(), 12u);
    // Nothing more is sent: the relay ends after a second of silence.
    EXPECT_EQ(ReadAll(c, SIZE_MAX, 10000), "");
    EXPECT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 1; }));
    EXPECT_EQ(Log.Count("session timed out for 127.0.0.1"), 1u);
}

TEST_F(ServerChain, ProxychainsAsClient) {
    Start();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString conf = dir.filePath("proxychains.conf");
    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QString("strict_chain\ntcp_read_time_out 15000\ntcp_connect_time_out 8000\n"
                       "[ProxyList]\nsocks5 127.0.0.1 %1\n")
                   .arg(Port)
                   .toUtf8());
    file.close();
    const TRunResult r =
        RunProgram({"proxychains4", "-q", "-f", conf.toStdString(), "curl", "-s", "-S",
                    "--max-time", "20", "http://127.0.0.1:" + std::to_string(Http.Port()) + "/"});
    EXPECT_EQ(r.Out, "hello from the loopback server") << r.Err;
    EXPECT_TRUE(WaitFor([&] { return Log.Count("disconnected") == 1; }));
    EXPECT_EQ(Log.Count("request 127.0.0.1:" + std::to_string(Http.Port())), 1u);
}

TEST_F(ServerChain, StopEndsLiveRelaysAndJoinsEveryThread) {
    TLoopbackServer sink([](TSocket &s) { ReadAll(s, SIZE_MAX, 60000); });
    const size_t before = ThreadCount();
    Start();
    constexpr int Clients = 40;
    std::vector<TSocket> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(Client());
        clients.back().WriteAll(Socks5ToLoopback(1, sink.Port()));
        ASSERT_EQ(ReadExactly(clients.back(), 12).size(), 12u);
    }
    // One client stays in its request and one only connected: they end too.
    TSocket halfway = Client();
    halfway.WriteAll(Bytes({5, 1}));
    TSocket silent = Client();
    ASSERT_TRUE(WaitFor([&] { return sink.Accepted() == Clients; }));
    ASSERT_TRUE(WaitFor([&] { return Server.ConnectionCount() == Clients + 2; }));
    EXPECT_GT(ThreadCount(), before + Clients);
    EXPECT_EQ(ContextIDs->LiveCount(), size_t(Clients));

    Server.Stop();
    EXPECT_FALSE(Server.Active());
    EXPECT_EQ(Server.ConnectionCount(), 0u);
    EXPECT_EQ(Log.Count("disconnected"), size_t(Clients));
    EXPECT_EQ(ContextIDs->LiveCount(), 0u);
    for (TSocket &c : clients)
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), "");
    // Every thread of the server is gone (the sink's end as their clients close).
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; }))
        << ThreadCount() << " threads, " << before << " before";

    // Context IDs of the live connections were all different.
    std::set<std::string> ids;
    for (const auto &line : Log.Lines())
        if (line.rfind("disconnected id ", 0) == 0)
            ids.insert(line);
    EXPECT_EQ(ids.size(), size_t(Clients));
}

TEST(ContextIDRegistry, IDsAreUniqueAmongLiveConnections) {
    TContextIDRegistry registry;
    std::set<int32_t> seen;
    for (int i = 0; i < 100000; ++i) {
        const int32_t id = registry.Draw();
        ASSERT_GE(id, 0);
        ASSERT_LT(id, TContextIDRegistry::Limit);
        ASSERT_TRUE(seen.insert(id).second) << "drawn twice: " << id;
    }
    EXPECT_EQ(registry.LiveCount(), 100000u);
    const int32_t some = *seen.begin();
    registry.Release(some);
    EXPECT_FALSE(registry.IsLive(some));
    EXPECT_EQ(registry.LiveCount(), 99999u);
}

namespace {

// A listener whose accept queue is full: a further connect to it hangs.
struct TBlackHole {
    TSocket Listener = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    std::vector<TSocket> Fillers;
    bool Ready = false;
    TBlackHole() {
        for (int i = 0; i < 16 && !Ready; ++i) {
            try {
                Fillers.push_back(TSocket::Connect("127.0.0.1", Listener.LocalPort(), 300));
            } catch (const ESocketError &) {
                Ready = true; // this attempt hung: the next ones will too
            }
        }
    }
};

} // namespace

TEST_F(ServerChain, StopWakesConnectionsStillOpeningTheirChain) {
    TBlackHole hole;
    if (!hole.Ready)
        GTEST_SKIP() << "connects to a full listener do not hang here";
    // The first hop never takes the connection; a second chain server's hop
    // takes it but never answers its handshake.
    AddHop(Chain, TProxyType::ptSOCKS5, hole.Listener.LocalPort());
    TLoopbackServer mute([](TSocket &s) { ReadAll(s, SIZE_MAX, 60000); });
    TChainedProxyData muteChain;
    AddHop(muteChain, TProxyType::ptSOCKS5, mute.Port());
    TLocalSOCKSServer second;
    second.DefaultPort = 0;
    second.FChainData = &muteChain;
    std::atomic<int> secondDisconnected{0};
    second.OnConnDisconnected = [&](int32_t, uint64_t) { ++secondDisconnected; };
    Start();
    second.Start();

    TSocket c1 = Client();
    c1.WriteAll(Socks5ToLoopback(1, Http.Port()));
    TSocket c2 = TSocket::Connect("127.0.0.1", second.Port(), 5000);
    c2.WriteAll(Socks5ToLoopback(1, Http.Port()));
    ASSERT_TRUE(WaitFor([&] { return Log.Count("connect local") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return mute.Accepted() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto start = std::chrono::steady_clock::now();
    Server.Stop();
    second.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Log.Count("disconnected"), 1u);
    EXPECT_EQ(secondDisconnected.load(), 1);
    EXPECT_EQ(Server.ConnectionCount() + second.ConnectionCount(), 0u);
}

TEST_F(ServerChain, BindClientHalfClosedBeforeThePeerStillGetsItsBytes) {
    StartPlain();
    TSocket c = Client();
    const uint16_t bindPort = Socks5Bind(c);
    ASSERT_NE(bindPort, 0);
    c.ShutdownWrite(); // nothing to send: it only receives
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TSocket peer = TSocket::Connect("127.0.0.1", bindPort, 5000);
    EXPECT_EQ(ReadAll(peer, SIZE_MAX, 5000), ""); // the half-close reaches the peer
    const std::string data = Pattern(300000, 12);
    peer.WriteAll(data);
    peer.ShutdownWrite();
    const std::string got = ReadAll(c);
    ASSERT_EQ(got.size(), 10 + data.size());
    EXPECT_EQ(Checksum(got.substr(10)), Checksum(data));
}
