// Hop connectors against independent implementations started on loopback:
// microsocks (SOCKS 5), tinyproxy (HTTP CONNECT) and danted (SOCKS 4 and 5),
// each alone and nested, carrying data both ways to an echo server.

#include "engine/hop/HopWalk.h"
#include "engine/hop/IdConnectThroughHttpProxy.h"
#include "engine/hop/IdSocksInfo.h"
#include "engine/hop/dmCompsPlaceHolder.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace VelmoraTest;

namespace {

#define SKIP_WITHOUT(peer)                                                                         \
    if (!peer::Available())                                                                        \
    GTEST_SKIP() << #peer " is not installed"

std::unique_ptr<TProxData> Item(uint16_t port, TProxyType type) {
    auto p = std::make_unique<TProxData>();
    p->FIPAddress = "127.0.0.1";
    p->FPort = port;
    p->FProxyType = type;
    return p;
}

// Sends `size` random bytes through the tunnel while reading the echo on
// another thread; true when every byte came back in order.
bool EchoesBack(TSocket &tunnel, size_t size) {
    std::string data(size, '\0');
    std::mt19937 random(42);
    for (char &c : data)
        c = char(random());
    std::string back;
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (back.size() < size) {
            if (!tunnel.WaitReadable(10000))
                return;
            const size_t got = tunnel.ReadSome(buf.data(), buf.size());
            if (got == 0)
                return;
            back.append(buf.data(), got);
        }
    });
    tunnel.WriteAll(data);
    reader.join();
    return back == data;
}

// A lone hop connector to a peer on loopback, filled by `fill` as a chain
// fills its hops.
template <class THop>
std::unique_ptr<THop> LoneHop(uint16_t port, TProxyType type,
                              void (*fill)(THop &, const TProxData &)) {
    auto hop = std::make_unique<THop>();
    fill(*hop, *Item(port, type));
    return hop;
}

std::string FailureOf(const std::function<void()> &attempt) {
    try {
        attempt();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "(no failure)";
}

TEST(HopRealPeers, NestMicrosocksTinyproxyDante) {
    SKIP_WITHOUT(TMicrosocksPeer);
    SKIP_WITHOUT(TTinyproxyPeer);
    SKIP_WITHOUT(TDantePeer);
    TMicrosocksPeer socks5;
    TTinyproxyPeer http;
    TDantePeer socks4;
    TEchoServer echo;

    TChainedProxyData chain;
    chain.AddItem(Item(socks5.Port(), TProxyType::ptSOCKS5));
    chain.AddItem(Item(http.Port(), TProxyType::ptHTTP));
    chain.AddItem(Item(socks4.Port(), TProxyType::ptSOCKS4));
    std::vector<int> statuses;
    TdmCompsPlaceHolder holder;
    holder.OnProxyActivity = [&](void *, const QString &, int, const QString &, int, int status,
                                 int) { statuses.push_back(status); };
    holder.CrateProxyChainComps(chain, 42);
    // The last hop is SOCKS 4, which gets an address (danted takes no names).
    TSocket tunnel = holder.Connect("127.0.0.1", echo.Port(), 5000);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0, 0}));
    EXPECT_TRUE(EchoesBack(tunnel, 1 << 20));
    tunnel.Close();

    EXPECT_EQ(echo.Connections(), 1);
    EXPECT_NE(http.ReadLog().find("127.0.0.1:" + std::to_string(socks4.Port())), std::string::npos)
        << http.ReadLog();
    EXPECT_NE(socks4.ReadLog().find("127.0.0.1." + std::to_string(echo.Port())), std::string::npos)
        << socks4.ReadLog();
}

TEST(HopRealPeers, SingleHops) {
    TEchoServer echo;
    if (TMicrosocksPeer::Available()) {
        TMicrosocksPeer peer; // SOCKS 5 with a name the proxy resolves
        const auto hop = LoneHop(peer.Port(), TProxyType::ptSOCKS5, FillSocksHop);
        TSocket s = THopWalk().Open(hop.get(), "localhost", echo.Port(), 5000);
        EXPECT_TRUE(EchoesBack(s, 100000));
    }
    if (TDantePeer::Available()) {
        TDantePeer peer;
        for (TProxyType type : {TProxyType::ptSOCKS4, TProxyType::ptSOCKS5}) {
            const auto hop = LoneHop(peer.Port(), type, FillSocksHop);
            TSocket s = THopWalk().Open(hop.get(), "127.0.0.1", echo.Port(), 5000);
            EXPECT_TRUE(EchoesBack(s, 100000));
        }
    }
    if (TTinyproxyPeer::Available()) {
        TTinyproxyPeer peer;
        const auto hop = LoneHop(peer.Port(), TProxyType::ptHTTP, FillHttpHop);
        TSocket s = THopWalk().Open(hop.get(), "127.0.0.1", echo.Port(), 5000);
        EXPECT_TRUE(EchoesBack(s, 100000));
    }
}

TEST(HopRealPeers, RefusalsFromRealPeers) {
    const uint16_t closed = FreeLoopbackPort();
    if (TDantePeer::Available()) {
        TDantePeer peer;
        const auto hop = LoneHop(peer.Port(), TProxyType::ptSOCKS4, FillSocksHop);
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(hop.get(), "127.0.0.1", closed, 5000); }),
                  "Request rejected or failed.");
        // danted answers a name (SOCKS 4a) with 91: the name is never looked
        // up here instead, and the message says why.
        const std::string byName =
            FailureOf([&] { THopWalk().Open(hop.get(), "localhost", closed, 5000); });
        EXPECT_NE(byName.find("cannot look names up itself"), std::string::npos) << byName;
        EXPECT_NE(byName.find("not looked up on this machine"), std::string::npos) << byName;
        hop->Version = TSocksVersion::svSocks5;
        EXPECT_EQ(FailureOf([&] { THopWalk().Open(hop.get(), "127.0.0.1", closed, 5000); }),
                  "Connection refused.");
    }
    if (TMicrosocksPeer::Available()) {
        TMicrosocksPeer peer;
        // microsocks speaks SOCKS 5 only
        const auto hop = LoneHop(peer.Port(), TProxyType::ptSOCKS4, FillSocksHop);
        EXPECT_NE(FailureOf([&] { THopWalk().Open(hop.get(), "127.0.0.1", closed, 5000); }),
                  "(no failure)");
    }
    if (TTinyproxyPeer::Available()) {
        TTinyproxyPeer peer;
        const auto hop = LoneHop(peer.Port(), TProxyType::ptHTTP, FillHttpHop);
        const std::string message =
            FailureOf([&] { THopWalk().Open(hop.get(), "127.0.0.1", closed, 5000); });
        EXPECT_EQ(message.substr(0, 4), "500 ") << message;
    }
}

} // namespace
