// Connection threads of the SOCKS server: clients are served by threads that
// were started ahead or served an earlier client, threads beyond the idle
// allowance end after a burst, a quiet server goes back to its spares, and
// stopping joins every one of them.

#include "tests/support/ServerTestSupport.h"
#include "tests/support/Wait.h"

#include "engine/server/ConnectionThreads.h"
#include "engine/server/PipePool.h"
#include "engine/server/TempSocksServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <ifaddrs.h>
#include <net/if.h>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>

using namespace VelmoraTest;

namespace {

// SOCKS 5 greeting and a CONNECT for 127.0.0.1:9 (refused by the handler
// below before anything is connected).
std::string RefusedRequest() {
    return std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x09", 13);
}

} // namespace

TEST(ServerThreads, SequentialClientsAreServedByThreadsAlreadyRunning) {
    TTempSocksServer server(0);
    std::mutex lock;
    std::set<long> threads;
    server.OnBeforeSocksConnect = [&](TIdSocksServerContext &, std::string &, uint16_t &,
                                      bool &allowed) {
        std::lock_guard<std::mutex> guard(lock);
        threads.insert(static_cast<long>(::syscall(SYS_gettid)));
        allowed = false;
    };
    server.Start();
    constexpr int Clients = 40;
    for (int i = 0; i < Clients; ++i) {
        TSocket c = TSocket::Connect("127.0.0.1", server.Port(), 5000);
        c.WriteAll(RefusedRequest());
        // Method reply, then "not allowed", then the end of the connection.
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000),
                  std::string("\x05\x00\x05\x02\x00\x01\x00\x00\x00\x00\x00\x00", 12));
        // The next client comes once this one's connection has ended on the
        // server too: on a busy machine the client sees the end before the
        // serving thread is back among the waiting ones.
        EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 5000));
    }
    server.Stop();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_GE(threads.size(), 1u);
    // One after another, they never need more than a few threads.
    EXPECT_LE(threads.size(), server.Threads.SpareThreads + 4)
        << threads.size() << " threads served";
}

TEST(ServerThreads, AfterABurstOnlyTheIdleAllowanceStaysAndStopJoinsThemAll) {
    // A first thread makes the runtime start any helper threads of its own
    // (the thread sanitizer has one) before the count is taken.
    std::thread([] {}).join();
    const size_t before = ThreadCount();
    TTempSocksServer server(0);
    server.Threads.SpareThreads = 1;
    server.Threads.MaxIdleThreads = 3;
    server.Start();
    constexpr size_t Clients = 30;
    {
        // Clients that say nothing: each keeps a thread waiting for its request.
        std::vector<TSocket> silent;
        for (size_t i = 0; i < Clients; ++i)
            silent.push_back(TSocket::Connect("127.0.0.1", server.Port(), 5000));
        ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == Clients; }));
        EXPECT_GT(ThreadCount(), before + Clients);
    }
    ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
    // Listener threads (IPv4 and maybe IPv6) and at most three idle threads.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= before + 2 + 3; }))
        << ThreadCount() << " threads, " << before << " before";

    // Still served after the burst, and again after a restart.
    for (int round = 0; round < 2; ++round) {
        TSocket c = TSocket::Connect("127.0.0.1", server.Port(), 5000);
        c.WriteAll(std::string("\x05\x01\x00\x05\x09\x00\x01\x7f\x00\x00\x01\x00\x09", 13));
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000).substr(0, 4), std::string("\x05\x00\x05\x07", 4));
        c.Close();
        server.Stop();
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; })) << ThreadCount();
        server.Start();
    }
    server.Stop();
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; })) << ThreadCount();
}

TEST(ServerThreads, AQuietServerGoesBackToItsSparesAndClosesItsIdlePipes) {
    std::thread([] {}).join();
    TLoopbackServer destination(ReceiveThenSendBody(256 * 1024));
    auto pool = std::make_shared<TPipePool>();
    TTempSocksServer server(0);
    server.Threads.SpareThreads = 1;
    server.Threads.IdleThreadTimeoutMs = 1000;
    server.SetPipePool(pool);
    server.Start();
    const size_t started = ThreadCount(); // listeners and the spare

    // Ten relays at once, each moving bytes both ways through pooled pipes.
    constexpr int Clients = 10;
    std::vector<TSocket> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(TSocket::Connect("127.0.0.1", server.Port(), 5000));
        clients.back().WriteAll(
            std::string("\x04\x01", 2) + static_cast<char>(destination.Port() >> 8) +
            static_cast<char>(destination.Port() & 0xff) + std::string("\x7f\x00\x00\x01\x00", 5));
    }
    for (TSocket &c : clients) {
        ASSERT_EQ(ReadExactly(c, 8).substr(0, 2), std::string("\x00\x5a", 2));
        c.WriteAll(Pattern(512 * 1024, 1));
        c.ShutdownWrite();
    }
    for (TSocket &c : clients)
        EXPECT_EQ(ReadAll(c).size(), 256u * 1024 + 16);
    clients.clear();
    // The pipes the relays used wait in the pool for a while.
    EXPECT_TRUE(WaitFor([&] { return pool->IdleCount() > 0; }, 900));

    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == started; }))
        << ThreadCount() << " threads, " << started << " after start";
    EXPECT_TRUE(WaitFor([&] { return pool->IdleCount() == 0; })) << pool->IdleCount();

    // The spare still serves the next client at once.
    TSocket c = TSocket::Connect("127.0.0.1", server.Port(), 5000);
    c.WriteAll(RefusedRequest().substr(0, 3));
    EXPECT_EQ(ReadExactly(c, 2), std::string("\x05\x00", 2));
    c.Close();
    server.Stop();
}

TEST(ServerThreads, ConnectionThreadsServeEachClientThenCloseItAndReportAQuietServer) {
    std::atomic<int> served{0};
    std::atomic<int> quiet{0};
    TConnectionThreads threads(
        [&](TIdSocksServerContext &context) {
            ++served;
            context.Connection().WriteAll("hi");
        },
        [&] { ++quiet; });
    TConnectionThreads::TSettings settings;
    settings.SpareThreads = 1;
    settings.IdleThreadTimeoutMs = 200;
    threads.Start(0, settings);
    ASSERT_TRUE(threads.Active());
    ASSERT_NE(threads.Port(), 0);
    std::vector<TSocket> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(TSocket::Connect("127.0.0.1", threads.Port(), 5000));
    // Each client gets what its serve call wrote, then the end of the connection.
    for (TSocket &c : clients)
        EXPECT_EQ(ReadAll(c, SIZE_MAX, 5000), "hi");
    EXPECT_TRUE(WaitFor([&] { return threads.ConnectionCount() == 0; }));
    EXPECT_EQ(served, 5);
    // The threads beyond the spare end after their idle time, the last one saying so.
    EXPECT_TRUE(WaitFor([&] { return quiet > 0; }));
    threads.Stop();
    EXPECT_FALSE(threads.Active());
    EXPECT_EQ(threads.Port(), 0);
}

namespace {

// An IPv4 address of this machine that is not loopback; empty when it has none.
std::string OtherLocalAddress() {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs *a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text,
                    sizeof text);
        found = text;
    }
    ::freeifaddrs(list);
    return found;
}

bool Reaches(const std::string &address, uint16_t port) {
    try {
        TSocket::Connect(address, port, 2000);
        return true;
    } catch (const ESocketError &) {
        return false;
    }
}

} // namespace

// A loopback-only server (a chain run for one launched program) cannot be
// reached from the machine's other addresses; the control shows that the
// same address reaches a server on all interfaces.
TEST(ServerThreads, ALoopbackOnlyServerRefusesTheMachinesOtherAddresses) {
    const std::string other = OtherLocalAddress();
    if (other.empty())
        GTEST_SKIP() << "this machine has no address besides loopback";
    const auto serve = [](TIdSocksServerContext &) {};
    TConnectionThreads everywhere(serve, [] {});
    everywhere.Start(0, {});
    EXPECT_TRUE(Reaches(other, everywhere.Port()));

    TConnectionThreads::TSettings loopback;
    loopback.LoopbackOnly = true;
    TConnectionThreads local(serve, [] {});
    local.Start(0, loopback);
    EXPECT_TRUE(Reaches("127.0.0.1", local.Port()));
    EXPECT_FALSE(Reaches(other, local.Port()));
}

// Listening anew on every interface while another program holds the port
// at one of this machine's addresses fails: the error comes back and the
// server listens on loopback as before. Once the port is free the same
// call opens it to that address (the control), and back again.
TEST(ServerThreads, RebindThatCannotHaveThePortKeepsTheListenersAsTheyWere) {
    const std::string other = OtherLocalAddress();
    if (other.empty())
        GTEST_SKIP() << "this machine has no address besides loopback";
    TConnectionThreads::TSettings loopback;
    loopback.LoopbackOnly = true;
    TConnectionThreads threads([](TIdSocksServerContext &) {}, [] {});
    threads.Start(0, loopback);
    const uint16_t port = threads.Port();

    TSocket holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, other.c_str(), &at.sin_addr);
    ASSERT_EQ(::bind(holder.Fd(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(holder.Fd(), 4), 0);
    EXPECT_THROW(threads.Rebind(false), ESocketError);
    EXPECT_TRUE(threads.LoopbackOnly());
    EXPECT_TRUE(Reaches("127.0.0.1", port));

    holder.Close();
    threads.Rebind(false);
    EXPECT_FALSE(threads.LoopbackOnly());
    EXPECT_TRUE(Reaches(other, port));
    threads.Rebind(true);
    EXPECT_FALSE(Reaches(other, port));
    EXPECT_TRUE(Reaches("127.0.0.1", port));
}

// Listeners made elsewhere (inside a launched program's network) are served
// as the server's own, and closed by Stop.
TEST(ServerThreads, AdoptedListenersAreServedAndClosedByStop) {
    std::vector<TSocket> listeners;
    listeners.push_back(TSocket::Listen(TSocket::Family::IPv4, 0, 16, true));
    const uint16_t port = listeners.back().LocalPort();
    TConnectionThreads threads([](TIdSocksServerContext &c) { c.Connection().WriteAll("ok"); },
                               [] {});
    threads.Adopt(std::move(listeners), {});
    EXPECT_EQ(threads.Port(), port);
    TSocket client = TSocket::Connect("127.0.0.1", port, 5000);
    EXPECT_EQ(ReadAll(client, SIZE_MAX, 5000), "ok");
    threads.Stop();
    EXPECT_FALSE(Reaches("127.0.0.1", port));
}
