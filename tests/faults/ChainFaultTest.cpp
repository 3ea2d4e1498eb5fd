// Faults against real peers on loopback, through chains run in-process by
// the chain manager: a hop killed mid-transfer, clients that vanish, a burst
// of connections dropped at once, a destination that sends and closes at once.

#include "tests/faults/FaultSupport.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>

namespace {

using namespace faults;
using namespace VelmoraTest;
using VelmoraTest::ThreadCount;
using VelmoraTest::TLoopbackServer;
using VelmoraTest::WaitFor;

constexpr int kBoundMs = 15000;

// microsocks (SOCKS 5) -> tinyproxy (HTTP CONNECT) -> dante (SOCKS 4).
struct TThreeHops {
    std::unique_ptr<TMicrosocksPeer> Micro;
    std::unique_ptr<TTinyproxyPeer> Tiny;
    std::unique_ptr<TDantePeer> Dante;

    static bool Available() {
        return TMicrosocksPeer::Available() && TTinyproxyPeer::Available() &&
               TDantePeer::Available();
    }
    uint16_t Start(TChainBench &bench) {
        Micro = std::make_unique<TMicrosocksPeer>();
        Tiny = std::make_unique<TTinyproxyPeer>();
        Dante = std::make_unique<TDantePeer>();
        return bench.StartChain({bench.AddProxy(Micro->Port(), TProxyType::ptSOCKS5),
                                 bench.AddProxy(Tiny->Port(), TProxyType::ptHTTP),
                                 bench.AddProxy(Dante->Port(), TProxyType::ptSOCKS4)});
    }
};

// A destination that streams until the connection breaks (at most `limit`
// bytes) and counts the connections it has finished with.
struct TStreamingDestination {
    std::atomic<int> Ended{0};
    std::atomic<size_t> Sent{0};
    TLoopbackServer Server;

    explicit TStreamingDestination(size_t limit)
        : Server([this, limit](TSocket &client) {
              const std::string block = VelmoraTest::Pattern(256 * 1024, 3);
              try {
                  for (size_t sent = 0; sent < limit; sent += block.size()) {
                      client.WriteAll(block);
                      Sent += block.size();
                  }
              } catch (const std::exception &) {
              }
              ++Ended;
          }) {}
};

// One complete connection through the chain, so that the chain's threads
// (the connection thread kept for reuse and the spares) exist before a
// baseline is taken.
void WarmUp(TChainBench &bench, uint16_t chainPort) {
    TLoopbackServer hello([](TSocket &c) { c.WriteAll("hello"); });
    const size_t before = bench.DisconnectCount();
    {
        TSocket s = TSocket::Connect("127.0.0.1", chainPort, 5000);
        ASSERT_EQ(Socks5Connect(s, hello.Port()), 0);
        std::string got;
        EXPECT_EQ(ReadToEnd(s, &got, kBoundMs), TEnd::EndOfStream);
        EXPECT_EQ(got, "hello");
    }
    ASSERT_TRUE(WaitFor([&] { return bench.DisconnectCount() > before; }, kBoundMs));
    hello.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// Every test runs a chain bench of its own; its peers and the bench are
// stopped after the test body, and then every thread they made has ended.
class ChainFaults : public testing::Test {
protected:
    void SetUp() override {
        ThreadsAtStart = ThreadCount();
        Bench = std::make_unique<TChainBench>();
    }
    void TearDown() override {
        Micro.reset();
        Hops.reset();
        Bench.reset();
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= ThreadsAtStart; }, kBoundMs))
            << ThreadCount() << " threads, " << ThreadsAtStart << " at start";
    }

    // A chain through microsocks alone; returns its port.
    uint16_t StartOneHop() {
        Micro = std::make_unique<TMicrosocksPeer>();
        return Bench->StartChain({Bench->AddProxy(Micro->Port(), TProxyType::ptSOCKS5)});
    }
    // A chain through microsocks, tinyproxy and dante; returns its port.
    uint16_t StartThreeHops() {
        Hops = std::make_unique<TThreeHops>();
        return Hops->Start(*Bench);
    }

    size_t ThreadsAtStart = 0;
    std::unique_ptr<TChainBench> Bench;
    std::unique_ptr<TThreeHops> Hops;
    std::unique_ptr<TMicrosocksPeer> Micro;
};

TEST_F(ChainFaults, MiddleHopKilledDuringLargeTransfer) {
    if (!TThreeHops::Available())
        GTEST_SKIP() << "microsocks, tinyproxy or danted missing";
    {
        const uint16_t port = StartThreeHops();
        TStreamingDestination dest(size_t(4) << 30);
        WarmUp(*Bench, port);
        const size_t baseline = ThreadCount();

        TSocket client = TSocket::Connect("127.0.0.1", port, 5000);
        ASSERT_EQ(Socks5Connect(client, dest.Server.Port()), 0);
        const int32_t ctx = Bench->LastContext();
        ASSERT_GE(ctx, 0);
        // Mid-stream: some megabytes have come through.
        std::string got;
        char buffer[65536];
        while (got.size() < 8u * 1024 * 1024) {
            ASSERT_TRUE(client.WaitReadable(kBoundMs));
            const size_t n = client.ReadSome(buffer, sizeof buffer);
            ASSERT_GT(n, 0u);
            got.append(buffer, n);
        }
        EXPECT_EQ(got.compare(0, 256 * 1024, VelmoraTest::Pattern(256 * 1024, 3)), 0);
        ASSERT_EQ(::kill(Hops->Tiny->Pid(), SIGKILL), 0);

        // The client sees the end (orderly or reset) within the bound.
        const auto killed = std::chrono::steady_clock::now();
        const TEnd end = ReadToEnd(client, nullptr, kBoundMs);
        EXPECT_NE(end, TEnd::TimedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(kBoundMs));
        client.Close();
        // The chain reports the end of that connection; the remaining hop
        // (dante) drops the destination.
        EXPECT_TRUE(WaitFor([&] { return Bench->Disconnected(ctx); }, kBoundMs));
        EXPECT_TRUE(WaitFor([&] { return dest.Ended == 1; }, kBoundMs)) << dest.Ended;
        // No connection thread stays behind.
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= baseline; }, kBoundMs))
            << ThreadCount() << " threads, " << baseline << " before";
        EXPECT_TRUE(Hops->Micro->Running());
        EXPECT_TRUE(Hops->Dante->Running());
    }
}

// Threads a chain keeps waiting for later clients (TIdSocksServer's
// MaxIdleThreads): more than these after the faults means some stayed busy.
constexpr size_t kKeptThreads = 16;

TEST_F(ChainFaults, ClientVanishesMidRequestAndMidTransfer) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    {
        const uint16_t port = StartOneHop();
        TStreamingDestination dest(size_t(4) << 30);
        WarmUp(*Bench, port);
        const size_t baseline = ThreadCount();
        const size_t disconnects = Bench->DisconnectCount();

        // Gone inside the greeting, inside the request (orderly and by
        // reset), 40 clients in all: a thread held by each would show.
        const std::vector<std::string> partial = {
            std::string("\x05", 1), std::string("\x05\x02\x00", 3),
            std::string("\x05\x01\x00\x05\x01\x00\x03\x20shortname", 17),
            std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00", 9),
            std::string("\x04\x01\x00\x50\x7f\x00\x00\x01user-without-end", 24)};
        for (int i = 0; i < 40; ++i) {
            TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
            s.WriteAll(partial[i % partial.size()]);
            if (i % 2)
                Reset(s);
            else
                s.Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // No request was complete: nothing is reported.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(Bench->DisconnectCount(), disconnects);
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= baseline + kKeptThreads; }, kBoundMs))
            << ThreadCount() << " threads, " << baseline << " before";

        // Gone mid-transfer, by reset: the hop and the destination are dropped.
        {
            TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
            ASSERT_EQ(Socks5Connect(s, dest.Server.Port()), 0);
            const int32_t ctx = Bench->LastContext();
            char buffer[65536];
            ASSERT_TRUE(s.WaitReadable(kBoundMs));
            ASSERT_GT(s.ReadSome(buffer, sizeof buffer), 0u);
            Reset(s);
            EXPECT_TRUE(WaitFor([&] { return Bench->Disconnected(ctx); }, kBoundMs));
            EXPECT_TRUE(WaitFor([&] { return dest.Ended == 1; }, kBoundMs));
        }

        // The chain still serves.
        TLoopbackServer hello([](TSocket &c) { c.WriteAll("still here"); });
        TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
        ASSERT_EQ(Socks5Connect(s, hello.Port()), 0);
        std::string got;
        EXPECT_EQ(ReadToEnd(s, &got, kBoundMs), TEnd::EndOfStream);
        EXPECT_EQ(got, "still here");
    }
}

TEST_F(ChainFaults, ThousandConnectionsOpenedAndDroppedAtOnce) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    {
        const uint16_t port = StartOneHop();
        WarmUp(*Bench, port);
        const size_t baseline = ThreadCount();

        // 1,000 connects started together without waiting, then every one
        // dropped: half closed, half reset, some after a greeting byte.
        std::vector<int> fds;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 1000; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
            fds.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (size_t i = 0; i < fds.size(); ++i) {
            if (i % 3 == 0)
                (void)!::write(fds[i], "\x05", 1);
            if (i % 2) {
                linger l{1, 0};
                ::setsockopt(fds[i], SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            ::close(fds[i]);
        }

        // The chain serves the next client at once, and the connection
        // threads fall back to those kept for reuse.
        TLoopbackServer hello([](TSocket &c) { c.WriteAll("after the storm"); });
        TSocket s = TSocket::Connect("127.0.0.1", port, kBoundMs);
        ASSERT_EQ(Socks5Connect(s, hello.Port()), 0);
        std::string got;
        EXPECT_EQ(ReadToEnd(s, &got, kBoundMs), TEnd::EndOfStream);
        EXPECT_EQ(got, "after the storm");
        s.Close();
        hello.Stop();
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= baseline + kKeptThreads; }, 30000))
            << ThreadCount() << " threads, " << baseline << " before";
    }
    // Stopping the chain ends every one of them (TearDown).
}

TEST_F(ChainFaults, DestinationThatSendsAndClosesAtOnce) {
    if (!TThreeHops::Available())
        GTEST_SKIP() << "microsocks, tinyproxy or danted missing";
    const uint16_t port = StartThreeHops();
    for (size_t size : {size_t(1), size_t(1000), size_t(65536), size_t(3) << 20}) {
        const std::string data = VelmoraTest::Pattern(size, static_cast<uint32_t>(size));
        TLoopbackServer dest([&data](TSocket &c) { c.WriteAll(data); });
        for (int round = 0; round < 5; ++round) {
            TSocket s = TSocket::Connect("127.0.0.1", port, 5000);
            ASSERT_EQ(Socks5Connect(s, dest.Port()), 0);
            std::string got;
            EXPECT_EQ(ReadToEnd(s, &got, kBoundMs), TEnd::EndOfStream) << size;
            EXPECT_EQ(got.size(), size) << "round " << round;
            EXPECT_TRUE(got == data) << size << " bytes, round " << round;
        }
    }
}

} // namespace
