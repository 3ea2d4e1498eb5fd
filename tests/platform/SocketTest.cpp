#include "platform/Socket.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Pair {
    TSocket listener, client, server;
};

Pair Connected(TSocket::Family family = TSocket::Family::IPv4) {
    Pair p;
    p.listener = TSocket::Listen(family, 0);
    const char *addr = family == TSocket::Family::IPv4 ? "127.0.0.1" : "::1";
    p.client = TSocket::Connect(addr, p.listener.LocalPort(), 2000);
    p.server = p.listener.Accept();
    return p;
}

TEST(Socket, ConnectAcceptAndAddresses) {
    Pair p = Connected();
    ASSERT_TRUE(p.server.Valid());
    EXPECT_EQ(p.server.PeerAddress(), "127.0.0.1");
    EXPECT_EQ(p.server.PeerPort(), p.client.LocalPort());
    EXPECT_EQ(p.client.PeerPort(), p.listener.LocalPort());
}

TEST(Socket, IPv6ListenerIsV6OnlyAndShowsPlainAddress) {
    TSocket v6;
    try {
        v6 = TSocket::Listen(TSocket::Family::IPv6, 0);
    } catch (const ESocketError &) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    // v6-only: the same port is still free for an IPv4 listener.
    EXPECT_NO_THROW(TSocket::Listen(TSocket::Family::IPv4, v6.LocalPort()));
    TSocket c = TSocket::Connect("::1", v6.LocalPort(), 2000);
    TSocket s = v6.Accept();
    EXPECT_EQ(s.PeerAddress(), "::1");
}

TEST(Socket, ExactReadsAcrossSegmentsAndEndOfStream) {
    Pair p = Connected();
    std::thread writer([&] {
        for (char c : std::string("abcdef")) {
            p.client.WriteAll(&c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        p.client.ShutdownWrite();
    });
    char buf[4];
    p.server.ReadExact(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_THROW(p.server.ReadExact(buf, 4), ESocketError); // only two bytes left
    writer.join();
    // The half-closed client still reads what the server sends.
    p.server.WriteAll("reply");
    char r[5];
    p.client.ReadExact(r, 5);
    EXPECT_EQ(std::string(r, 5), "reply");
}

TEST(Socket, ShutdownWakesBlockedAcceptAndRead) {
    Pair p = Connected();
    std::thread acceptor([&] { EXPECT_FALSE(p.listener.Accept().Valid()); });
    std::thread reader([&] {
        char c;
        EXPECT_EQ(p.server.ReadSome(&c, 1), 0u);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.listener.ShutdownBoth();
    p.server.ShutdownBoth();
    acceptor.join();
    reader.join();
}

TEST(Socket, RefusedAndBusyPortAndBadAddress) {
    TSocket l = TSocket::Listen(TSocket::Family::IPv4, 0);
    const uint16_t port = l.LocalPort();
    EXPECT_THROW(TSocket::Listen(TSocket::Family::IPv4, port), ESocketError);
    l.Close();
    try {
        TSocket::Connect("127.0.0.1", port, 2000);
        FAIL() << "connect to a closed port succeeded";
    } catch (const ESocketError &e) {
        EXPECT_EQ(e.Code, ECONNREFUSED);
    }
    EXPECT_THROW(TSocket::Connect("example.org", 80, 100), ESocketError);
}

TEST(Socket, WaitReadableTimesOut) {
    Pair p = Connected();
    EXPECT_FALSE(p.server.WaitReadable(20));
    p.client.WriteAll("x");
    EXPECT_TRUE(p.server.WaitReadable(2000));
}

} // namespace

// A read deadline ends a read that waits past it, whatever was read before,
// and never cuts short one whose bytes come in time; cleared, reads wait.
TEST(Socket, ReadDeadlineEndsALateReadOnly) {
    TSocket listener = TSocket::Listen(TSocket::Family::IPv4, 0, 4, true);
    TSocket client = TSocket::Connect("127.0.0.1", listener.LocalPort(), 2000);
    TSocket server = listener.Accept();
    const auto inMs = [](int ms) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   (std::chrono::steady_clock::now() + std::chrono::milliseconds(ms))
                       .time_since_epoch())
            .count();
    };
    char byte = 0;
    server.WriteAll(std::string("a"));
    client.SetReadDeadline(inMs(200));
    EXPECT_EQ(client.ReadSome(&byte, 1), 1u);
    const auto before = std::chrono::steady_clock::now();
    try {
        client.ReadSome(&byte, 1);
        FAIL() << "the read did not end at its deadline";
    } catch (const ESocketError &e) {
        EXPECT_STREQ(e.what(), "Read timed out.");
        EXPECT_EQ(e.Code, ETIMEDOUT);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    client.SetReadDeadline(0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.WriteAll(std::string("b"));
    });
    EXPECT_EQ(client.ReadSome(&byte, 1), 1u);
    EXPECT_EQ(byte, 'b');
    late.join();
}
