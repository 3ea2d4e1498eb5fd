#pragma once
// The listeners and connection threads of a SOCKS server: one listener thread
// per address family on all interfaces (IPv4, and IPv6 v6-only where the
// platform has it), one thread with a small stack per accepted client, which
// runs the server's Serve for it and then closes the connection.
//
// A thread whose client has gone waits for the next one instead of ending
// (up to MaxIdleThreads of them), and SpareThreads more are kept started
// ahead: a new client is handed to a thread that is already running. A thread
// just created may wait a scheduler tick or more for a processor when the
// machine is busy; a waiting one is woken at once. The SpareThreads sleep
// without a time limit (no wake-ups while nothing happens); a waiting thread
// beyond them ends after IdleThreadTimeoutMs without a client, so a quiet
// server goes back to its spares, and the last of them to end raises the
// quiet call when no connection is left.
//
// Stop() closes the listeners, wakes every connection (shuts its sockets
// down) and joins every thread started here.

#include "engine/server/IdSocksServerContext.h"
#include "platform/Socket.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

class TConnectionThreads {
public:
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr size_t DefaultThreadStackSize = 1024 * 1024;
#else
    static constexpr size_t DefaultThreadStackSize = 128 * 1024;
#endif

    // Read at Start.
    struct TSettings {
        int ListenBacklog = 15;
        size_t ThreadStackSize = DefaultThreadStackSize;
        size_t SpareThreads = 2;    // threads kept waiting for the next client beyond those needed
        size_t MaxIdleThreads = 16; // threads kept for reuse after their client has gone
        int IdleThreadTimeoutMs =
            30000;                 // a waiting thread beyond the spares ends after it; 0: never
        bool LoopbackOnly = false; // listen on 127.0.0.1 and ::1 only
    };

    using TServe = std::function<void(TIdSocksServerContext &context)>;

    // serve: runs on a connection thread for each accepted client; the
    // connection is closed when it returns. quiet: called when a quiet server
    // is back to its spares with no connection left, with the lock of this
    // object held (it must not call back here).
    TConnectionThreads(TServe serve, std::function<void()> quiet);
    ~TConnectionThreads();
    TConnectionThreads(const TConnectionThreads &) = delete;
    TConnectionThreads &operator=(const TConnectionThreads &) = delete;

    // Binds and listens on all interfaces at port (0: a free port chosen by
    // the system), then starts the spares and the listener threads. Throws the
    // platform's error (ESocketError) when the port is taken; a started
    // object ignores it.
    void Start(uint16_t port, const TSettings &settings);
    // Starts as Start does, on listening sockets made elsewhere (at least
    // one); Port() is the first one's.
    void Adopt(std::vector<TSocket> listeners, const TSettings &settings);
    // Stops listening, wakes every live connection and joins every thread.
    // A stopped object ignores it and can be started again.
    void Stop();
    bool Active() const;
    // The port listened on; 0 when stopped.
    uint16_t Port() const;
    // Clients accepted whose connection has not ended yet.
    size_t ConnectionCount() const;

private:
    struct TConnection;
    struct TListener;
    struct TWorker;

    static std::vector<std::unique_ptr<TListener>> Listen(uint16_t port, int backlog,
                                                          bool loopbackOnly);
    void StartListeners(std::vector<std::unique_ptr<TListener>> listeners,
                        const TSettings &settings);
    void ListenLoop(TListener *listener);
    void Accepted(TSocket client);
    // Starts a connection thread, counted as idle until it takes a client.
    // With FLock held; false when no thread could be made.
    bool StartWorker();
    static void *WorkerEntry(void *arg);
    void WorkerLoop(TWorker *worker);
    // Waits, idle, for the next client; null when the thread is to end.
    TConnection *NextClient(std::unique_lock<std::mutex> &lock);
    // Joins and destroys ended connection threads taken from the list.
    static void JoinAll(std::list<std::unique_ptr<TWorker>> &exited);

    TServe FServe;
    std::function<void()> FQuiet;

    mutable std::mutex FLock;
    std::condition_variable FWorkSignal;     // a client waits for a thread, or the server stops
    std::condition_variable FFinishedSignal; // a connection thread has ended
    bool FActive = false;
    bool FStopping = false;
    uint16_t FPort = 0;
    std::vector<std::unique_ptr<TListener>> FListeners;
    std::list<std::unique_ptr<TConnection>> FLive; // accepted, not ended
    std::deque<TConnection *> FWaiting;            // accepted, not taken by a thread yet
    std::list<std::unique_ptr<TWorker>> FWorkers;  // connection threads running
    std::list<std::unique_ptr<TWorker>> FExited;   // connection threads ended, not joined
    size_t FIdleWorkers = 0;                       // threads not serving a client
    // Settings as they were at Start.
    size_t FStackSize = DefaultThreadStackSize;
    size_t FSpareThreads = 0;
    size_t FMaxIdleThreads = 0;
    int FIdleTimeoutMs = 0;
    std::mutex FStartStopLock; // Start and Stop from different threads
};
