#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <exception>
#include <mutex>

namespace {

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
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        app,
        [&] {
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error)
        std::rethrow_exception(error);
}

void TUiThread::Queue(std::function<void()> fn) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) {
        std::lock_guard<std::recursive_mutex> lock(HeadlessLock());
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}
