#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

// Calls from workers wait in a queue of our own; one queued event per call
// makes the user-interface thread run the oldest. Everything a worker wrote
// before handing its call over is published by the queue's lock, the end of
// the call by the waiter's lock, so the hand-over both ways is plain to
// thread checkers too (Qt's own event queue is not), and the call and what
// it holds are destroyed on the user-interface thread.

namespace {

struct TWaiter {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Finished = false;
    std::exception_ptr Error;
};

struct TPendingCall {
    std::function<void()> Call;
    std::shared_ptr<TWaiter> Waiter; // null for a call nobody waits for
};

std::mutex GPendingLock;
std::deque<TPendingCall> GPending;
bool GCleanupRegistered = false;

void Release(const std::shared_ptr<TWaiter> &waiter, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(waiter->Lock);
    waiter->Error = std::move(error);
    waiter->Finished = true;
    waiter->Changed.notify_all();
}

// On the user-interface thread: runs the oldest waiting call.
void RunOldestCall() {
    TPendingCall pending;
    {
        std::lock_guard<std::mutex> lock(GPendingLock);
        if (GPending.empty())
            return;
        pending = std::move(GPending.front());
        GPending.pop_front();
    }
    std::exception_ptr error;
    try {
        pending.Call();
    } catch (...) {
        error = std::current_exception();
    }
    pending.Call = nullptr; // its captures go here, not on the worker
    if (pending.Waiter)
        Release(pending.Waiter, std::move(error));
}

// The application is going away: nobody will run the calls; free their waiters.
void DropPendingCalls() {
    std::deque<TPendingCall> dropped;
    {
        std::lock_guard<std::mutex> lock(GPendingLock);
        dropped.swap(GPending);
        GCleanupRegistered = false;
    }
    for (TPendingCall &pending : dropped) {
        if (pending.Waiter)
            Release(pending.Waiter, nullptr);
    }
}

void Post(QCoreApplication *app, TPendingCall pending) {
    {
        std::lock_guard<std::mutex> lock(GPendingLock);
        if (!GCleanupRegistered) {
            qAddPostRoutine(&DropPendingCalls);
            GCleanupRegistered = true;
        }
        GPending.push_back(std::move(pending));
    }
    QMetaObject::invokeMethod(app, &RunOldestCall, Qt::QueuedConnection);
}

// Serialises the handlers when there is no application to run them.
std::recursive_mutex &HeadlessLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace

bool TUiThread::IsCurrent() {
    const QCoreApplication *app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

void TUiThread::Synchronize(const std::function<void()> &fn) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) {
        std::lock_guard<std::recursive_mutex> lock(HeadlessLock());
        fn();
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    const auto waiter = std::make_shared<TWaiter>();
    const std::function<void()> *call = &fn; // the caller waits: fn outlives the call
    Post(app, TPendingCall{[call] { (*call)(); }, waiter});
    std::unique_lock<std::mutex> lock(waiter->Lock);
    waiter->Changed.wait(lock, [&] { return waiter->Finished; });
    if (waiter->Error)
        std::rethrow_exception(waiter->Error);
}

void TUiThread::Queue(std::function<void()> fn) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) {
        std::lock_guard<std::recursive_mutex> lock(HeadlessLock());
        fn();
        return;
    }
    Post(app, TPendingCall{std::move(fn), nullptr});
}
