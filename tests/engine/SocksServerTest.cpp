// The SOCKS server protocol as clients see it, on the plain server that
// connects straight to destinations: real curl in every SOCKS flavour against
// a loopback HTTP server, raw clients for the replies and failures, the
// bind-failure message, and early tunnel bytes sent with the request.

#include "tests/support/ServerTestSupport.h"

#include "engine/server/LocalSOCKSServer.h"
#include "engine/server/TempSocksServer.h"

#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

class SocksServer : public testing::Test {
protected:
    void SetUp() override {
        Server.DefaultPort = 0;
        Server.Start();
        Port = Server.Port();
        ASSERT_NE(Port, 0);
    }
    void TearDown() override { Server.Stop(); }

    TSocket Client() { return TSocket::Connect("127.0.0.1", Port, 5000); }

    TRunResult Curl(const std::string &proxyFlag, const std::string &url) {
        return RunProgram({"curl", "-s", "-S", "--max-time", "20", proxyFlag,
                           "127.0.0.1:" + std::to_string(Port), url});
    }

    TTempSocksServer Server;
    uint16_t Port = 0;
    TLoopbackServer Http{HttpBody()};
};

} // namespace

TEST_F(SocksServer, CurlInEverySocksFlavour) {
    const std::string byAddress = "http://127.0.0.1:" + std::to_string(Http.Port()) + "/";
    const std::string byName = "http://localhost:" + std::to_string(Http.Port()) + "/";
    for (const auto &[flag, url] :
         std::vector<std::pair<std::string, std::string>>{{"--socks4", byAddress},
                                                          {"--socks4a", byName},
                                                          {"--socks5", byAddress},
                                                          {"--socks5-hostname", byName}}) {
        const TRunResult r = Curl(flag, url);
        EXPECT_TRUE(r.Finished) << flag;
        EXPECT_EQ(r.ExitCode, 0) << flag << ": " << r.Err;
        EXPECT_EQ(r.Out, "hello from the loopback server") << flag;
    }
}

TEST_F(SocksServer, CurlFetchesLargeBodyIntact) {
    const TRunResult r =
        Curl("--socks5-hostname", "http://localhost:" + std::to_string(Http.Port()) + "/big");
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out.size(), BigBody().size());
    EXPECT_EQ(Checksum(r.Out), Checksum(BigBody()));
}

TEST_F(SocksServer, Socks4ReplyComesAfterTheConnectionWithItsLocalEnd) {
    TSocket c = Client();
    c.WriteAll(Bytes({4, 1}) + Port16(Http.Port()) + Bytes({127, 0, 0, 1}) + "user" +
               std::string(1, '\0'));
    const std::string reply = ReadExactly(c, 8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(static_cast<uint8_t>(reply[1]), 90);
    EXPECT_NE(reply.substr(2, 2), Port16(0)); // the outgoing connection's local port
    EXPECT_EQ(reply.substr(4), Bytes({127, 0, 0, 1}));
    c.WriteAll("GET / HTTP/1.0\r\n\r\n");
    const std::string page = ReadAll(c);
    EXPECT_NE(page.find("hello from the loopback server"), std::string::npos);
}

TEST_F(SocksServer, RequestAndTunnelBytesInOneWrite) {
    TSocket c = Client();
    c.WriteAll(Socks5ToLoopback(1, Http.Port()) + "GET / HTTP/1.0\r\n\r\n");
    const std::string all = ReadAll(c);
    ASSERT_GE(all.size(), 12u);
    EXPECT_EQ(all.substr(0, 2), Bytes({5, 0}));
    EXPECT_EQ(all.substr(2, 4), Bytes({5, 0, 0, 1}));
    EXPECT_NE(all.find("hello from the loopback server"), std::string::npos);
}

TEST_F(SocksServer, ClientOfferingOnlyPasswordIsServedWithout) {
    TSocket c = Client();
    c.WriteAll(Bytes({5, 1, 2}));
    EXPECT_EQ(ReadExactly(c, 2), Bytes({5, 0}));
    c.WriteAll(Bytes({5, 1, 0, 3, 9}) + "localhost" + Port16(Http.Port()));
    const std::string reply = ReadExactly(c, 10);
    EXPECT_EQ(reply.substr(0, 4), Bytes({5, 0, 0, 1}));
}

TEST_F(SocksServer, RefusedRequestsGetTheirReplies) {
    {
        // Unknown version: closed without a byte.
        TSocket c = Client();
        c.WriteAll(Bytes({6, 1, 0}));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), "");
    }
    {
        // UDP ASSOCIATE: command not supported, then closed.
        TSocket c = Client();
        c.WriteAll(Socks5ToLoopback(3, 53));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000),
                  Bytes({5, 0}) + Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        // Unknown address type.
        TSocket c = Client();
        c.WriteAll(Bytes({5, 1, 0, 5, 1, 0, 9}));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000),
                  Bytes({5, 0}) + Bytes({5, 8, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        // SOCKS 4 with an unknown command.
        TSocket c = Client();
        c.WriteAll(Bytes({4, 3, 0, 80, 127, 0, 0, 1, 0}));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), Bytes({0, 93, 0, 0, 0, 0, 0, 0}));
    }
    {
        // Nobody listens at the destination.
        const uint16_t closed = FreeLoopbackPort();
        TSocket c5 = Client();
        c5.WriteAll(Socks5ToLoopback(1, closed));
        EXPECT_EQ(ReadAll(c5, SIZE_MAX, 5000),
                  Bytes({5, 0}) + Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0}));
        TSocket c4 = Client();
        c4.WriteAll(Bytes({4, 1}) + Port16(closed) + Bytes({127, 0, 0, 1, 0}));
        EXPECT_EQ(ReadAll(c4, SIZE_MAX, 5000), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
}

TEST_F(SocksServer, ClientSilentOrHalfwayIsClosedWhenItsRequestTimesOut) {
    Server.Stop();
    Server.RequestTimeoutMs = 600;
    Server.Start();
    Port = Server.Port();
    TSocket silent = Client();
    TSocket halfway = Client();
    halfway.WriteAll(Bytes({5, 1, 0, 5, 1}));
    // One byte of a valid request every 100 ms: the time-out covers the
    // whole request, not each read.
    TSocket dribbling = Client();
    const std::string request = Socks5ToLoopback(1, Http.Port());
    EXPECT_TRUE(WaitFor([&] { return Server.ConnectionCount() == 3; }));
    try {
        for (size_t i = 0; i + 1 < request.size(); ++i) {
            dribbling.WriteAll(request.substr(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } catch (const ESocketError &) {
        // closed by the server already
    }
    EXPECT_TRUE(WaitFor([&] { return Server.ConnectionCount() == 0; }, 3000))
        << Server.ConnectionCount();
    EXPECT_EQ(ReadAll(silent, SIZE_MAX, 2000), "");
    EXPECT_EQ(ReadAll(halfway, SIZE_MAX, 2000), Bytes({5, 0}));

    // Without a time-out they keep their threads until they close.
    Server.Stop();
    Server.RequestTimeoutMs = 0;
    Server.Start();
    Port = Server.Port();
    TSocket waiting = Client();
    EXPECT_TRUE(WaitFor([&] { return Server.ConnectionCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(Server.ConnectionCount(), 1u);
    waiting.Close();
    EXPECT_TRUE(WaitFor([&] { return Server.ConnectionCount() == 0; }));
}

TEST_F(SocksServer, Ipv6ClientsAreServedOnTheV6Listener) {
    TSocket c;
    try {
        c = TSocket::Connect("::1", Port, 2000);
    } catch (const ESocketError &) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    c.WriteAll(Socks5ToLoopback(1, Http.Port()));
    EXPECT_EQ(ReadExactly(c, 12).substr(0, 4), Bytes({5, 0, 5, 0}));
}

TEST(TempSocksServer, PortInUseGivesTheBindMessage) {
    TSocket holder = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    TTempSocksServer server(holder.LocalPort());
    try {
        server.Start();
        FAIL() << "started on a port in use";
    } catch (const EVelmoraError &e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(TTempSocksServer().DefaultPort, 9999);
}

TEST(TempSocksServer, StartsAgainAfterStop) {
    TTempSocksServer server(0);
    server.Start();
    server.Stop();
    EXPECT_FALSE(server.Active());
    server.Start();
    TLoopbackServer http(HttpBody());
    const TRunResult r = RunProgram({"curl", "-s", "--max-time", "20", "--socks5",
                                     "127.0.0.1:" + std::to_string(server.Port()),
                                     "http://127.0.0.1:" + std::to_string(http.Port()) + "/"});
    EXPECT_EQ(r.Out, "hello from the loopback server");
}

TEST(TempSocksServer, StopWakesAConnectStillUnderWay) {
    // A listener whose accept queue is full: a further connect to it hangs.
    TSocket full = TSocket::Listen(TSocket::Family::IPv4, 0, 1);
    std::vector<TSocket> fillers;
    bool hangs = false;
    for (int i = 0; i < 16 && !hangs; ++i) {
        try {
            fillers.push_back(TSocket::Connect("127.0.0.1", full.LocalPort(), 300));
        } catch (const ESocketError &) {
            hangs = true;
        }
    }
    if (!hangs)
        GTEST_SKIP() << "connects to a full listener do not hang here";
    TTempSocksServer server(0);
    server.Start();
    TSocket c = TSocket::Connect("127.0.0.1", server.Port(), 5000);
    c.WriteAll(Socks5ToLoopback(1, full.LocalPort()));
    EXPECT_EQ(ReadExactly(c, 2), Bytes({5, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST_F(SocksServer, ClientHalfClosingRightAfterItsRequestGetsTheWholeReply) {
    const size_t replySize = 4 * 1024 * 1024;
    TLoopbackServer echoSum(ReceiveThenSendBody(replySize));
    TSocket c = Client();
    const std::string payload = Pattern(100000, 11);
    c.WriteAll(Socks5ToLoopback(1, echoSum.Port()) + payload);
    c.ShutdownWrite(); // before the reply has even come
    const std::string all = ReadAll(c);
    ASSERT_EQ(all.size(), 12 + replySize + 16);
    EXPECT_EQ(Checksum(all.substr(12, replySize)), Checksum(Pattern(replySize, 3)));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Checksum(payload)));
    EXPECT_EQ(all.substr(12 + replySize), hex);
}

// By default a client has 10 s for its greeting and request, on port 9999
// and on a chain's port alike: a silent one is closed after them, not
// after the 30 s it once had (bounds kept generous).
TEST(SocksServerDefaults, ASilentClientIsClosedAfterTenSeconds) {
    TTempSocksServer plain(0);
    TLocalSOCKSServer chain;
    chain.DefaultPort = 0;
    plain.Start();
    chain.Start();
    std::vector<TSocket> silent;
    for (uint16_t port : {plain.Port(), chain.Port()})
        silent.push_back(TSocket::Connect("127.0.0.1", port, 5000));
    const auto start = std::chrono::steady_clock::now();
    for (TSocket &s : silent)
        EXPECT_EQ(ReadAll(s, SIZE_MAX, 20000), "");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LT(waited, std::chrono::seconds(20));
}
