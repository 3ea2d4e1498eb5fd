#pragma once
// A small pool of kernel pipes that relays borrow while bytes move through
// them with splice(). An idle relay holds no pipe, so 5,000 open tunnels cost
// two descriptors each; the pool keeps a few empty pipes for reuse and closes
// the rest. Thread-safe.

#include <cstddef>
#include <mutex>
#include <vector>

class TPipePool {
public:
    struct TPipe {
        int ReadFd = -1;
        int WriteFd = -1;
        size_t Capacity = 0; // bytes the pipe holds
    };

    // pipeSize: the size asked for each new pipe (F_SETPIPE_SZ); keepIdle:
    // how many empty pipes are kept for reuse.
    explicit TPipePool(size_t pipeSize = DefaultPipeSize, size_t keepIdle = 16);
    ~TPipePool();
    TPipePool(const TPipePool &) = delete;
    TPipePool &operator=(const TPipePool &) = delete;

    static constexpr size_t DefaultPipeSize = 256 * 1024;

    // An empty pipe, or false when none can be made (out of descriptors).
    bool Borrow(TPipe &pipe);
    // Gives a pipe back; `empty` false (bytes left inside) closes it instead.
    void Return(TPipe &pipe, bool empty = true);
    // True when a pipe can be had now (one is idle, or one could be made and
    // is kept idle for the next Borrow).
    bool CanLend();

    size_t IdleCount();

private:
    static void ClosePipe(TPipe &pipe);

    std::mutex FLock;
    std::vector<TPipe> FIdle;
    size_t FPipeSize;
    size_t FKeepIdle;
};
