#pragma once
// Calls into the user-interface thread: the thread of the QCoreApplication.
// Workers hand their results there so that records, the store and the views
// are only ever touched by that one thread.

#include <functional>

class TUiThread {
public:
    // True on the application's thread, and when there is no application.
    static bool IsCurrent();
    // Runs fn on the user-interface thread and waits until it has run. Called
    // on that thread it runs fn directly (a blocking queued call from there
    // would wait for itself). An exception thrown by fn is thrown again here,
    // on the caller's thread. Without an application fn runs on the caller's
    // thread, one call at a time.
    static void Synchronize(const std::function<void()> &fn);
    // Queues fn to the user-interface thread and returns at once; fn runs when
    // that thread's event loop next handles events. Without an application it
    // runs at once, as Synchronize. fn must not throw.
    static void Queue(std::function<void()> fn);
};
