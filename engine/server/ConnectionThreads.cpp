#include "engine/server/ConnectionThreads.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <pthread.h>
#include <thread>

struct TConnectionThreads::TConnection {
    std::unique_ptr<TIdSocksServerContext> Context;
    std::list<std::unique_ptr<TConnection>>::iterator Self;
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

TConnectionThreads::TConnectionThreads(TServe serve, std::function<void()> quiet)
    : FServe(std::move(serve)), FQuiet(std::move(quiet)) {}

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
        FListeners = std::move(listeners);
        while (FIdleWorkers < FSpareThreads && StartWorker()) {
        }
    }
    for (auto &listener : FListeners)
        listener->Thread = std::thread([this, l = listener.get()] { ListenLoop(l); });
}

void TConnectionThreads::Stop() {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FActive)
            return;
        FStopping = true;
    }
    for (auto &listener : FListeners) {
        listener->Socket.ShutdownBoth();
        if (listener->Thread.joinable())
            listener->Thread.join();
    }
    FListeners.clear();

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
    FActive = false;
    FPort = 0;
    lock.unlock();
    unserved.clear();
}

void TConnectionThreads::ListenLoop(TListener *listener) {
    for (;;) {
        TSocket client = listener->Socket.Accept();
        if (!client.Valid())
            return;
        Accepted(std::move(client));
    }
}

void TConnectionThreads::Accepted(TSocket client) {
    auto connection = std::make_unique<TConnection>();
    connection->Context = std::make_unique<TIdSocksServerContext>(std::move(client));

    std::list<std::unique_ptr<TWorker>> exited;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return;
        TConnection *raw = connection.get();
        FLive.push_back(std::move(connection));
        raw->Self = std::prev(FLive.end());
        FWaiting.push_back(raw);
        if (FWaiting.size() > FIdleWorkers && !StartWorker()) {
            // No thread to be had: the client is closed.
            FWaiting.pop_back();
            connection = std::move(*raw->Self);
            FLive.erase(raw->Self);
        } else {
            FWorkSignal.notify_one();
            // Threads for the next clients are made now, while this one is
            // being served, so that those are not kept waiting for them.
            while (FIdleWorkers < FWaiting.size() + FSpareThreads && StartWorker()) {
            }
        }
        exited.swap(FExited);
    }
    JoinAll(exited);
}

bool TConnectionThreads::StartWorker() {
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

        FServe(*connection->Context);

        lock.lock();
        std::unique_ptr<TConnection> ended = std::move(*connection->Self);
        FLive.erase(connection->Self);
        lock.unlock();
        ended.reset(); // its sockets are closed outside the lock
        lock.lock();
        if (FStopping || FIdleWorkers >= FMaxIdleThreads)
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
