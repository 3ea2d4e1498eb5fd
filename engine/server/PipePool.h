#pragma once
// A small pool of kernel pipes that relays borrow while bytes move through
// them with splice(). An idle relay holds no pipe, so 5,000 open tunnels cost
// two descriptors each; the pool keeps a few empty pipes for reuse and closes
// the rest. Thread-safe.
//
// Large pipes move bytes with the least CPU, but a user has 64 MiB of pipe
// space in all (past it the kernel hands out tiny pipes). New pipes are made
// large only while the pipes of this pool stay within its budget; beyond it
// they keep the system's default size and are closed, not kept, when given
// back.

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

    static constexpr size_t DefaultPipeSize = 1024 * 1024;
    static constexpr size_t DefaultBudget = 32 * 1024 * 1024;

    // pipeSize: the size asked for each new pipe (F_SETPIPE_SZ; 0 keeps the
    // system default); keepIdle: how many empty pipes are kept for reuse;
    // budget: pipe space of this pool (lent and idle) past which new pipes
    // keep the default size.
    explicit TPipePool(size_t pipeSize = DefaultPipeSize, size_t keepIdle = 16,
                       size_t budget = DefaultBudget);
    ~TPipePool();
    TPipePool(const TPipePool &) = delete;
    TPipePool &operator=(const TPipePool &) = delete;

    // An empty pipe, or false when none can be made (out of descriptors).
    bool Borrow(TPipe &pipe);
    // Gives a pipe back; `empty` false (bytes left inside) closes it instead.
    void Return(TPipe &pipe, bool empty = true);
    // True when a pipe can be had now (one is idle, or one could be made and
    // is kept idle for the next Borrow).
    bool CanLend();

    // Closes every idle pipe (the server has been quiet for a while).
    void Trim();

    size_t IdleCount();
    // Pipe space of the pipes made by this pool and not closed yet.
    size_t BytesHeld();

private:
    void ClosePipe(TPipe &pipe); // with FLock held

    std::mutex FLock;
    std::vector<TPipe> FIdle;
    size_t FPipeSize;
    size_t FKeepIdle;
    size_t FBudget;
    size_t FBytesHeld = 0;
};
