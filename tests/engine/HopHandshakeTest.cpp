// Hop handshakes over loopback against scripted peers: the exact bytes each
// connector sends, what it makes of each reply (replies split into single
// segments and run together with tunnel data), the reports it raises and
// where a failing walk stops.

#include "engine/hop/HopWalk.h"
#include "engine/hop/IdConnectThroughHttpProxy.h"
#include "engine/hop/IdSocksInfo.h"
#include "engine/hop/MyHttpProxy.h"
#include "engine/hop/MySocksProxyInfo.h"
#include "engine/hop/dmCompsPlaceHolder.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"
#include "tests/engine/HopScriptedPeer.h"
#include "tests/support/ServerTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace {

using VelmoraTest::Bytes;

struct TReport {
    void *Sender;
    QString FromHost;
    int FromPort;
    QString Host;
    int Port;
    int Status;
    int ContextId;
};

TOnProxyConnect Recorder(std::vector<TReport> &out) {
    return [&out](void *sender, const QString &fromHost, int fromPort, const QString &host,
                  int port, int status, int contextId) {
        out.push_back({sender, fromHost, fromPort, host, port, status, contextId});
    };
}

std::unique_ptr<TProxData> Item(const char *address, int port, TProxyType type) {
    auto p = std::make_unique<TProxData>();
    p->FIPAddress = address;
    p->FHostName = "name-not-used.example";
    p->FPort = port;
    p->FProxyType = type;
    return p;
}

std::string ReadN(TSocket &s, size_t n) {
    std::string out(n, '\0');
    s.ReadExact(out.data(), n);
    return out;
}

// Runs `attempt`, expecting it to throw; returns the message.
template <class F> std::string FailureOf(F attempt) {
    try {
        attempt();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "(no failure)";
}

// A chain of hops built on a placeholder; the reports it raises are kept.
class HopHandshake : public testing::Test {
protected:
    void AddHop(const char *address, int port, TProxyType type) {
        Chain.AddItem(Item(address, port, type));
    }
    // The placeholder for the chain so far, with `contextId` in its reports.
    TdmCompsPlaceHolder &BuildChain(int contextId) {
        Holder = std::make_unique<TdmCompsPlaceHolder>();
        Holder->OnProxyActivity = Recorder(Reports);
        Holder->CrateProxyChainComps(Chain, contextId);
        return *Holder;
    }
    // A chain of one SOCKS 5 hop to `port`, connecting with `timeoutMs`:
    // an abort from another thread after 200 ms ends the connect at once.
    TdmCompsPlaceHolder &ExpectAbortEndsConnect(uint16_t port, int timeoutMs) {
        AddHop("127.0.0.1", port, TProxyType::ptSOCKS5);
        TdmCompsPlaceHolder &holder = BuildChain(1);
        std::thread aborter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            holder.Abort();
        });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_THROW(holder.Connect("example.org", 80, timeoutMs), EVelmoraError);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
        aborter.join();
        return holder;
    }
    // Waits for the peer's script to end; every step went as scripted.
    static void ExpectPlayed(THopScriptedPeer &peer) {
        peer.Join();
        EXPECT_EQ(peer.Failure(), "");
    }

    TChainedProxyData Chain;
    std::vector<TReport> Reports;
    std::unique_ptr<TdmCompsPlaceHolder> Holder;
};

// The first proxy is the scripted peer; the others are only names in the
// handshakes that the peer, acting for the whole chain, answers.
TEST_F(HopHandshake, ChainSocks5HttpSocks4WalksInOrderOverOneConnection) {
    THopScriptedPeer peer;
    peer.Expect(Bytes({5, 1, 0}))
        .Trickle(Bytes({5, 0}))
        // SOCKS 5 hop asked for the HTTP proxy by address.
        .Expect(Bytes({5, 1, 0, 1, 192, 0, 2, 2, 0x0C, 0x38}))
        .Trickle(Bytes({5, 0, 0, 1, 192, 0, 2, 99, 0x12, 0x34}))
        // HTTP hop asked for the SOCKS 4 proxy.
        .Expect("CONNECT 192.0.2.3:1080 HTTP/1.0\r\n\r\n")
        .Trickle("HTTP/1.0 200 Connection established\r\nProxy-agent: x\r\nVia: y\r\n\r\n")
        // SOCKS 4 hop asked for the destination by name (4a): never looked up here.
        .Expect(Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "localhost" + Bytes({0}))
        // The reply run together with the destination's first bytes.
        .Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "HELLO")
        .Expect("ping")
        .Send("pong");
    peer.Start();

    AddHop("127.0.0.1", peer.Port(), TProxyType::ptSOCKS5);
    AddHop("192.0.2.2", 3128, TProxyType::ptHTTP);
    AddHop("192.0.2.3", 1080, TProxyType::ptSOCKS4);

    TdmCompsPlaceHolder &holder = BuildChain(4711);
    TSocket s = holder.Connect("localhost", 80, 5000);

    EXPECT_EQ(ReadN(s, 5), "HELLO");
    s.WriteAll("ping");
    EXPECT_EQ(ReadN(s, 4), "pong");
    ExpectPlayed(peer);

    ASSERT_EQ(Reports.size(), 3u);
    const QString expected[3][2] = {
        {"127.0.0.1", "192.0.2.2"}, {"192.0.2.2", "192.0.2.3"}, {"192.0.2.3", "localhost"}};
    const int ports[3][2] = {{peer.Port(), 3128}, {3128, 1080}, {1080, 80}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Reports[i].Sender, &holder);
        EXPECT_EQ(Reports[i].FromHost, expected[i][0]);
        EXPECT_EQ(Reports[i].Host, expected[i][1]);
        EXPECT_EQ(Reports[i].FromPort, ports[i][0]);
        EXPECT_EQ(Reports[i].Port, ports[i][1]);
        EXPECT_EQ(Reports[i].Status, 0);
        EXPECT_EQ(Reports[i].ContextId, 4711);
    }
    EXPECT_EQ(Chain.FCurrItem, -1); // the build leaves the shared record's cursor alone
}

TEST_F(HopHandshake, FailingMiddleHopReportsAndStopsTheWalk) {
    THopScriptedPeer peer;
    peer.Expect(Bytes({5, 1, 0}))
        .Send(Bytes({5, 0}))
        .Expect(Bytes({5, 1, 0, 1, 192, 0, 2, 2, 0x0C, 0x38}))
        .Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}))
        .Expect("CONNECT 192.0.2.3:1080 HTTP/1.0\r\n\r\n")
        .Send("HTTP/1.0 403 Forbidden\r\n\r\n")
        .ExpectEnd(); // no SOCKS 4 request follows
    peer.Start();

    AddHop("127.0.0.1", peer.Port(), TProxyType::ptSOCKS45);
    AddHop("192.0.2.2", 3128, TProxyType::ptHTTP);
    AddHop("192.0.2.3", 1080, TProxyType::ptSOCKS4);
    TdmCompsPlaceHolder &holder = BuildChain(7);
    EXPECT_EQ(FailureOf([&] { holder.Connect("198.51.100.1", 443, 5000); }), "403 Forbidden");
    Holder.reset(); // closes the connection: the peer sees its end
    ExpectPlayed(peer);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].Status, 0);
    EXPECT_EQ(Reports[1].Status, 8738);
    EXPECT_EQ(Reports[1].FromHost, "192.0.2.2");
    EXPECT_EQ(Reports[1].Host, "192.0.2.3");
    EXPECT_EQ(Reports[1].ContextId, 7);
}

// One hop of type THop against a scripted peer; the reports it raises are kept.
template <class THop> struct THopFixture {
    THopScriptedPeer Peer;
    THop Hop;
    std::vector<TReport> Reports;
    THopFixture() {
        Hop.Host = "127.0.0.1";
        Hop.Port = Peer.Port();
        Hop.OnConnect = Recorder(Reports);
    }
};

// One SOCKS 5 hop.
struct TSocks5Fixture : THopFixture<TMySocksProxyInfo> {
    TSocks5Fixture() {
        Hop.Version = TSocksVersion::svSocks5;
        Hop.FContextID = 99;
    }
};

TEST_F(HopHandshake, Socks5MethodRefused) {
    TSocks5Fixture f;
    f.Peer.Expect(Bytes({5, 1, 0})).Send(Bytes({5, 255})).ExpectEnd();
    f.Peer.Start();
    EXPECT_EQ(FailureOf([&] { THopWalk().Open(&f.Hop, "example.org", 80, 5000); }),
              "Invalid socks authentication method.");
    ExpectPlayed(f.Peer);
    ASSERT_EQ(f.Reports.size(), 1u);
    EXPECT_EQ(f.Reports[0].Status, 8738);
    EXPECT_EQ(f.Reports[0].Sender, &f.Hop);
    EXPECT_EQ(f.Reports[0].ContextId, 99);
}

TEST_F(HopHandshake, Socks5NameBoundReplyIsConsumedExactly) {
    TSocks5Fixture f;
    f.Peer.Expect(Bytes({5, 1, 0}))
        .Trickle(Bytes({5, 0}))
        .Expect(Bytes({5, 1, 0, 3, 11}) + "example.org" + Bytes({0, 80}))
        .Trickle(Bytes({5, 0, 0, 3, 10}) + "abcdefghij" + Bytes({0x01, 0xBB}) + "D")
        .Send("ESTINATION");
    f.Peer.Start();
    TSocket s = THopWalk().Open(&f.Hop, "example.org", 80, 5000);
    EXPECT_EQ(ReadN(s, 11), "DESTINATION");
    ExpectPlayed(f.Peer);
    ASSERT_EQ(f.Reports.size(), 1u);
    EXPECT_EQ(f.Reports[0].Status, 0);
    EXPECT_EQ(f.Reports[0].Host, "example.org");
}

TEST_F(HopHandshake, Socks5FailureRepliesAndSilentServers) {
    {
        TSocks5Fixture f; // refused by the proxy
        f.Peer.Expect(Bytes({5, 1, 0}))
            .Send(Bytes({5, 0}))
            .Expect(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 22}))
            .Send(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
        f.Peer.Start();
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(&f.Hop, "10.0.0.1", 22, 5000); }),
                  "Connection refused.");
    }
    {
        TSocks5Fixture f; // unknown address type: fails on the first 5 bytes, reads no more
        f.Peer.Expect(Bytes({5, 1, 0}))
            .Send(Bytes({5, 0}))
            .Expect(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 22}))
            .Send(Bytes({5, 0, 0, 7, 1}))
            .ExpectEnd();
        f.Peer.Start();
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(&f.Hop, "10.0.0.1", 22, 5000); }),
                  "Address type not supported.");
        ExpectPlayed(f.Peer);
    }
    {
        TSocks5Fixture f; // closes after the greeting
        f.Peer.Expect(Bytes({5, 1, 0}));
        f.Peer.Start();
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(&f.Hop, "10.0.0.1", 22, 5000); }),
                  "Socks server did not respond.");
    }
    {
        TSocks5Fixture f; // closes in the middle of the bound address
        f.Peer.Expect(Bytes({5, 1, 0}))
            .Send(Bytes({5, 0}))
            .Expect(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 22}))
            .Send(Bytes({5, 0, 0, 4, 1, 2, 3}));
        f.Peer.Start();
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(&f.Hop, "10.0.0.1", 22, 5000); }),
                  "Socks server did not respond.");
        ASSERT_EQ(f.Reports.size(), 1u);
        EXPECT_EQ(f.Reports[0].Status, 8738);
    }
}

TEST_F(HopHandshake, Socks5UnsendableNameFailsBeforeAnythingIsSent) {
    for (const std::string &name : {std::string(256, 'n'), std::string("b\xc3\xbcro.example")}) {
        TSocks5Fixture f;
        f.Peer.ExpectEnd();
        f.Peer.Start();
        const std::string message = FailureOf([&] { THopWalk().Open(&f.Hop, name, 80, 5000); });
        EXPECT_NE(message.find("Host name"), std::string::npos) << message;
        ExpectPlayed(f.Peer);
        ASSERT_EQ(f.Reports.size(), 1u);
        EXPECT_EQ(f.Reports[0].Status, 8738);
    }
}

TEST_F(HopHandshake, Socks5IPv6DestinationGoesAsAddressType4) {
    TSocks5Fixture f;
    f.Peer.Expect(Bytes({5, 1, 0}))
        .Send(Bytes({5, 0}))
        .Expect(Bytes(
            {5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x01, 0xBB}))
        .Send(Bytes({5, 0, 0, 4}) + std::string(18, '\0'));
    f.Peer.Start();
    EXPECT_NO_THROW(THopWalk().Open(&f.Hop, "2001:db8::1", 443, 5000));
    ExpectPlayed(f.Peer);
}

TEST_F(HopHandshake, Socks4SendsNamesAsSocks4aAndAddressesAsSocks4) {
    // A plain SOCKS 4 hop must never look a name up here: it goes to the
    // proxy as 4a (address 0.0.0.1, the name after the user ID).
    struct TCase {
        TSocksVersion Version;
        std::string Host;
        std::string Request;
    };
    const std::string port = Bytes({0x1F, 0x90});
    const TCase cases[] = {
        {TSocksVersion::svSocks4, "dest.example",
         Bytes({4, 1}) + port + Bytes({0, 0, 0, 1, 0}) + "dest.example" + Bytes({0})},
        {TSocksVersion::svSocks4A, "dest.example",
         Bytes({4, 1}) + port + Bytes({0, 0, 0, 1, 0}) + "dest.example" + Bytes({0})},
        {TSocksVersion::svSocks4, "203.0.113.5", Bytes({4, 1}) + port + Bytes({203, 0, 113, 5, 0})},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Host);
        THopScriptedPeer peer;
        peer.Expect(c.Request).Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
        peer.Start();
        TIdSocksInfo hop;
        hop.Host = "127.0.0.1";
        hop.Port = peer.Port();
        hop.Version = c.Version;
        EXPECT_NO_THROW(THopWalk().Open(&hop, c.Host, 8080, 5000));
        ExpectPlayed(peer);
    }
}

TEST_F(HopHandshake, Socks4RejectedAndIPv6Refused) {
    {
        THopScriptedPeer peer;
        peer.Expect(Bytes({4, 1, 0x1F, 0x90, 203, 0, 113, 5, 0}))
            .Trickle(Bytes({0x77, 91, 1, 2, 3, 4, 5, 6}));
        peer.Start();
        TIdSocksInfo hop;
        hop.Host = "127.0.0.1";
        hop.Port = peer.Port();
        hop.Version = TSocksVersion::svSocks4;
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(&hop, "203.0.113.5", 8080, 5000); }),
                  "Request rejected or failed.");
        ExpectPlayed(peer);
    }
    {
        THopScriptedPeer peer;
        peer.ExpectEnd();
        peer.Start();
        TMySocksProxyInfo hop;
        hop.OnConnect = Recorder(Reports);
        hop.Host = "127.0.0.1";
        hop.Port = peer.Port();
        hop.Version = TSocksVersion::svSocks4;
        const std::string message =
            FailureOf([&] { THopWalk().Open(&hop, "2001:db8::1", 80, 5000); });
        EXPECT_NE(message.find("IPv6"), std::string::npos) << message;
        ExpectPlayed(peer);
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].Status, 8738);
    }
}

// One HTTP hop.
struct THttpFixture : THopFixture<TMyHttpProxy> {
    THttpFixture() { Hop.SetEnabled(true); }
    TSocket Open(const std::string &host = "example.org", uint16_t port = 443) {
        return THopWalk().Open(&Hop, host, port, 5000);
    }
};

TEST_F(HopHandshake, HttpEstablishedTunnels) {
    {
        THttpFixture f; // status, two headers, blank line, tunnel data run together
        f.Peer.Expect("CONNECT example.org:443 HTTP/1.0\r\n\r\n")
            .Trickle("HTTP/1.1 200 Connection established\r\nA: 1\r\nB: 2\r\n\r\nTUN")
            .Send("NEL");
        f.Peer.Start();
        TSocket s = f.Open();
        EXPECT_EQ(ReadN(s, 6), "TUNNEL");
        ExpectPlayed(f.Peer);
        ASSERT_EQ(f.Reports.size(), 1u);
        EXPECT_EQ(f.Reports[0].Status, 0);
    }
    {
        THttpFixture f; // an empty first line: established at once
        f.Peer.Expect("CONNECT example.org:443 HTTP/1.0\r\n\r\n").Send("\r\nHTTP/1.0 500 x\r\n");
        f.Peer.Start();
        TSocket s = f.Open();
        EXPECT_EQ(ReadN(s, 10), "HTTP/1.0 5");
    }
    {
        THttpFixture f; // a status word that is not a number counts as 200
        f.Peer.Expect("CONNECT [2001:db8::1]:443 HTTP/1.0\r\n\r\n")
            .Send("HTTP/1.0 OK-ish\r\n\r\nX");
        f.Peer.Start();
        TSocket s = f.Open("2001:db8::1");
        EXPECT_EQ(ReadN(s, 1), "X");
    }
}

TEST_F(HopHandshake, HttpRefusalDiscardsItsBodyFirst) {
    THttpFixture f;
    f.Peer.Expect("CONNECT example.org:443 HTTP/1.0\r\n\r\n")
        .Send("HTTP/1.0 407 Proxy Authentication Required\r\n"
              "Proxy-Authenticate: Basic realm=\"x\"\r\n"
              "Content-Length: 12\r\n\r\n"
              "0123")
        .Quiet(150) // the hop waits for the rest of the body
        .Trickle("45678901")
        .ExpectEnd();
    f.Peer.Start();
    EXPECT_EQ(FailureOf([&] { f.Open(); }), "407 Proxy Authentication Required");
    ExpectPlayed(f.Peer);
    ASSERT_EQ(f.Reports.size(), 1u);
    EXPECT_EQ(f.Reports[0].Status, 8738);
}

TEST_F(HopHandshake, HttpOverlongLineAndUnsafeName) {
    {
        THttpFixture f;
        f.Peer.Expect("CONNECT example.org:443 HTTP/1.0\r\n\r\n")
            .Send("HTTP/1.0 200 OK\r\nX: " + std::string(20000, 'x'))
            .Linger(2000);
        f.Peer.Start();
        EXPECT_EQ(FailureOf([&] { f.Open(); }), "Max line length exceeded.");
    }
    {
        THttpFixture f; // a line break in a name would add a header: refused unsent
        f.Peer.ExpectEnd();
        f.Peer.Start();
        EXPECT_NE(FailureOf([&] { f.Open("a.example:1 HTTP/1.0\r\nX-Injected: 1\r\n"); }),
                  "(no failure)");
        ExpectPlayed(f.Peer);
    }
}

TEST_F(HopHandshake, DirectConnectionsAndConnectFailures) {
    // No hop (or a disabled one): straight to the destination.
    THopScriptedPeer peer;
    peer.Expect("direct").Send("ok");
    peer.Start();
    TIdConnectThroughHttpProxy disabled;
    disabled.Host = "192.0.2.77";
    TSocket s = THopWalk().Open(&disabled, "127.0.0.1", peer.Port(), 0);
    s.WriteAll("direct");
    EXPECT_EQ(ReadN(s, 2), "ok");
    ExpectPlayed(peer);

    // A closed port fails with the socket error; an unknown name with the resolver's.
    TIdSocksInfo hop;
    hop.Version = TSocksVersion::svSocks5;
    hop.Host = "127.0.0.1";
    hop.Port = THopScriptedPeer().Port(); // closed again at once
    EXPECT_THROW(THopWalk().Open(&hop, "x.example", 1, 2000), ESocketError);
    hop.Host = "no-such-host.invalid";
    EXPECT_THROW(THopWalk().Open(&hop, "x.example", 1, 2000), ESocketError);
}

// A listener that never accepts and whose queue is full drops new SYNs, so a
// connect to it hangs until its time-out.
struct TFullBacklog {
    TSocket Listener;
    std::vector<TSocket> Fillers;
    uint16_t Port = 0;
    TFullBacklog() {
        Listener = TSocket::Listen(TSocket::Family::IPv4, 0, 0);
        Port = Listener.LocalPort();
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(Port);
        for (int i = 0; i < 8; ++i) {
            TSocket f(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            ::connect(f.Fd(), (sockaddr *)&a, sizeof a);
            Fillers.push_back(std::move(f));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};

TEST_F(HopHandshake, ConnectTimesOutAgainstAFullBacklog) {
    TFullBacklog full;
    TIdSocksInfo hop;
    hop.Version = TSocksVersion::svSocks5;
    hop.Host = "127.0.0.1";
    hop.Port = full.Port;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { THopWalk().Open(&hop, "x.example", 1, 300); }), "Connect timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));

    AddHop("127.0.0.1", full.Port, TProxyType::ptSOCKS5);
    TdmCompsPlaceHolder &holder = BuildChain(1);
    EXPECT_EQ(FailureOf([&] { holder.Connect("x.example", 1, 300); }), "Connect timed out.");
}

TEST_F(HopHandshake, AbortEndsAHangingConnect) {
    TFullBacklog full;
    ExpectAbortEndsConnect(full.Port, 20000);
}

TEST_F(HopHandshake, AbortEndsAStalledHandshake) {
    THopScriptedPeer peer;
    peer.Expect(Bytes({5, 1, 0})).Linger(THopScriptedPeer::WaitMs); // never answers
    peer.Start();
    TdmCompsPlaceHolder &holder = ExpectAbortEndsConnect(peer.Port(), 5000);
    // An aborted holder opens nothing more.
    EXPECT_THROW(holder.Connect("example.org", 80, 5000), EVelmoraError);
}

} // namespace
