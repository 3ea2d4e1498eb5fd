#include "engine/PipePool.h"

#include <fcntl.h>
#include <unistd.h>

TPipePool::TPipePool(size_t pipeSize, size_t keepIdle) : FPipeSize(pipeSize), FKeepIdle(keepIdle) {}

TPipePool::~TPipePool() {
    for (TPipe &pipe : FIdle)
        ClosePipe(pipe);
}

void TPipePool::ClosePipe(TPipe &pipe) {
    if (pipe.ReadFd >= 0)
        ::close(pipe.ReadFd);
    if (pipe.WriteFd >= 0)
        ::close(pipe.WriteFd);
    pipe = TPipe();
}

bool TPipePool::Borrow(TPipe &pipe) {
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FIdle.empty()) {
            pipe = FIdle.back();
            FIdle.pop_back();
            return true;
        }
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0)
        return false;
    pipe.ReadFd = fds[0];
    pipe.WriteFd = fds[1];
    // Past the per-user pipe budget the kernel refuses larger pipes; the
    // default size then stays.
    if (FPipeSize > 0)
        ::fcntl(pipe.WriteFd, F_SETPIPE_SZ, static_cast<int>(FPipeSize));
    const int size = ::fcntl(pipe.WriteFd, F_GETPIPE_SZ);
    pipe.Capacity = size > 0 ? static_cast<size_t>(size) : 4096;
    return true;
}

void TPipePool::Return(TPipe &pipe, bool empty) {
    if (pipe.ReadFd < 0)
        return;
    if (empty) {
        std::lock_guard<std::mutex> guard(FLock);
        if (FIdle.size() < FKeepIdle) {
            FIdle.push_back(pipe);
            pipe = TPipe();
            return;
        }
    }
    ClosePipe(pipe);
}

bool TPipePool::CanLend() {
    TPipe pipe;
    if (!Borrow(pipe))
        return false;
    std::lock_guard<std::mutex> guard(FLock);
    FIdle.push_back(pipe); // kept even beyond FKeepIdle: it was asked for
    return true;
}

size_t TPipePool::IdleCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FIdle.size();
}
