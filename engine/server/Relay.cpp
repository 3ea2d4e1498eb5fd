#include "engine/server/Relay.h"

#include "engine/server/PipePool.h"
#include "platform/Error.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned SpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
// Rounds of read-and-write one direction may take before the other one gets
// its turn, so that a fast sender cannot starve the opposite direction.
constexpr int RoundsPerTurn = 16;

bool TryAgain(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

void SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t NowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Writing to a socket whose peer has gone raises SIGPIPE from splice(). The
// relay keeps the signal blocked on its thread while it runs and takes any
// such signal off the thread before unblocking, so only the error remains.
class TSigPipeBlock {
public:
    TSigPipeBlock() {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &FOld);
    }
    ~TSigPipeBlock() {
        if (!sigismember(&FOld, SIGPIPE)) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE)) {
                timespec zero{0, 0};
                sigtimedwait(&pipeOnly, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }

private:
    sigset_t FOld;
};

} // namespace

// One direction: bytes read from Src are held (in a pipe or a buffer) until
// written to Dst.
struct TRelay::TDirection {
    int Src = -1;
    int Dst = -1;
    int Index = 0;                     // 0: a to b, 1: b to a
    bool SrcEnded = false;             // end-of-stream (or a read error) seen on Src
    bool ShutdownSent = false;         // the end has been passed on to Dst
    bool Dead = false;                 // Dst no longer takes bytes: the direction is over
    size_t Pending = 0;                // bytes held
    TPipePool::TPipe Pipe;             // while borrowed
    char *Buffer = nullptr;            // the buffer in use when no pipe is
    size_t BufferOffset = 0;           // start of the held bytes in Buffer
    std::unique_ptr<char[]> OwnBuffer; // while bytes are held, copying or short of pipes
    bool Copying = false;              // running slow: through OwnBuffer, not a pipe
    uint64_t SampleFrom = 0;           // bytes moved when the current rate sample began
    int64_t SampleStartNs = 0;         // its start; 0 before the first sample

    bool Done() const { return Dead || (SrcEnded && Pending == 0 && ShutdownSent); }
    bool WantsRead() const { return !Dead && !SrcEnded && Pending == 0; }
    bool WantsWrite() const { return !Dead && Pending > 0; }
};

TRelay::TRelay(TPipePool *pipes) : FPipes(pipes) {}

TRelay::TRelay(TPipePool *pipes, const THandOff &handOff) : FPipes(pipes), FHandOff(handOff) {}

TRelay::~TRelay() = default;

void TRelay::Prepare() {
    if (FPrepared)
        return;
    if (FPipes) {
        if (!FPipes->CanLend())
            throw EVelmoraError("Out of relay resources");
    } else {
        for (auto &buffer : FBuffers) {
            buffer.reset(new (std::nothrow) char[BufferSize]);
            if (!buffer)
                throw EVelmoraError("Out of relay resources");
        }
    }
    FPrepared = true;
}

bool TRelay::EnsureHolder(TDirection &d) {
    if (d.Pipe.ReadFd >= 0 || d.Buffer)
        return true;
    if (!FPipes) {
        d.Buffer = FBuffers[d.Index].get();
        return d.Buffer != nullptr;
    }
    if (!d.Copying && FPipes->Borrow(d.Pipe))
        return true;
    // Copying, or no pipe to be had: this direction goes on through a buffer
    // of its own (given back with the last byte, see Pump).
    d.OwnBuffer.reset(new (std::nothrow) char[BufferSize]);
    d.Buffer = d.OwnBuffer.get();
    if (d.Buffer)
        return true;
    // No memory for a buffer: a pipe does as well.
    return d.Copying && FPipes->Borrow(d.Pipe);
}

// Ends a rate sample of the direction once it has moved SampleBytes, and
// decides from the rate whether it copies or splices from now on.
void TRelay::TakeSample(TDirection &d) {
    const uint64_t moved = FBytes[d.Index] - d.SampleFrom;
    if (moved < FHandOff.SampleBytes)
        return;
    const int64_t now = NowNs();
    if (d.SampleStartNs != 0) {
        const double rate = static_cast<double>(moved) * 1e9 /
                            static_cast<double>(std::max<int64_t>(now - d.SampleStartNs, 1));
        if (d.Copying ? rate > FHandOff.SpliceAbove : rate < FHandOff.CopyBelow) {
            d.Copying = !d.Copying;
            // While copying, keep little unsent on the destination too, so
            // that what its receiver reads was copied moments ago. 0 gives
            // the system's default back.
            const int lowat = d.Copying ? FHandOff.CopyNotSentLowat : 0;
            ::setsockopt(d.Dst, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
        }
    }
    d.SampleFrom = FBytes[d.Index];
    d.SampleStartNs = now;
}

// Reads from Src into the holder. True when something happened (bytes or the
// end of the stream).
bool TRelay::Fill(TDirection &d, TDirection &reverse) {
    if (d.Dead || d.SrcEnded)
        return false;
    if (!EnsureHolder(d)) {
        // Not even a buffer: the direction cannot go on.
        d.Dead = true;
        return false;
    }
    ssize_t got;
    if (d.Pipe.ReadFd >= 0) {
        // A direction gone slow lets its pipe drain, then copies.
        if (d.Pending >= d.Pipe.Capacity || d.Copying)
            return false;
        do
            got = ::splice(d.Src, nullptr, d.Pipe.WriteFd, nullptr, d.Pipe.Capacity - d.Pending,
                           SpliceFlags);
        while (got < 0 && errno == EINTR);
    } else {
        if (d.Pending > 0)
            return false;
        d.BufferOffset = 0;
        do
            got = ::recv(d.Src, d.Buffer, BufferSize, 0);
        while (got < 0 && errno == EINTR);
    }
    if (got > 0) {
        d.Pending += static_cast<size_t>(got);
        return true;
    }
    if (got < 0 && TryAgain(errno))
        return false;
    d.SrcEnded = true;
    if (got < 0) {
        // The source is broken (reset): nothing can be written back to it
        // either.
        reverse.Dead = true;
    }
    return true;
}

// Writes held bytes to Dst. True when bytes moved.
bool TRelay::Drain(TDirection &d) {
    if (d.Dead || d.Pending == 0)
        return false;
    ssize_t sent;
    if (d.Pipe.ReadFd >= 0) {
        do
            sent = ::splice(d.Pipe.ReadFd, nullptr, d.Dst, nullptr, d.Pending, SpliceFlags);
        while (sent < 0 && errno == EINTR);
    } else {
        do
            sent = ::send(d.Dst, d.Buffer + d.BufferOffset, d.Pending, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent > 0)
            FCopied += static_cast<uint64_t>(sent);
    }
    if (sent > 0) {
        d.Pending -= static_cast<size_t>(sent);
        d.BufferOffset += static_cast<size_t>(sent);
        FBytes[d.Index] += static_cast<uint64_t>(sent);
        return true;
    }
    if (sent < 0 && TryAgain(errno))
        return false;
    // The receiver is gone: what is held can never be delivered.
    d.Dead = true;
    return false;
}

// Moves bytes of one direction. `readable` and `writable` say what the last
// wait reported for its source and destination: a side not reported is not
// tried first (a call that would only fail with EAGAIN), but once bytes move
// both are tried again, since the wait did not ask about the other one.
bool TRelay::Pump(TDirection &d, TDirection &reverse, bool readable, bool writable) {
    bool moved = false;
    for (int round = 0; round < RoundsPerTurn; ++round) {
        const bool filled = readable && Fill(d, reverse);
        const bool drained = (writable || filled) && Drain(d);
        if (!filled && !drained)
            break;
        moved = true;
        readable = writable = true;
    }
    if (moved && FPipes)
        TakeSample(d);
    if (d.Pending == 0 || d.Dead) {
        // An empty pipe goes back to the pool; one with bytes stuck in it
        // (dead direction) is closed. A buffer of its own goes too (cheap to
        // make again), so an idle relay holds neither.
        if (d.Pipe.ReadFd >= 0)
            FPipes->Return(d.Pipe, d.Pending == 0);
        d.Buffer = nullptr;
        d.BufferOffset = 0;
        if (d.Dead)
            d.Pending = 0;
        d.OwnBuffer.reset();
    }
    if (d.SrcEnded && d.Pending == 0 && !d.ShutdownSent && !d.Dead) {
        ::shutdown(d.Dst, SHUT_WR);
        d.ShutdownSent = true;
        moved = true;
    }
    return moved;
}

TRelay::TEnd TRelay::Run(int a, int b, int idleTimeoutMs) {
    Prepare();
    TSigPipeBlock sigPipeBlocked;
    SetNonBlocking(a);
    SetNonBlocking(b);

    TDirection dirs[2];
    dirs[0].Src = a;
    dirs[0].Dst = b;
    dirs[0].Index = 0;
    dirs[1].Src = b;
    dirs[1].Dst = a;
    dirs[1].Index = 1;

    TEnd end = TEnd::Closed;
    int64_t lastActivity = idleTimeoutMs > 0 ? NowMs() : 0;
    // What the last wait reported for a and b; everything before the first.
    constexpr short InEvents = POLLIN | POLLHUP | POLLERR;
    constexpr short OutEvents = POLLOUT | POLLHUP | POLLERR;
    short readyA = InEvents | OutEvents;
    short readyB = InEvents | OutEvents;
    for (;;) {
        bool moved = Pump(dirs[0], dirs[1], readyA & InEvents, readyB & OutEvents);
        moved = Pump(dirs[1], dirs[0], readyB & InEvents, readyA & OutEvents) || moved;
        if (moved && idleTimeoutMs > 0)
            lastActivity = NowMs();
        if (dirs[0].Done() && dirs[1].Done())
            break;

        // Wait only for what a direction needs: its source readable while it
        // holds nothing, its destination writable while it holds bytes. A
        // socket that nobody waits on stays out of the set (fd -1), since
        // poll() reports hang-up and errors whatever was asked.
        pollfd fds[2];
        fds[0] = {a, 0, 0};
        fds[1] = {b, 0, 0};
        if (dirs[0].WantsRead())
            fds[0].events |= POLLIN;
        if (dirs[1].WantsWrite())
            fds[0].events |= POLLOUT;
        if (dirs[1].WantsRead())
            fds[1].events |= POLLIN;
        if (dirs[0].WantsWrite())
            fds[1].events |= POLLOUT;
        for (pollfd &p : fds) {
            if (p.events == 0)
                p.fd = -1;
        }
        int timeout = -1;
        if (idleTimeoutMs > 0) {
            const int64_t left = lastActivity + idleTimeoutMs - NowMs();
            if (left <= 0) {
                end = TEnd::IdleTimeout;
                break;
            }
            timeout = static_cast<int>(left);
        }
        const int rc = ::poll(fds, 2, timeout);
        if (rc < 0 && errno != EINTR)
            break; // cannot wait any more: end the relay
        readyA = rc > 0 ? fds[0].revents : 0;
        readyB = rc > 0 ? fds[1].revents : 0;
    }

    for (TDirection &d : dirs) {
        if (d.Pipe.ReadFd >= 0)
            FPipes->Return(d.Pipe, d.Pending == 0);
    }
    // A direction that saw its end while the other one was still running has
    // passed it on already (Pump); one ended by the idle time-out has not, and
    // needs not: the caller closes both sockets.
    return end;
}
