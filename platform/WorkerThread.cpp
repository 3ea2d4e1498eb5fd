#include "platform/WorkerThread.h"

#include "platform/UiThread.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

std::mutex GLiveLock;
std::condition_variable GLiveChanged;
int GLive = 0;

void ChangeLive(int delta) {
    std::lock_guard<std::mutex> lock(GLiveLock);
    GLive += delta;
    if (GLive == 0)
        GLiveChanged.notify_all();
}

} // namespace

void TWorkerThread::Start() {
    ChangeLive(+1);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, StackSize);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &TWorkerThread::Run, this);
    for (int attempt = 0; rc == EAGAIN && attempt < 20; ++attempt) {
        // Out of threads for a moment: others are ending.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rc = pthread_create(&thread, &attr, &TWorkerThread::Run, this);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // Reported later, as a finished worker would be, never inside Start.
        TUiThread::Queue([this] {
            try {
                StartFailed();
            } catch (...) {
            }
            delete this;
            ChangeLive(-1);
        });
    }
}

void *TWorkerThread::Run(void *self) {
    auto *worker = static_cast<TWorkerThread *>(self);
    try {
        worker->Execute();
    } catch (...) {
        // A worker reports through its own events; nothing may escape the thread.
    }
    delete worker;
    ChangeLive(-1);
    return nullptr;
}

int TWorkerThread::LiveCount() {
    std::lock_guard<std::mutex> lock(GLiveLock);
    return GLive;
}

bool TWorkerThread::WaitForAll(int timeoutMs) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    // Workers may be waiting for this thread to run their completion calls.
    const bool pump = QCoreApplication::instance() != nullptr && TUiThread::IsCurrent();
    for (;;) {
        if (pump)
            QCoreApplication::processEvents();
        std::unique_lock<std::mutex> lock(GLiveLock);
        if (GLive == 0)
            return true;
        const auto now = steady_clock::now();
        if (now >= end)
            return false;
        GLiveChanged.wait_until(lock, std::min(end, now + milliseconds(pump ? 5 : 100)));
    }
}
