// The relay between two real loopback TCP connections, through pooled pipes
// (splice) and through buffers: no byte lost when a side sends and closes at
// once, half-closes carried both ways, a large transfer in both directions at
// once, a receiver that stops reading, the idle time-out, and a relay woken
// from another thread.

#include "tests/support/ServerTestSupport.h"

#include "engine/server/PipePool.h"
#include "engine/server/Relay.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>

using namespace VelmoraTest;

namespace {

enum class TMode { Pipes, Buffers };

// client <-> [A relay B] <-> server
class TRelayRig {
public:
    TRelayRig(TMode mode, TLoopbackServer &server, int idleTimeoutMs = 0,
              const TRelay::THandOff &handOff = TRelay::THandOff())
        : FPool(mode == TMode::Pipes ? new TPipePool() : nullptr), FRelay(FPool.get(), handOff) {
        TSocketPair pair = LoopbackPair();
        Client = std::move(pair.Near);
        FA = std::move(pair.Far);
        FB = TSocket::Connect("127.0.0.1", server.Port(), 5000);
        FThread = std::thread([this, idleTimeoutMs] {
            FEnd = FRelay.Run(FA.Fd(), FB.Fd(), idleTimeoutMs);
            FDone = true;
        });
    }
    ~TRelayRig() {
        if (FThread.joinable()) {
            Wake();
            FThread.join();
        }
    }

    bool WaitEnded(int timeoutMs = 20000) {
        const bool ended = WaitFor([this] { return FDone.load(); }, timeoutMs);
        if (ended)
            FThread.join();
        return ended;
    }
    TRelay::TEnd End() const { return FEnd; }
    TRelay &Relay() { return FRelay; }
    TPipePool *Pool() { return FPool.get(); }
    void Wake() {
        // As a stopping server does: shut both sockets down from outside.
        ::shutdown(FA.Fd(), SHUT_RDWR);
        ::shutdown(FB.Fd(), SHUT_RDWR);
    }

    TSocket Client;

private:
    std::unique_ptr<TPipePool> FPool;
    TRelay FRelay;
    TSocket FA;
    TSocket FB;
    std::thread FThread;
    std::atomic<bool> FDone{false};
    TRelay::TEnd FEnd = TRelay::TEnd::Closed;
};

class RelayTest : public testing::TestWithParam<TMode> {};

std::string Hex(uint64_t value) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value));
    return hex;
}

} // namespace

TEST_P(RelayTest, ClientSendsAndClosesAtOnceNothingLost) {
    std::promise<std::string> received;
    TLoopbackServer server([&](TSocket &s) { received.set_value(ReadAll(s, SIZE_MAX, 30000)); });
    TRelayRig rig(GetParam(), server);
    const std::string data = Pattern(4 * 1024 * 1024 + 17, 1);
    rig.Client.WriteAll(data);
    rig.Client.Close(); // full close right after the last byte
    auto future = received.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const std::string got = future.get();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(Checksum(got), Checksum(data));
    EXPECT_TRUE(rig.WaitEnded());
}

TEST_P(RelayTest, ServerSendsAndClosesAtOnceNothingLost) {
    const std::string data = Pattern(4 * 1024 * 1024 + 5, 2);
    TLoopbackServer server([&](TSocket &s) {
        s.WriteAll(data);
        s.Close();
    });
    TRelayRig rig(GetParam(), server);
    const std::string got = ReadAll(rig.Client);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(Checksum(got), Checksum(data));
    rig.Client.Close(); // the other direction ends too
    EXPECT_TRUE(rig.WaitEnded());
    EXPECT_EQ(rig.End(), TRelay::TEnd::Closed);
    EXPECT_EQ(rig.Relay().BytesBToA(), data.size());
}

TEST_P(RelayTest, ClientHalfClosesAfterRequestAndGetsWholeReply) {
    const size_t replySize = 6 * 1024 * 1024;
    TLoopbackServer server(ReceiveThenSendBody(replySize));
    TRelayRig rig(GetParam(), server);
    const std::string request = Pattern(1024 * 1024 + 3, 4);
    rig.Client.WriteAll(request);
    rig.Client.ShutdownWrite();
    const std::string reply = ReadAll(rig.Client);
    ASSERT_EQ(reply.size(), replySize + 16);
    EXPECT_EQ(Checksum(reply.substr(0, replySize)), Checksum(Pattern(replySize, 3)));
    EXPECT_EQ(reply.substr(replySize), Hex(Checksum(request)));
    EXPECT_TRUE(rig.WaitEnded());
}

TEST_P(RelayTest, ServerHalfClosesFirstAndStillReceives) {
    std::promise<std::string> received;
    const std::string greeting = Pattern(2 * 1024 * 1024, 5);
    TLoopbackServer server([&](TSocket &s) {
        s.WriteAll(greeting);
        s.ShutdownWrite();
        received.set_value(ReadAll(s, SIZE_MAX, 30000));
    });
    TRelayRig rig(GetParam(), server);
    const std::string got = ReadAll(rig.Client); // ends with the server's half-close
    EXPECT_EQ(Checksum(got), Checksum(greeting));
    const std::string answer = Pattern(3 * 1024 * 1024 + 1, 6);
    rig.Client.WriteAll(answer);
    rig.Client.ShutdownWrite();
    auto future = received.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(Checksum(future.get()), Checksum(answer));
    EXPECT_TRUE(rig.WaitEnded());
}

// Sends `size` bytes each way at once through a relay and checks that both
// sides got them whole. Returns the bytes the relay copied rather than
// spliced.
uint64_t CheckBothWaysAtOnce(size_t size, TMode mode,
                             const TRelay::THandOff &handOff = TRelay::THandOff()) {
    const std::string up = Pattern(size, 8);
    const std::string down = Pattern(size, 9);
    std::promise<std::string> serverGot;
    TLoopbackServer server([&](TSocket &s) {
        std::thread sender([&] {
            s.WriteAll(down);
            s.ShutdownWrite();
        });
        serverGot.set_value(ReadAll(s, SIZE_MAX, 60000));
        sender.join();
    });
    TRelayRig rig(mode, server, 0, handOff);
    std::thread sender([&] {
        rig.Client.WriteAll(up);
        rig.Client.ShutdownWrite();
    });
    const std::string clientGot = ReadAll(rig.Client, SIZE_MAX, 60000);
    sender.join();
    auto future = serverGot.get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the server never got the end of the stream";
        return 0;
    }
    const std::string atServer = future.get();
    EXPECT_EQ(atServer.size(), size);
    EXPECT_EQ(Checksum(atServer), Checksum(up));
    EXPECT_EQ(clientGot.size(), size);
    EXPECT_EQ(Checksum(clientGot), Checksum(down));
    EXPECT_TRUE(rig.WaitEnded());
    EXPECT_EQ(rig.Relay().BytesAToB(), size);
    EXPECT_EQ(rig.Relay().BytesBToA(), size);
    return rig.Relay().BytesCopied();
}

TEST_P(RelayTest, LargeTransferBothWaysAtOnce) {
    CheckBothWaysAtOnce(24 * 1024 * 1024, GetParam());
}

// A receiver that stops reading after a fast start, long enough for every
// queue on the way to fill, then reads on: the relay waits without losing or
// reordering a byte, and carries the end of the stream after the backlog.
TEST_P(RelayTest, StalledReceiverGetsEveryByteInOrderWhenItReadsAgain) {
    const std::string block = Pattern(1024 * 1024, 11);
    const size_t before = 64 * block.size();
    std::promise<void> paused;
    std::promise<void> resume;
    std::promise<std::pair<size_t, bool>> received; // bytes, all in order
    TLoopbackServer server([&](TSocket &s) {
        size_t got = 0;
        bool inOrder = true;
        std::string piece(64 * 1024, '\0');
        bool pausedYet = false;
        for (;;) {
            if (!pausedYet && got >= before) {
                pausedYet = true;
                paused.set_value();
                resume.get_future().wait();
            }
            const size_t want = pausedYet ? piece.size() : std::min(piece.size(), before - got);
            const ssize_t n = ::recv(s.Fd(), piece.data(), want, 0);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i)
                inOrder = inOrder && piece[i] == block[(got + i) % block.size()];
            got += static_cast<size_t>(n);
        }
        received.set_value({got, inOrder});
    });
    TRelayRig rig(GetParam(), server);
    std::atomic<bool> stop{false};
    std::atomic<size_t> sent{0};
    std::thread sender([&] {
        try {
            while (!stop) {
                rig.Client.WriteAll(block);
                sent += block.size();
            }
            rig.Client.ShutdownWrite();
        } catch (const std::exception &) {
        }
    });
    // Lets the receiver read on and the sender finish.
    auto readOn = [&] {
        stop = true;
        resume.set_value();
        sender.join();
    };
    auto pausedFuture = paused.get_future();
    if (pausedFuture.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the receiver never got its first 64 MB";
        ::shutdown(rig.Client.Fd(), SHUT_RDWR); // the sender's write fails: it can be joined
        rig.Wake();
        readOn();
        return;
    }

    // Let the queues fill: the sender stops making progress.
    size_t last = SIZE_MAX;
    int steady = 0;
    for (int look = 0; look < 100 && steady < 4; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const size_t now = sent.load();
        steady = now == last ? steady + 1 : 0;
        last = now;
    }
    EXPECT_GE(steady, 4) << "the sender never had to wait";

    readOn();
    auto receivedFuture = received.get_future();
    ASSERT_EQ(receivedFuture.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto [got, inOrder] = receivedFuture.get();
    EXPECT_EQ(got, sent.load());
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(rig.WaitEnded());
}

TEST_P(RelayTest, IdleTimeoutEndsOnlyAQuietRelay) {
    TLoopbackServer server([](TSocket &s) {
        // Echo each piece until the end.
        char buffer[256];
        for (;;) {
            const size_t got = s.ReadSome(buffer, sizeof buffer);
            if (got == 0)
                return;
            s.WriteAll(buffer, got);
        }
    });
    TRelayRig rig(GetParam(), server, 400);
    const auto start = std::chrono::steady_clock::now();
    // Traffic every 100 ms keeps it alive for a while (the last at ~700 ms)...
    for (int i = 0; i < 8; ++i) {
        rig.Client.WriteAll("ping", 4);
        EXPECT_EQ(ReadExactly(rig.Client, 4), "ping");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // ...then silence ends it.
    ASSERT_TRUE(rig.WaitEnded(10000));
    const auto lasted = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rig.End(), TRelay::TEnd::IdleTimeout);
    EXPECT_GE(lasted, std::chrono::milliseconds(700 + 400 - 50));
}

TEST_P(RelayTest, ShutdownFromAnotherThreadWakesIt) {
    TLoopbackServer server([](TSocket &s) { ReadAll(s, SIZE_MAX, 30000); });
    TRelayRig rig(GetParam(), server);
    rig.Client.WriteAll("x", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rig.Wake();
    EXPECT_TRUE(rig.WaitEnded(5000));
    EXPECT_EQ(rig.End(), TRelay::TEnd::Closed);
}

TEST_P(RelayTest, ResetByServerEndsTheRelay) {
    TLoopbackServer server([](TSocket &s) {
        // Not before the rig's connect has seen its connection established:
        // a reset that early would fail the connect itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        linger hard{1, 0};
        ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        s.Close(); // sends a reset
    });
    TRelayRig rig(GetParam(), server);
    EXPECT_TRUE(rig.WaitEnded(5000));
    ReadAll(rig.Client, SIZE_MAX, 5000); // the client sees the end too
}

INSTANTIATE_TEST_SUITE_P(Modes, RelayTest, testing::Values(TMode::Pipes, TMode::Buffers),
                         [](const testing::TestParamInfo<TMode> &info) {
                             return info.param == TMode::Pipes ? "Pipes" : "Buffers";
                         });

TEST(RelayPipes, IdleRelayHoldsNoPipe) {
    TLoopbackServer server([](TSocket &s) {
        s.WriteAll(Pattern(512 * 1024, 1));
        ReadAll(s, SIZE_MAX, 30000);
    });
    TRelayRig rig(TMode::Pipes, server);
    EXPECT_EQ(ReadExactly(rig.Client, 512 * 1024).size(), 512u * 1024);
    // The data has gone through; the relay still runs, idle, with its pipe
    // back in the pool.
    EXPECT_TRUE(WaitFor([&] { return rig.Pool()->IdleCount() >= 1; }, 5000));
    rig.Client.ShutdownWrite();
    EXPECT_TRUE(rig.WaitEnded());
}

TEST(RelayPipes, PoolKeepsWithinItsBudget) {
    const size_t big = 1024 * 1024;
    TPipePool pool(big, 4, 2 * big);
    TPipePool::TPipe a, b, c;
    ASSERT_TRUE(pool.Borrow(a));
    if (a.Capacity != big)
        GTEST_SKIP() << "large pipes refused here (pipe quota in use)";
    ASSERT_TRUE(pool.Borrow(b));
    ASSERT_TRUE(pool.Borrow(c));
    EXPECT_EQ(b.Capacity, big);
    EXPECT_LT(c.Capacity, big); // past the budget: default size
    EXPECT_EQ(pool.BytesHeld(), 2 * big + c.Capacity);
    pool.Return(c);
    pool.Return(b);
    pool.Return(a, false);           // bytes left inside: closed
    EXPECT_EQ(pool.IdleCount(), 1u); // only the empty large one is kept
    EXPECT_EQ(pool.BytesHeld(), big);
    TPipePool::TPipe again;
    ASSERT_TRUE(pool.Borrow(again));
    EXPECT_EQ(again.Capacity, big);
    pool.Return(again);
}

// With pipes, a direction copies through a buffer while it runs slow and
// splices again once it speeds up. Here every rate sample flips the choice,
// so the relay switches again and again with bytes in flight both ways (a
// sample longer than a pipe lets the pipe drain before the next flip).
TEST(RelayHandOff, SwitchingBackAndForthLosesNoByte) {
    TRelay::THandOff flip;
    flip.SampleBytes = 2 * TPipePool::DefaultPipeSize;
    flip.CopyBelow = 1e18; // any rate is slow: splicing turns to copying
    flip.SpliceAbove = 0;  // and any rate is fast: copying turns to splicing
    const size_t size = 24 * 1024 * 1024;
    const uint64_t copied = CheckBothWaysAtOnce(size, TMode::Pipes, flip);
    EXPECT_GT(copied, 0u);
    EXPECT_LT(copied, 2 * size); // and some spliced
}

TEST(RelayHandOff, SlowReceiverIsServedByCopyingAndAFastOneBySplicing) {
    TRelay::THandOff handOff;
    handOff.SampleBytes = 512 * 1024;
    handOff.CopyBelow = 100e6; // bytes per second
    handOff.SpliceAbove = 200e6;
    // Enough that the slow receiver is still reading when the socket buffers
    // on the way have filled.
    const size_t size = 16 * 1024 * 1024;
    const std::string data = Pattern(size, 12);
    for (const bool slow : {true, false}) {
        SCOPED_TRACE(slow ? "slow receiver" : "fast receiver");
        TRelay::THandOff h = handOff;
        if (!slow)
            h.CopyBelow = 1e6; // whatever the machine, the fast receiver beats it
        std::promise<std::string> got;
        TLoopbackServer server([&](TSocket &s) {
            if (slow) {
                const int small = 64 * 1024;
                ::setsockopt(s.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            }
            std::string all;
            std::string piece(64 * 1024, '\0');
            for (;;) {
                const ssize_t n = ::recv(s.Fd(), piece.data(), piece.size(), 0);
                if (n <= 0)
                    break;
                all.append(piece.data(), static_cast<size_t>(n));
                if (slow) // at most 32 MB/s
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            got.set_value(std::move(all));
        });
        TRelayRig rig(TMode::Pipes, server, 0, h);
        rig.Client.WriteAll(data);
        rig.Client.ShutdownWrite();
        auto future = got.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_EQ(Checksum(future.get()), Checksum(data));
        rig.Client.Close();
        ASSERT_TRUE(rig.WaitEnded());
        if (slow)
            EXPECT_GT(rig.Relay().BytesCopied(), 0u);
        else
            EXPECT_EQ(rig.Relay().BytesCopied(), 0u);
    }
}
