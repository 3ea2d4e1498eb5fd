#include "engine/server/ConnectionThreads.h"

#include "platform/Clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <pthread.h>
#include <thread>

struct TConnectionThreads::TConnection {
    std::unique_ptr<TIdSocksServerContext> Context;
    TServe Serve; // empty: the object's own
    std::list<std::unique_ptr<TConnection>>::iterator Self;
    bool Dropped = false; // woken to make room, not ended yet
};

struct TConnectionThreads::TWorker {
    TConnectionThreads *Owner = nullptr;
    pthread_t Thread{};
    std::list<std::unique_ptr<TWorker>>::iterator Self;
};

struct TConnectionThreads::TListener {
    TSocket Socket;
    std::thread Thread;
};

TConnectionThreads::TConnectionThreads(TServe serve, std::function<void()> quiet,
                                       TTurnedAway turnedAway)
    : FServe(std::move(serve)), FQuiet(std::move(quiet)), FTurnedAway(std::move(turnedAway)) {}

TConnectionThreads::~TConnectionThreads() {
    Stop();
}

bool TConnectionThreads::Active() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FActive;
}

uint16_t TConnectionThreads::Port() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FPort;
}

size_t TConnectionThreads::ConnectionCount() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FLive.size();
}

bool TConnectionThreads::LoopbackOnly() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FLoopbackOnly;
}

void TConnectionThreads::SetMaxClients(size_t maxClients) {
    std::lock_guard<std::mutex> guard(FLock);
    FMaxClients = maxClients;
}

std::vector<std::unique_ptr<TConnectionThreads::TListener>>
TConnectionThreads::Listen(uint16_t port, int backlog, bool loopbackOnly) {
    // IPv4 first; the IPv6 listener takes the same port (v6-only, so the two
    // never collide with each other). A port chosen by the system may be
    // taken for IPv6 already: choose again.
    std::vector<std::unique_ptr<TListener>> listeners;
    for (int attempt = 0;; ++attempt) {
        listeners.clear();
        auto v4 = std::make_unique<TListener>();
        v4->Socket = TSocket::Listen(TSocket::Family::IPv4, port, backlog, loopbackOnly);
        const uint16_t chosen = v4->Socket.LocalPort();
        listeners.push_back(std::move(v4));
        try {
            auto v6 = std::make_unique<TListener>();
            v6->Socket = TSocket::Listen(TSocket::Family::IPv6, chosen, backlog, loopbackOnly);
            listeners.push_back(std::move(v6));
        } catch (const ESocketError &e) {
            if (e.Code == EADDRINUSE && port == 0 && attempt < 20)
                continue;
            if (e.Code != EAFNOSUPPORT && e.Code != EADDRNOTAVAIL && e.Code != EPROTONOSUPPORT)
                throw;
            // No IPv6 on this machine: IPv4 only.
        }
        return listeners;
    }
}

void TConnectionThreads::Start(uint16_t port, const TSettings &settings) {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    if (Active())
        return;
    StartListeners(Listen(port, settings.ListenBacklog, settings.LoopbackOnly), settings);
}

void TConnectionThreads::Adopt(std::vector<TSocket> sockets, const TSettings &settings) {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    if (Active())
        return;
    std::vector<std::unique_ptr<TListener>> listeners;
    for (TSocket &socket : sockets) {
        listeners.push_back(std::make_unique<TListener>());
        listeners.back()->Socket = std::move(socket);
    }
    StartListeners(std::move(listeners), settings);
}

void TConnectionThreads::StartListeners(std::vector<std::unique_ptr<TListener>> listeners,
                                        const TSettings &settings) {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FActive = true;
        FStopping = false;
        FPort = listeners.front()->Socket.LocalPort();
        FStackSize = settings.ThreadStackSize;
        FSpareThreads = settings.SpareThreads;
        FMaxIdleThreads = std::max(settings.MaxIdleThreads, settings.SpareThreads);
        FIdleTimeoutMs = settings.IdleThreadTimeoutMs;
        FBacklog = settings.ListenBacklog;
        FLoopbackOnly = settings.LoopbackOnly;
        FMaxClients = settings.MaxClients;
        FDropSilent = settings.DropSilentWhenFull;
        FListeners = std::move(listeners);
        while (FIdleWorkers < FSpareThreads && StartWorker()) {
        }
    }
    RunListeners();
}

void TConnectionThreads::RunListeners() {
    for (auto &listener : FListeners)
        listener->Thread = std::thread([this, l = listener.get()] { ListenLoop(l); });
}

void TConnectionThreads::CloseListeners() {
    for (auto &listener : FListeners) {
        listener->Socket.ShutdownBoth();
        if (listener->Thread.joinable())
            listener->Thread.join();
    }
    FListeners.clear();
}

void TConnectionThreads::Rebind(bool loopbackOnly) {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    uint16_t port = 0;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FActive || FLoopbackOnly == loopbackOnly)
            return;
        port = FPort;
    }
    // The old listeners go first: the new ones take the same port.
    CloseListeners();
    std::vector<std::unique_ptr<TListener>> listeners;
    try {
        listeners = Listen(port, FBacklog, loopbackOnly);
    } catch (const std::exception &) {
        FListeners = Listen(port, FBacklog, !loopbackOnly);
        RunListeners();
        throw;
    }
    {
        std::lock_guard<std::mutex> guard(FLock);
        FLoopbackOnly = loopbackOnly;
    }
    FListeners = std::move(listeners);
    RunListeners();
}

void TConnectionThreads::Stop() {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FActive)
            return;
        FStopping = true;
    }
    CloseListeners();

    std::unique_lock<std::mutex> lock(FLock);
    for (auto &connection : FLive)
        connection->Context->Wake();
    FWorkSignal.notify_all(); // waiting threads end
    while (!FWorkers.empty() || !FExited.empty()) {
        if (FExited.empty()) {
            FFinishedSignal.wait(lock);
            continue;
        }
        std::list<std::unique_ptr<TWorker>> batch;
        batch.swap(FExited);
        lock.unlock();
        JoinAll(batch);
        lock.lock();
    }
    // Clients no thread took before the stop are closed unserved.
    FWaiting.clear();
    std::list<std::unique_ptr<TConnection>> unserved;
    unserved.swap(FLive);
    FIdleWorkers = 0;
    FDropping = 0;
    FClosedCount = FDroppedCount = 0;
    FActive = false;
    FPort = 0;
    lock.unlock();
    unserved.clear();
}

void TConnectionThreads::ListenLoop(TListener *listener) {
    for (;;) {
        // While some clients that lost their place wait to be reported, the
        // wait for the next client ends in time for the report.
        const int reportInMs = ReportTurnedAway();
        try {
            if (reportInMs >= 0 && !listener->Socket.WaitReadable(reportInMs))
                continue;
        } catch (const ESocketError &) {
            return; // the listener is broken: as a failed accept
        }
        TSocket client = listener->Socket.Accept();
        if (!client.Valid())
            return;
        Accepted(std::move(client));
    }
}

int TConnectionThreads::ReportTurnedAway() {
    size_t closed = 0, dropped = 0, cap = 0;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FClosedCount + FDroppedCount == 0)
            return -1;
        const int64_t now = TClock::TickMs();
        if (FLastReportMs != 0 && now - FLastReportMs < 1000)
            return static_cast<int>(1000 - (now - FLastReportMs));
        FLastReportMs = now;
        std::swap(closed, FClosedCount);
        std::swap(dropped, FDroppedCount);
        cap = FMaxClients;
    }
    if (FTurnedAway)
        FTurnedAway(closed, dropped, cap);
    return -1;
}

bool TConnectionThreads::DropOldestSilent(std::unique_ptr<TConnection> &closed) {
    if (!FDropSilent)
        return false;
    for (auto &live : FLive) {
        TConnection *c = live.get();
        if (c->Dropped || c->Context->RequestRead())
            continue;
        const auto waiting = std::find(FWaiting.begin(), FWaiting.end(), c);
        if (waiting != FWaiting.end()) {
            // No thread has it yet: closed by the caller, outside the lock.
            FWaiting.erase(waiting);
            closed = std::move(*c->Self);
            FLive.erase(c->Self);
        } else {
            c->Dropped = true;
            ++FDropping;
            c->Context->Wake(); // its thread ends it
        }
        return true;
    }
    return false;
}

void TConnectionThreads::Ended(TConnection *connection) {
    if (connection->Dropped)
        --FDropping;
}

bool TConnectionThreads::Inject(TSocket client, TServe serve) {
    if (!Active())
        return false;
    return Accepted(std::move(client), std::move(serve));
}

bool TConnectionThreads::Accepted(TSocket client, TServe serve) {
    auto connection = std::make_unique<TConnection>();
    connection->Context = std::make_unique<TIdSocksServerContext>(std::move(client));
    if (serve)
        connection->Context->MarkRequestRead(); // it came with its destination
    connection->Serve = std::move(serve);
    bool taken = false;

    std::list<std::unique_ptr<TWorker>> exited;
    std::unique_ptr<TConnection> dropped;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return false;
        if (FMaxClients > 0 && FLive.size() - FDropping >= FMaxClients) {
            if (!DropOldestSilent(dropped)) {
                ++FClosedCount; // closed unserved as it goes
                return false;
            }
            ++FDroppedCount;
        }
        TConnection *raw = connection.get();
        FLive.push_back(std::move(connection));
        raw->Self = std::prev(FLive.end());
        FWaiting.push_back(raw);
        if (FWaiting.size() > FIdleWorkers && !StartWorker() && !AtThreadLimit()) {
            // No thread to be had: the client is closed.
            FWaiting.pop_back();
            connection = std::move(*raw->Self);
            FLive.erase(raw->Self);
        } else {
            taken = true;
            FWorkSignal.notify_one();
            // Threads for the next clients are made now, while this one is
            // being served, so that those are not kept waiting for them.
            while (FIdleWorkers < FWaiting.size() + FSpareThreads && StartWorker()) {
            }
        }
        exited.swap(FExited);
    }
    JoinAll(exited);
    return taken;
}

bool TConnectionThreads::AtThreadLimit() const {
    return FMaxClients > 0 && FWorkers.size() >= FMaxClients + FSpareThreads;
}

bool TConnectionThreads::StartWorker() {
    if (AtThreadLimit())
        return false;
    auto worker = std::make_unique<TWorker>();
    worker->Owner = this;
    TWorker *raw = worker.get();
    FWorkers.push_back(std::move(worker));
    raw->Self = std::prev(FWorkers.end());

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<size_t>(FStackSize, PTHREAD_STACK_MIN));
    const int rc = pthread_create(&raw->Thread, &attr, &TConnectionThreads::WorkerEntry, raw);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        FWorkers.erase(raw->Self);
        return false;
    }
    ++FIdleWorkers;
    return true;
}

void *TConnectionThreads::WorkerEntry(void *arg) {
    auto *worker = static_cast<TWorker *>(arg);
    worker->Owner->WorkerLoop(worker);
    return nullptr;
}

TConnectionThreads::TConnection *
TConnectionThreads::NextClient(std::unique_lock<std::mutex> &lock) {
    // Idle here: counted in FIdleWorkers. A thread beyond the spares waits a
    // limited time, once, then ends.
    bool quiet = false;
    while (FWaiting.empty() && !FStopping && !quiet) {
        // A thread started ahead for a burst that another thread served:
        // beyond the idle allowance it ends now, not after the idle time-out.
        if (FIdleWorkers > FMaxIdleThreads) {
            quiet = true;
            break;
        }
        if (FIdleWorkers > FSpareThreads && FIdleTimeoutMs > 0) {
            quiet = FWorkSignal.wait_for(lock, std::chrono::milliseconds(FIdleTimeoutMs)) ==
                        std::cv_status::timeout &&
                    FWaiting.empty() && !FStopping && FIdleWorkers > FSpareThreads;
        } else {
            FWorkSignal.wait(lock);
        }
    }
    --FIdleWorkers;
    if (FStopping || quiet) {
        if (quiet && FIdleWorkers == FSpareThreads && FLive.empty() && FQuiet)
            FQuiet();
        return nullptr;
    }
    TConnection *connection = FWaiting.front();
    FWaiting.pop_front();
    return connection;
}

void TConnectionThreads::WorkerLoop(TWorker *worker) {
    std::unique_lock<std::mutex> lock(FLock);
    while (TConnection *connection = NextClient(lock)) {
        lock.unlock();

        if (connection->Serve)
            connection->Serve(*connection->Context);
        else
            FServe(*connection->Context);

        lock.lock();
        Ended(connection);
        std::unique_ptr<TConnection> ended = std::move(*connection->Self);
        FLive.erase(connection->Self);
        lock.unlock();
        ended.reset(); // its sockets are closed outside the lock
        lock.lock();
        // Clients waiting for a thread (the thread limit reached) are taken
        // before the idle allowance counts.
        if (FStopping || (FIdleWorkers >= FMaxIdleThreads && FWaiting.empty()))
            break;
        ++FIdleWorkers;
    }
    // Ends: joined by whoever comes next (a later accept, or Stop).
    FExited.splice(FExited.end(), FWorkers, worker->Self);
    FFinishedSignal.notify_all();
}

void TConnectionThreads::JoinAll(std::list<std::unique_ptr<TWorker>> &exited) {
    for (auto &worker : exited)
        pthread_join(worker->Thread, nullptr);
    exited.clear();
}
