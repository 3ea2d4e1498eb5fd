#include "engine/server/IdSocksServer.h"

#include "engine/server/PipePool.h"
#include "engine/server/Relay.h"
#include "engine/wire/SocksReply.h"
#include "engine/wire/SocksRequestParser.h"
#include "platform/Error.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct TTarget {
    TSocket::Family Family;
    std::string Address;
};

// The addresses to try for host, those of the preferred family first.
std::vector<TTarget> TargetsOf(const std::string &host, TIdIPVersion preferred) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    in_addr v4;
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1)
        return {{TSocket::Family::IPv4, bare}};
    in6_addr v6;
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return {{TSocket::Family::IPv6, bare}};
    if (bare.empty())
        throw ESocketError("Host not found: the host name is empty.");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(bare.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        const std::string why =
            rc == EAI_SYSTEM ? std::string(std::strerror(errno)) : std::string(gai_strerror(rc));
        throw ESocketError("Host not found: \"" + bare + "\" (" + why + ").", rc);
    }
    std::vector<TTarget> targets;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        if (ai->ai_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_addr, text,
                      sizeof text);
            targets.push_back({TSocket::Family::IPv4, text});
        } else if (ai->ai_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(ai->ai_addr)->sin6_addr, text,
                      sizeof text);
            targets.push_back({TSocket::Family::IPv6, text});
        }
    }
    ::freeaddrinfo(found);
    const TSocket::Family first =
        preferred == TIdIPVersion::Id_IPv6 ? TSocket::Family::IPv6 : TSocket::Family::IPv4;
    std::stable_partition(targets.begin(), targets.end(),
                          [first](const TTarget &t) { return t.Family == first; });
    targets.erase(std::unique(targets.begin(), targets.end(),
                              [](const TTarget &x, const TTarget &y) {
                                  return x.Family == y.Family && x.Address == y.Address;
                              }),
                  targets.end());
    return targets;
}

} // namespace

struct TIdSocksServer::TConnection {
    std::unique_ptr<TIdSocksServerContext> Context;
    std::list<std::unique_ptr<TConnection>>::iterator Self;
};

struct TIdSocksServer::TWorker {
    TIdSocksServer *Server = nullptr;
    pthread_t Thread{};
    std::list<std::unique_ptr<TWorker>>::iterator Self;
};

struct TIdSocksServer::TListener {
    TSocket Socket;
    std::thread Thread;
};

TIdSocksServer::TIdSocksServer() : FPipePool(std::make_shared<TPipePool>()) {}

TIdSocksServer::~TIdSocksServer() {
    Stop();
}

void TIdSocksServer::SetPipePool(std::shared_ptr<TPipePool> pool) {
    std::lock_guard<std::mutex> guard(FLock);
    FPipePool = pool ? std::move(pool) : std::make_shared<TPipePool>();
}

bool TIdSocksServer::Active() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FActive;
}

uint16_t TIdSocksServer::Port() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FPort;
}

size_t TIdSocksServer::ConnectionCount() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FLive.size();
}

void TIdSocksServer::Start() {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    if (Active())
        return;

    // IPv4 first; the IPv6 listener takes the same port (v6-only, so the two
    // never collide with each other). A port chosen by the system may be
    // taken for IPv6 already: choose again.
    std::vector<std::unique_ptr<TListener>> listeners;
    for (int attempt = 0;; ++attempt) {
        listeners.clear();
        auto v4 = std::make_unique<TListener>();
        v4->Socket = TSocket::Listen(TSocket::Family::IPv4, DefaultPort, ListenBacklog);
        const uint16_t port = v4->Socket.LocalPort();
        listeners.push_back(std::move(v4));
        try {
            auto v6 = std::make_unique<TListener>();
            v6->Socket = TSocket::Listen(TSocket::Family::IPv6, port, ListenBacklog);
            listeners.push_back(std::move(v6));
        } catch (const ESocketError &e) {
            if (e.Code == EADDRINUSE && DefaultPort == 0 && attempt < 20)
                continue;
            if (e.Code != EAFNOSUPPORT && e.Code != EADDRNOTAVAIL && e.Code != EPROTONOSUPPORT)
                throw;
            // No IPv6 on this machine: IPv4 only.
        }
        break;
    }

    {
        std::lock_guard<std::mutex> guard(FLock);
        FActive = true;
        FStopping = false;
        FPort = listeners.front()->Socket.LocalPort();
        FSessionTimeoutMs = SessionsTimeOut > 0 ? SessionsTimeOut * 1000 : 0;
        FConnectTimeoutMs = ConnectTimeoutMs;
        FBindTimeoutMs = BindAcceptTimeoutMs;
        FUsePipes = RelayThroughPipes;
        FClientReceiveBuffer = ClientReceiveBuffer;
        FStackSize = ThreadStackSize;
        FSpareThreads = SpareThreads;
        FMaxIdleThreads = std::max(MaxIdleThreads, SpareThreads);
        FIdleTimeoutMs = IdleThreadTimeoutMs;
        FRequestTimeoutMs = RequestTimeoutMs;
        FListeners = std::move(listeners);
        while (FIdleWorkers < FSpareThreads && StartWorker()) {
        }
    }
    for (auto &listener : FListeners)
        listener->Thread = std::thread([this, l = listener.get()] { ListenLoop(l); });
}

void TIdSocksServer::Stop() {
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

void TIdSocksServer::ListenLoop(TListener *listener) {
    for (;;) {
        TSocket client = listener->Socket.Accept();
        if (!client.Valid())
            return;
        Accepted(std::move(client));
    }
}

void TIdSocksServer::Accepted(TSocket client) {
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

bool TIdSocksServer::StartWorker() {
    auto worker = std::make_unique<TWorker>();
    worker->Server = this;
    TWorker *raw = worker.get();
    FWorkers.push_back(std::move(worker));
    raw->Self = std::prev(FWorkers.end());

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<size_t>(FStackSize, PTHREAD_STACK_MIN));
    const int rc = pthread_create(&raw->Thread, &attr, &TIdSocksServer::WorkerEntry, raw);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        FWorkers.erase(raw->Self);
        return false;
    }
    ++FIdleWorkers;
    return true;
}

void *TIdSocksServer::WorkerEntry(void *arg) {
    auto *worker = static_cast<TWorker *>(arg);
    worker->Server->WorkerLoop(worker);
    return nullptr;
}

void TIdSocksServer::WorkerLoop(TWorker *worker) {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        // Idle here: counted in FIdleWorkers. A thread beyond the spares
        // waits a limited time, once, then ends.
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
        if (FStopping || quiet) {
            --FIdleWorkers;
            if (quiet && FIdleWorkers == FSpareThreads && FLive.empty())
                FPipePool->Trim();
            break;
        }
        TConnection *connection = FWaiting.front();
        FWaiting.pop_front();
        --FIdleWorkers;
        lock.unlock();

        Serve(*connection->Context);

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

void TIdSocksServer::JoinAll(std::list<std::unique_ptr<TWorker>> &exited) {
    for (auto &worker : exited)
        pthread_join(worker->Thread, nullptr);
    exited.clear();
}

void TIdSocksServer::Serve(TIdSocksServerContext &context) {
    try {
        TSocksRequestParser parser;
        char buffer[512];
        size_t have = 0;
        size_t used = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(FRequestTimeoutMs);
        for (bool done = false; !done;) {
            if (used == have) {
                used = 0;
                if (FRequestTimeoutMs > 0) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count();
                    if (left <= 0 || !context.Connection().WaitReadable(static_cast<int>(left)))
                        throw EVelmoraError("Request timed out");
                }
                have = context.Connection().ReadSome(buffer, sizeof buffer);
                if (have == 0)
                    return; // the client closed during its request
            }
            used += parser.Feed(reinterpret_cast<const uint8_t *>(buffer) + used, have - used);
            switch (parser.Status()) {
            case TSocksRequestParser::TStatus::NeedMore:
                break;
            case TSocksRequestParser::TStatus::GreetingDone:
                context.Connection().WriteAll(TSocksReply::Socks5NoAuthentication());
                break;
            case TSocksRequestParser::TStatus::RequestDone:
                done = true;
                break;
            case TSocksRequestParser::TStatus::Failed:
                context.FSocksVersion = parser.Request().Version;
                if (parser.FailureReplyCode() >= 0) {
                    const auto code = static_cast<uint8_t>(parser.FailureReplyCode());
                    SendFailureReply(context, code, code);
                }
                throw EVelmoraError(parser.Error());
            }
        }

        const TSocksRequest request = parser.Request();
        context.FSocksVersion = request.Version;
        context.FUsername = request.UserId;
        switch (request.AddressType) {
        case TSocksAddressType::atIPv4:
            context.FIPVersion = TIdIPVersion::Id_IPv4;
            break;
        case TSocksAddressType::atIPv6:
            context.FIPVersion = TIdIPVersion::Id_IPv6;
            break;
        case TSocksAddressType::atDomainName:
            context.FIPVersion = context.ConnectionIPVersion();
            break;
        }
        context.FEarlyData.assign(buffer + used, have - used);

        if (request.Command == 1) {
            CommandConnect(context, request.Host, request.Port);
        } else if (request.Command == 2) {
            CommandBind(context, request.Host, request.Port);
        } else {
            SendFailureReply(context, TSocksReply::S4IdentFailed,
                             TSocksReply::S5CommandNotSupported);
            throw EVelmoraError("Wrong SOCKS-Command");
        }
    } catch (const std::exception &e) {
        try {
            OnConnectionError(context, std::string(e.what()));
        } catch (...) {
        }
    } catch (...) {
    }
    context.CloseAll();
}

void TIdSocksServer::SendReply(TIdSocksServerContext &context, uint8_t code4, uint8_t code5,
                               const std::string &address, uint16_t port) {
    context.Connection().WriteAll(TSocksReply::ForVersion(context.FSocksVersion, code4, code5,
                                                          context.FIPVersion, address, port));
}

void TIdSocksServer::SendFailureReply(TIdSocksServerContext &context, uint8_t code4,
                                      uint8_t code5) {
    try {
        SendReply(context, code4, code5);
    } catch (const std::exception &) {
    }
}

std::unique_ptr<TRelay> TIdSocksServer::PrepareRelay() {
    auto relay = std::make_unique<TRelay>(FUsePipes ? FPipePool.get() : nullptr);
    relay->Prepare();
    return relay;
}

void TIdSocksServer::RelayConnection(TIdSocksServerContext &context, TRelay &relay) {
    if (!context.FEarlyData.empty()) {
        context.Outgoing().WriteAll(context.FEarlyData);
        context.FEarlyData.clear();
    }
    if (FClientReceiveBuffer > 0) {
        // Best effort: a refusal leaves the kernel's own tuning.
        ::setsockopt(context.Connection().Fd(), SOL_SOCKET, SO_RCVBUF, &FClientReceiveBuffer,
                     sizeof FClientReceiveBuffer);
    }
    const TRelay::TEnd end =
        relay.Run(context.Connection().Fd(), context.Outgoing().Fd(), FSessionTimeoutMs);
    if (end == TRelay::TEnd::IdleTimeout)
        OnSessionTimeout(this, context);
}

void TIdSocksServer::ConnectDirect(TIdSocksServerContext &context, const std::string &host,
                                   uint16_t port, TIdIPVersion preferred, int timeoutMs) {
    const std::vector<TTarget> targets = TargetsOf(host, preferred);
    const int64_t deadline = timeoutMs > 0 ? NowMs() + timeoutMs : INT64_MAX;
    std::string lastError;
    int lastCode = 0;
    for (const TTarget &target : targets) {
        if (context.Woken())
            throw ESocketError("Connection aborted.", ECONNABORTED);
        int left = 0;
        if (timeoutMs > 0) {
            const int64_t remaining = deadline - NowMs();
            if (remaining <= 0)
                throw ESocketError("Connect timed out.", ETIMEDOUT);
            left = static_cast<int>(remaining);
        }
        context.SetOutgoing(TSocket::Create(target.Family));
        try {
            context.Outgoing().ConnectTo(target.Address, port, left);
            return;
        } catch (const ESocketError &e) {
            context.CloseOutgoing();
            if (e.Code == ETIMEDOUT || context.Woken())
                throw;
            lastError = e.what();
            lastCode = e.Code;
        }
    }
    throw ESocketError(lastError, lastCode);
}

void TIdSocksServer::AdmitConnect(TIdSocksServerContext &context, std::string &vHost,
                                  uint16_t &vPort) {
    bool allowed = true;
    OnBeforeSocksConnect(context, vHost, vPort, allowed);
    if (!allowed) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5NotAllowed);
        throw EVelmoraError("Access Denied");
    }
}

void TIdSocksServer::CommandConnect(TIdSocksServerContext &context, const std::string &host,
                                    uint16_t port) {
    std::string vHost = host;
    uint16_t vPort = port;
    AdmitConnect(context, vHost, vPort);
    std::unique_ptr<TRelay> relay;
    try {
        relay = PrepareRelay();
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5GeneralFailure);
        throw;
    }
    try {
        ConnectDirect(context, vHost, vPort, context.FIPVersion, FConnectTimeoutMs);
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5HostUnreachable);
        throw;
    }
    SendReply(context, TSocksReply::S4Granted, TSocksReply::S5Succeeded,
              context.Outgoing().LocalAddress(), context.Outgoing().LocalPort());
    RelayConnection(context, *relay);
}

void TIdSocksServer::CommandBind(TIdSocksServerContext &context, const std::string &host,
                                 uint16_t port) {
    std::unique_ptr<TRelay> relay;
    try {
        relay = PrepareRelay();
        context.SetBindListener(TSocket::Listen(context.FIPVersion == TIdIPVersion::Id_IPv6
                                                    ? TSocket::Family::IPv6
                                                    : TSocket::Family::IPv4,
                                                0, 1));
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5GeneralFailure);
        throw;
    }
    TSocket &listener = context.BindListener();
    SendReply(context, TSocksReply::S4Granted, TSocksReply::S5Succeeded, listener.LocalAddress(),
              listener.LocalPort());

    // Wait for the peer. A client connection that breaks meanwhile ends the
    // wait; one that only half-closes still gets the peer's bytes.
    const int64_t deadline = NowMs() + FBindTimeoutMs;
    pollfd fds[2] = {{listener.Fd(), POLLIN, 0}, {context.Connection().Fd(), POLLIN, 0}};
    for (;;) {
        const int64_t left = deadline - NowMs();
        const int rc = left > 0 ? ::poll(fds, 2, static_cast<int>(left)) : 0;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0) {
            SendFailureReply(context, TSocksReply::S4IdentFailed, TSocksReply::S5GeneralFailure);
            throw EVelmoraError("Accept timed out.");
        }
        if (rc < 0)
            throw ESocketError(std::string("Socket error: ") + std::strerror(errno), errno);
        if (fds[1].revents) {
            char probe;
            const ssize_t got =
                ::recv(context.Connection().Fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return; // the client's connection is broken
            if (got >= 0)
                fds[1].fd = -1; // bytes or end of stream for the peer: the relay passes them on
        }
        if (fds[0].revents)
            break;
    }
    TSocket peer = listener.Accept();
    context.CloseBindListener();
    if (!peer.Valid())
        throw ESocketError("Connection aborted.", ECONNABORTED);

    const std::string peerAddress = peer.PeerAddress();
    const uint16_t peerPort = peer.PeerPort();
    bool allowed = true;
    OnVerifyBoundPeer(context, host, peerAddress, allowed);
    if (!allowed) {
        peer.Close();
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5GeneralFailure);
        throw EVelmoraError("Peer IP mismatch");
    }
    context.SetOutgoing(std::move(peer));
    SendReply(context, TSocksReply::S4Granted, TSocksReply::S5Succeeded, peerAddress, peerPort);
    RelayConnection(context, *relay);
}
