#pragma once
// Moves bytes both ways between two connected TCP sockets until both
// directions have ended. End-of-stream from one side is passed on as a
// half-close (shutdown of writing) to the other, whose direction keeps
// flowing until it ends too; nothing read is ever dropped while its
// receiver still takes bytes. The relay waits in poll() without a time
// slice; an idle relay costs no wake-ups.
//
// Bytes move through kernel pipes with splice() when a pipe pool is given
// (pipes are borrowed only while bytes are in flight), otherwise through two
// 64 KiB buffers. Shutting both sockets down from another thread ends a
// running relay at once.
//
// With a pool, each direction also watches its own rate and copies through a
// buffer while it runs slow. Splicing saves the copy, but hands on pages the
// sender wrote many megabytes earlier, long gone from the cache; a slow
// receiver on this machine (a local proxy reading in small pieces) then pays
// for the misses. Below the copy rate the copy costs little CPU and gives the
// receiver data that is still warm; above the splice rate the direction goes
// back to splicing.

#include <cstddef>
#include <cstdint>
#include <memory>

class TPipePool;

class TRelay {
public:
    enum class TEnd {
        Closed,      // both directions ended (or their peers went away)
        IdleTimeout, // no byte moved for the idle time-out
    };

    static constexpr size_t BufferSize = 64 * 1024;

    // When a direction with pipes switches between splicing and copying: its
    // rate is taken over every `SampleBytes` it moves (the first sample,
    // which covers the start-up burst, only starts the clock).
    struct THandOff {
        uint64_t SampleBytes = 8 * 1024 * 1024;
        double CopyBelow = 250e6;          // bytes per second
        double SpliceAbove = 400e6;        // bytes per second
        int CopyNotSentLowat = 256 * 1024; // TCP_NOTSENT_LOWAT of the destination while copying
    };

    // pipes: the pool to borrow pipes from; null relays through buffers.
    explicit TRelay(TPipePool *pipes = nullptr);
    TRelay(TPipePool *pipes, const THandOff &handOff);
    ~TRelay();
    TRelay(const TRelay &) = delete;
    TRelay &operator=(const TRelay &) = delete;

    // Takes what the relay needs before the tunnel is announced to the
    // client, so that a shortage becomes a failure reply rather than a
    // dropped tunnel. Throws EVelmoraError("Out of relay resources") when it
    // cannot. Run() calls it when it was not called.
    void Prepare();

    // Relays between a and b, both switched to non-blocking. idleTimeoutMs
    // above 0 ends the relay when no byte has moved in either direction for
    // that long. Returns how it ended; the sockets stay open (the caller
    // closes them).
    TEnd Run(int a, int b, int idleTimeoutMs = 0);

    uint64_t BytesAToB() const { return FBytes[0]; }
    uint64_t BytesBToA() const { return FBytes[1]; }
    // Bytes that went through a buffer rather than a pipe, both directions.
    uint64_t BytesCopied() const { return FCopied; }

private:
    struct TDirection;

    bool Pump(TDirection &d, TDirection &reverse, bool readable, bool writable);
    bool Fill(TDirection &d, TDirection &reverse);
    bool Drain(TDirection &d);
    bool EnsureHolder(TDirection &d);
    void TakeSample(TDirection &d);

    TPipePool *FPipes;
    THandOff FHandOff;
    bool FPrepared = false;
    std::unique_ptr<char[]> FBuffers[2];
    uint64_t FBytes[2] = {0, 0};
    uint64_t FCopied = 0;
};
