#include "engine/server/IdSocksServer.h"

#include "engine/server/ConnectDirect.h"
#include "engine/server/PipePool.h"
#include "engine/server/Relay.h"
#include "engine/wire/SocksReply.h"
#include "engine/wire/SocksRequestParser.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/LocalAddresses.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

TIdSocksServer::TIdSocksServer()
    : FPipePool(std::make_shared<TPipePool>()),
      FThreads([this](TIdSocksServerContext &context) { Serve(context); }, [this] { TrimPipes(); },
               [this](size_t closed, size_t dropped, size_t maxClients) {
                   OnTurnedAway(closed, dropped, maxClients);
               }) {
    // A bounded number of clients at once, and a flood of silent
    // connections gives way to clients that speak.
    Threads.MaxClients = TConnectionThreads::DefaultMaxClients;
    Threads.DropSilentWhenFull = true;
}

TIdSocksServer::~TIdSocksServer() {
    Stop();
}

void TIdSocksServer::SetPipePool(std::shared_ptr<TPipePool> pool) {
    std::lock_guard<std::mutex> guard(FPoolLock);
    FPipePool = pool ? std::move(pool) : std::make_shared<TPipePool>();
}

void TIdSocksServer::TrimPipes() {
    std::lock_guard<std::mutex> guard(FPoolLock);
    FPipePool->Trim();
}

bool TIdSocksServer::Active() const {
    return FThreads.Active();
}

uint16_t TIdSocksServer::Port() const {
    return FThreads.Port();
}

size_t TIdSocksServer::ConnectionCount() const {
    return FThreads.ConnectionCount();
}

void TIdSocksServer::SetLoopbackOnly(bool value) {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    Threads.LoopbackOnly = value;
    FThreads.Rebind(value);
}

void TIdSocksServer::SetMaxClients(size_t value) {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    Threads.MaxClients = value;
    FThreads.SetMaxClients(value);
}

bool TIdSocksServer::LocalClient(const TIdSocksServerContext &context) {
    return context.PeerAddress() == "127.0.0.1" || context.PeerAddress() == "::1";
}

void TIdSocksServer::Start() {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    if (FThreads.Active())
        return;
    // Taken before any connection thread exists, which reads them unlocked.
    FSessionTimeoutMs = SessionsTimeOut > 0 ? SessionsTimeOut * 1000 : 0;
    FConnectTimeoutMs = ConnectTimeoutMs;
    FBindTimeoutMs = BindAcceptTimeoutMs;
    FUsePipes = RelayThroughPipes;
    FClientReceiveBuffer = ClientReceiveBuffer;
    FRequestTimeoutMs = RequestTimeoutMs;
    FShieldOwn = ShieldOwnAddresses;
    FThreads.Start(DefaultPort, Threads);
}

void TIdSocksServer::Stop() {
    std::lock_guard<std::mutex> startStop(FStartStopLock);
    FThreads.Stop();
}

bool TIdSocksServer::ReadRequest(TIdSocksServerContext &context, TSocksRequest &request) {
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
                return false; // the client closed during its request
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
    request = parser.Request();
    context.FEarlyData.assign(buffer + used, have - used);
    return true;
}

void TIdSocksServer::Serve(TIdSocksServerContext &context) {
    Guarded(context, [&] {
        TSocksRequest request;
        if (!ReadRequest(context, request))
            return; // closed by the connection thread
        context.MarkRequestRead();
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
        if (LocalOnly() && !LocalClient(context)) {
            OnRejected(context);
            SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5NotAllowed);
            throw EVelmoraError("Access Denied");
        }
        if (request.Command == 1) {
            CommandConnect(context, request.Host, request.Port);
        } else if (request.Command == 2) {
            CommandBind(context, request.Host, request.Port);
        } else {
            SendFailureReply(context, TSocksReply::S4IdentFailed,
                             TSocksReply::S5CommandNotSupported);
            throw EVelmoraError("Wrong SOCKS-Command");
        }
    });
}

void TIdSocksServer::Guarded(TIdSocksServerContext &context, const std::function<void()> &serve) {
    try {
        serve();
    } catch (const std::exception &e) {
        try {
            OnConnectionError(context, std::string(e.what()));
        } catch (...) {
        }
    } catch (...) {
    }
    context.CloseAll();
}

bool TIdSocksServer::ServeHanded(TSocket client, const std::string &host, uint16_t port) {
    return FThreads.Inject(std::move(client), [this, host, port](TIdSocksServerContext &context) {
        context.FHanded = true;
        context.FSocksVersion = 5;
        context.FIPVersion =
            host.find(':') != std::string::npos ? TIdIPVersion::Id_IPv6 : TIdIPVersion::Id_IPv4;
        Guarded(context, [&] { CommandConnect(context, host, port); });
    });
}

void TIdSocksServer::SendReply(TIdSocksServerContext &context, uint8_t code4, uint8_t code5,
                               const std::string &address, uint16_t port) {
    if (context.FHanded) {
        if (code5 != TSocksReply::S5Succeeded) {
            // A reset rather than an orderly end: the program sees a failed
            // connection, not an empty answer.
            linger hard{1, 0};
            ::setsockopt(context.Connection().Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        return;
    }
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
    // What moved is kept however the relay ends.
    uint64_t early = 0;
    struct TCount {
        TIdSocksServerContext &Context;
        const TRelay &Relay;
        const uint64_t &Early;
        ~TCount() { Context.FBytesMoved = Early + Relay.BytesAToB() + Relay.BytesBToA(); }
    } count{context, relay, early};
    if (!context.FEarlyData.empty()) {
        context.Outgoing().WriteAll(context.FEarlyData);
        early = context.FEarlyData.size();
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

void TIdSocksServer::AdmitConnect(TIdSocksServerContext &context, std::string &vHost,
                                  uint16_t &vPort) {
    bool allowed = true;
    OnBeforeSocksConnect(context, vHost, vPort, allowed);
    if (!allowed) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5NotAllowed);
        throw EVelmoraError("Access Denied");
    }
}

void TIdSocksServer::ConnectAndRelay(TIdSocksServerContext &context,
                                     const std::function<void()> &announce,
                                     const std::function<void()> &open) {
    std::unique_ptr<TRelay> relay;
    try {
        relay = PrepareRelay();
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5GeneralFailure);
        throw;
    }
    if (announce)
        announce();
    try {
        open();
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5HostUnreachable);
        throw;
    }
    SendReply(context, TSocksReply::S4Granted, TSocksReply::S5Succeeded,
              context.Outgoing().LocalAddress(), context.Outgoing().LocalPort());
    RelayConnection(context, *relay);
}

std::vector<TDirectTarget> TIdSocksServer::AllowedTargets(TIdSocksServerContext &context,
                                                          const std::string &host, uint16_t port) {
    std::vector<TDirectTarget> targets;
    try {
        targets = DirectTargets(host, context.FIPVersion);
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5HostUnreachable);
        throw;
    }
    if (!FShieldOwn || TLocalAddresses::IsLoopback(context.PeerAddress()))
        return targets;
    // The addresses actually connected to are judged, so a name that stands
    // for this machine ("localhost") is caught as its address would be.
    std::string own;
    std::erase_if(targets, [&](const TDirectTarget &t) {
        if (!TLocalAddresses::IsOwn(t.Address))
            return false;
        own = t.Address;
        return true;
    });
    if (targets.empty()) {
        OnRefusedDestination(context, host, port, own);
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5NotAllowed);
        throw EVelmoraError("Access Denied");
    }
    return targets;
}

void TIdSocksServer::CommandConnect(TIdSocksServerContext &context, const std::string &host,
                                    uint16_t port) {
    std::string vHost = host;
    uint16_t vPort = port;
    AdmitConnect(context, vHost, vPort);
    const std::vector<TDirectTarget> targets = AllowedTargets(context, vHost, vPort);
    ConnectAndRelay(context, nullptr,
                    [&] { ConnectDirect(context, targets, vPort, FConnectTimeoutMs); });
}

void TIdSocksServer::CommandBind(TIdSocksServerContext &context, const std::string &host,
                                 uint16_t port) {
    std::unique_ptr<TRelay> relay;
    try {
        relay = PrepareRelay();
        // The peer may reach it from where the server's clients may.
        context.SetBindListener(TSocket::Listen(context.FIPVersion == TIdIPVersion::Id_IPv6
                                                    ? TSocket::Family::IPv6
                                                    : TSocket::Family::IPv4,
                                                0, 1, FThreads.LoopbackOnly()));
    } catch (const std::exception &) {
        SendFailureReply(context, TSocksReply::S4Rejected, TSocksReply::S5GeneralFailure);
        throw;
    }
    TSocket &listener = context.BindListener();
    SendReply(context, TSocksReply::S4Granted, TSocksReply::S5Succeeded, listener.LocalAddress(),
              listener.LocalPort());

    // Wait for the peer. A client connection that breaks meanwhile ends the
    // wait; one that only half-closes still gets the peer's bytes.
    const int64_t deadline = TClock::TickMs() + FBindTimeoutMs;
    pollfd fds[2] = {{listener.Fd(), POLLIN, 0}, {context.Connection().Fd(), POLLIN, 0}};
    for (;;) {
        const int64_t left = deadline - TClock::TickMs();
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
