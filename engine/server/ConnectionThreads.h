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
// At most MaxClients clients are served at once, and at most that many
// connection threads (plus the spares) exist: a silent client holds a thread
// too, so it counts. When the server is full, a new client takes the place
// of the oldest one that has not sent its request yet (DropSilentWhenFull;
// the server marks a client's request read in its context), so a flood of
// silent connections cannot lock real clients out; with none to drop, the
// new client is closed at accept. How many lost their place is reported at
// most once a second (the turned-away call, from a listener thread).
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
        size_t MaxClients = 0;     // clients served at once; 0: no limit (see DefaultMaxClients)
        // When full, drop the oldest client whose request has not been read
        // instead of closing the new one.
        bool DropSilentWhenFull = false;
    };
    static constexpr size_t DefaultMaxClients = 1024;

    // Clients that lost their place since the last call because the server
    // was full: closed at accept, and dropped while still silent.
    using TTurnedAway = std::function<void(size_t closed, size_t dropped, size_t maxClients)>;

    using TServe = std::function<void(TIdSocksServerContext &context)>;

    // serve: runs on a connection thread for each accepted client; the
    // connection is closed when it returns. quiet: called when a quiet server
    // is back to its spares with no connection left, with the lock of this
    // object held (it must not call back here).
    TConnectionThreads(TServe serve, std::function<void()> quiet, TTurnedAway turnedAway = nullptr);
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
    // Listens anew on the same port, on loopback only or on every interface;
    // live connections go on. A stopped object, or one already listening so,
    // ignores it. When the port cannot be had that way the listeners stay as
    // they were and the platform's error is thrown.
    void Rebind(bool loopbackOnly);
    bool LoopbackOnly() const;
    // The cap on clients at once, from the next accepted client on.
    void SetMaxClients(size_t maxClients);
    bool Active() const;
    // The port listened on; 0 when stopped.
    uint16_t Port() const;
    // Clients accepted whose connection has not ended yet.
    size_t ConnectionCount() const;
    // A connection accepted elsewhere, served by `serve` on a connection
    // thread like the object's own clients (and woken and joined by Stop).
    // False, and the socket closed, when stopped or no thread can be had.
    bool Inject(TSocket client, TServe serve);

private:
    struct TConnection;
    struct TListener;
    struct TWorker;

    static std::vector<std::unique_ptr<TListener>> Listen(uint16_t port, int backlog,
                                                          bool loopbackOnly);
    void StartListeners(std::vector<std::unique_ptr<TListener>> listeners,
                        const TSettings &settings);
    void RunListeners();
    void CloseListeners();
    void ListenLoop(TListener *listener);
    bool Accepted(TSocket client, TServe serve = nullptr);
    // With FLock held, the server full: makes room by dropping the oldest
    // silent client; false when there is none to drop.
    bool DropOldestSilent(std::unique_ptr<TConnection> &closed);
    // With FLock held: as many connection threads as the cap allows.
    bool AtThreadLimit() const;
    // Raises the turned-away call when a second has passed since the last
    // one; returns ms until the next may be raised while some wait, or -1.
    int ReportTurnedAway();
    // One connection fewer (with FLock held).
    void Ended(TConnection *connection);
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
    TTurnedAway FTurnedAway;

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
    size_t FDropping = 0; // dropped clients whose connection has not ended yet
    size_t FClosedCount = 0, FDroppedCount = 0; // lost their place, not reported yet
    int64_t FLastReportMs = 0;
    // Settings as they were at Start.
    size_t FStackSize = DefaultThreadStackSize;
    size_t FSpareThreads = 0;
    size_t FMaxIdleThreads = 0;
    int FIdleTimeoutMs = 0;
    int FBacklog = 0;
    bool FLoopbackOnly = false;
    size_t FMaxClients = 0;
    bool FDropSilent = false;
    std::mutex FStartStopLock; // Start and Stop from different threads
};
