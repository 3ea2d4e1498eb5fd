#include "engine/server/PipePool.h"

#include <fcntl.h>
#include <unistd.h>

TPipePool::TPipePool(size_t pipeSize, size_t keepIdle, size_t budget)
    : FPipeSize(pipeSize), FKeepIdle(keepIdle), FBudget(budget) {}

TPipePool::~TPipePool() {
    std::lock_guard<std::mutex> guard(FLock);
    for (TPipe &pipe : FIdle)
        ClosePipe(pipe);
}

void TPipePool::ClosePipe(TPipe &pipe) {
    if (pipe.ReadFd >= 0)
        ::close(pipe.ReadFd);
    if (pipe.WriteFd >= 0)
        ::close(pipe.WriteFd);
    FBytesHeld -= pipe.Capacity;
    pipe = TPipe();
}

bool TPipePool::Borrow(TPipe &pipe) {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FIdle.empty()) {
        pipe = FIdle.back();
        FIdle.pop_back();
        return true;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0)
        return false;
    pipe.ReadFd = fds[0];
    pipe.WriteFd = fds[1];
    if (FPipeSize > 0 && FBytesHeld + FPipeSize <= FBudget)
        ::fcntl(pipe.WriteFd, F_SETPIPE_SZ, static_cast<int>(FPipeSize)); // may be refused
    const int size = ::fcntl(pipe.WriteFd, F_GETPIPE_SZ);
    pipe.Capacity = size > 0 ? static_cast<size_t>(size) : 4096;
    FBytesHeld += pipe.Capacity;
    return true;
}

void TPipePool::Return(TPipe &pipe, bool empty) {
    if (pipe.ReadFd < 0)
        return;
    std::lock_guard<std::mutex> guard(FLock);
    // Only empty pipes of the full size are kept: a small one made past the
    // budget makes room for a large one again when it goes.
    if (empty && FIdle.size() < FKeepIdle && (FPipeSize == 0 || pipe.Capacity >= FPipeSize)) {
        FIdle.push_back(pipe);
        pipe = TPipe();
        return;
    }
    ClosePipe(pipe);
}

bool TPipePool::CanLend() {
    TPipe pipe;
    if (!Borrow(pipe))
        return false;
    std::lock_guard<std::mutex> guard(FLock);
    FIdle.push_back(pipe); // kept even when small or beyond FKeepIdle: it was asked for
    return true;
}

void TPipePool::Trim() {
    std::lock_guard<std::mutex> guard(FLock);
    for (TPipe &pipe : FIdle)
        ClosePipe(pipe);
    FIdle.clear();
}

size_t TPipePool::IdleCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FIdle.size();
}

size_t TPipePool::BytesHeld() {
    std::lock_guard<std::mutex> guard(FLock);
    return FBytesHeld;
}
