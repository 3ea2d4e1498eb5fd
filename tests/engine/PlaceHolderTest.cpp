// The per-connection hop holder: the nest it builds from a chain record,
// what a failed build leaves, plain connectors for downloads, concurrent
// builds from one shared record, and filling connectors from records.

#include "engine/hop/MyHttpProxy.h"
#include "engine/hop/MySocksProxyInfo.h"
#include "engine/hop/dmCompsPlaceHolder.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::unique_ptr<TProxData> Item(const char *address, int port, int type) {
    auto p = std::make_unique<TProxData>();
    p->FIPAddress = address;
    p->FHostName = "host.example";
    p->FPort = port;
    p->FProxyType = TProxyType(type);
    return p;
}

TEST(PlaceHolder, NestFollowsTheChainOrder) {
    TChainedProxyData chain;
    chain.AddItem(Item("10.0.0.1", 1081, 3));
    chain.AddItem(Item("10.0.0.2", 8080, 4));
    chain.AddItem(Item("10.0.0.3", 65536 + 1083, 1)); // only the low 16 bits are a port
    TdmCompsPlaceHolder holder;
    holder.CrateProxyChainComps(chain, 123456);

    auto *first = dynamic_cast<TMySocksProxyInfo *>(holder.FProxyConnection);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(holder.TransparentProxy(), first);
    EXPECT_EQ(first->Version, TSocksVersion::svSocks5);
    EXPECT_EQ(first->Host, "10.0.0.1");
    EXPECT_EQ(first->Port, 1081);
    EXPECT_EQ(first->FContextID, 123456);

    auto *second = dynamic_cast<TMyHttpProxy *>(first->ChainedProxy());
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->Enabled());
    EXPECT_EQ(second->Host, "10.0.0.2");
    EXPECT_EQ(second->FContextID, 123456);

    auto *third = dynamic_cast<TMySocksProxyInfo *>(second->ChainedProxy());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->Version, TSocksVersion::svSocks4);
    EXPECT_EQ(third->Port, 1083);
    EXPECT_EQ(third->ChainedProxy(), nullptr);
    EXPECT_EQ(holder.FContextID, 123456);
    EXPECT_EQ(chain.FCurrItem, -1);
}

TEST(PlaceHolder, OneItemAndNoItems) {
    TChainedProxyData one;
    one.AddItem(Item("10.0.0.1", 1080, 2)); // "SOCKS 4/5" is spoken to as SOCKS 5
    TdmCompsPlaceHolder a;
    a.CrateProxyChainComps(one, 1);
    auto *hop = dynamic_cast<TIdSocksInfo *>(a.FProxyConnection);
    ASSERT_NE(hop, nullptr);
    EXPECT_EQ(hop->Version, TSocksVersion::svSocks5);
    EXPECT_EQ(hop->ChainedProxy(), nullptr);

    // No items: no transparent proxy, the client goes straight to the destination.
    VelmoraTest::TEchoServer echo;
    TChainedProxyData none;
    TdmCompsPlaceHolder b;
    b.CrateProxyChainComps(none, 2);
    EXPECT_EQ(b.FProxyConnection, nullptr);
    EXPECT_EQ(b.TransparentProxy(), nullptr);
    TSocket s = b.Connect("127.0.0.1", echo.Port(), 2000);
    s.WriteAll("abc");
    char buf[3];
    s.ReadExact(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(PlaceHolder, UnsupportedTypeStopsTheBuildFromTheBack) {
    TChainedProxyData chain;
    chain.AddItem(Item("10.0.0.1", 1080, 3));
    chain.AddItem(Item("10.0.0.2", 1080, 0)); // "Unknown"
    chain.AddItem(Item("10.0.0.3", 1080, 1));
    TdmCompsPlaceHolder holder;
    try {
        holder.CrateProxyChainComps(chain, 5);
        FAIL() << "the build went through";
    } catch (const EVelmoraError &e) {
        EXPECT_STREQ(e.what(), "proxy type not supported");
    }
    // The third item's connector was made and is the last complete one; no
    // transparent proxy was set.
    ASSERT_NE(holder.FProxyConnection, nullptr);
    EXPECT_EQ(holder.FProxyConnection->Host, "10.0.0.3");
    EXPECT_EQ(holder.TransparentProxy(), &holder.SocksInfoComp);

    TChainedProxyData bad;
    bad.AddItem(Item("10.0.0.9", 1080, 5));
    TdmCompsPlaceHolder other;
    EXPECT_THROW(other.CrateProxyChainComps(bad, 6), EVelmoraError);
}

TEST(PlaceHolder, PlainConnectorsForDownloads) {
    TdmCompsPlaceHolder holder;
    EXPECT_EQ(holder.FSocksInfo, nullptr);
    EXPECT_EQ(holder.FHttpProxy, nullptr);
    EXPECT_EQ(holder.SocksInfoComp.Version, TSocksVersion::svSocks5);
    EXPECT_FALSE(holder.ConnThroughHTTPProx.Enabled());

    TIdSocksInfo *socks = holder.CreateSocksInfo();
    EXPECT_EQ(holder.FSocksInfo, socks);
    EXPECT_EQ(socks->Port, 1080);
    EXPECT_FALSE(socks->Enabled());
    TProxData record;
    record.FIPAddress = "192.0.2.5";
    record.FHostName = "proxy.example";
    record.FPort = 3128;
    record.FProxyType = TProxyType::ptSOCKS4;
    FillSocksHop(*socks, record);
    EXPECT_EQ(socks->Host, "192.0.2.5");
    EXPECT_EQ(socks->Version, TSocksVersion::svSocks4);
    EXPECT_TRUE(socks->Enabled());

    TIdConnectThroughHttpProxy *http = holder.CreateHTTPProxy();
    EXPECT_EQ(holder.FHttpProxy, http);
    EXPECT_FALSE(http->Enabled());
    FillHttpHop(*http, record); // the type is not examined
    EXPECT_TRUE(http->Enabled());
    EXPECT_EQ(http->Port, 3128);

    record.FProxyType = TProxyType::ptHTTP;
    TIdSocksInfo target;
    EXPECT_THROW(FillSocksHop(target, record), EVelmoraError);
    EXPECT_EQ(target.Host, "192.0.2.5"); // set before the type was refused
}

TEST(PlaceHolder, ChainedProxyRefusesCirclesAndForgetsDestroyedHops) {
    TIdSocksInfo a, b;
    auto c = std::make_unique<TIdSocksInfo>();
    a.SetChainedProxy(&b);
    b.SetChainedProxy(c.get());
    EXPECT_THROW(c->SetChainedProxy(&a), EVelmoraError);
    EXPECT_THROW(a.SetChainedProxy(&a), EVelmoraError);
    EXPECT_EQ(c->ChainedProxy(), nullptr);
    c.reset();
    EXPECT_EQ(b.ChainedProxy(), nullptr);
    EXPECT_EQ(a.ChainedProxy(), &b);
}

TEST(PlaceHolder, ConcurrentBuildsFromOneRecordAreIndependent) {
    TChainedProxyData chain;
    for (int i = 0; i < 6; ++i)
        chain.AddItem(Item(("10.0.1." + std::to_string(i + 1)).c_str(), 1000 + i, i % 2 ? 4 : 3));
    constexpr int Threads = 4, Rounds = 200;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < Rounds; ++r) {
                TdmCompsPlaceHolder holder;
                const int id = t * Rounds + r;
                holder.CrateProxyChainComps(chain, id);
                int i = 0;
                for (TIdCustomTransparentProxy *hop = holder.FProxyConnection; hop;
                     hop = hop->ChainedProxy(), ++i) {
                    if (hop->Port != 1000 + i)
                        ++wrong;
                }
                if (i != 6 || holder.FContextID != id)
                    ++wrong;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(chain.FCurrItem, -1);
}

} // namespace
