#pragma once
// A worker that runs once on a thread of its own and then deletes itself (a
// "free on terminate" thread). Create it with new, fill its fields, Start it,
// and hold no reference to it afterwards.

#include <cstddef>

class TWorkerThread {
public:
    TWorkerThread() = default;
    TWorkerThread(const TWorkerThread &) = delete;
    TWorkerThread &operator=(const TWorkerThread &) = delete;

    // Runs Execute on a new thread; when Execute returns the object deletes
    // itself. Call once. When no thread can be made, StartFailed runs instead,
    // queued to the user-interface thread, and the object is then deleted.
    void Start();

    // Workers started and not yet ended (their Execute and deletion).
    static int LiveCount();
    // Waits until every worker has ended, at most timeoutMs; false on time-out.
    // On the user-interface thread it keeps handling that thread's events
    // meanwhile, so that workers waiting for it there can finish.
    static bool WaitForAll(int timeoutMs);

    static constexpr size_t StackSize = 256 * 1024;

protected:
    virtual ~TWorkerThread() = default;
    virtual void Execute() = 0;
    // No thread could be made: the worker's last chance to report (on the
    // user-interface thread).
    virtual void StartFailed() {}

private:
    static void *Run(void *self);
};
