#include "engine/chain/ProxyChain.h"

#include "engine/hop/HopReport.h"
#include "engine/hop/ProxyConnectEvent.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <algorithm>

TProxyChain::TProxyChain(int32_t AChainUID, TdmProxyData &store, std::mutex &activityLock,
                         std::shared_ptr<TContextIDRegistry> contextIDs,
                         std::shared_ptr<TProxyFailures> failures)
    : FUID(AChainUID), FActivityLock(activityLock),
      FChainData(std::make_shared<TChainedProxyData>(store.GetChain(AChainUID))),
      FFailures(failures ? std::move(failures) : std::make_shared<TProxyFailures>()),
      FLocalSocks(std::make_unique<TLocalSOCKSServer>()) {
    FRotation = ReadRotationSettings(store, AChainUID);
    if (FRotation.AutoCreate) {
        std::vector<std::unique_ptr<TProxData>> all;
        store.GetAllProxyRecords(all);
        for (const auto &proxy : all)
            if (proxy->FStatus == TProxyStatus::psAvailable)
                FPool.push_back(*proxy);
    }
    if (contextIDs)
        FLocalSocks->SetContextIDRegistry(std::move(contextIDs));
}

TRotationSettings ReadRotationSettings(TdmProxyData &store, int32_t chainUID) {
    const std::optional<TStoredChain> chain = store.FindStoredChain(chainUID);
    if (!chain)
        throw EVelmoraError("chain record not found");
    TRotationSettings settings;
    settings.AutoCreate = chain->Rotating;
    settings.ChangeEvery = std::max(0, chain->ChangeEvery);
    settings.NoOfProxies = chain->NoOfProxies ? std::clamp(*chain->NoOfProxies, 1, 10) : 3;
    return settings;
}

std::shared_ptr<const TChainedProxyData> TProxyChain::CurrentHops() const {
    if (const std::shared_ptr<THopSource> hops = FHops)
        if (auto current = hops->Current())
            return current;
    return FChainData;
}

QString TProxyChain::Trouble() const {
    const std::shared_ptr<THopSource> hops = FHops;
    if (auto *rotating = dynamic_cast<TRotatingHops *>(hops.get()))
        return rotating->Trouble();
    if (hops && hops->NetworkDown())
        return QStringLiteral("waiting for the network");
    return {};
}

QString TProxyChain::LastFailure() const {
    std::lock_guard<std::mutex> guard(FFailureLock);
    return FLastFailure;
}

size_t TProxyChain::ConnectionCount() const {
    return FLocalSocks->ConnectionCount();
}

void TProxyChain::WatchSetup(uint16_t clientPort) {
    std::lock_guard<std::mutex> guard(FWatchLock);
    FWatched[clientPort].reset();
}

std::optional<TProxyChain::TSetup> TProxyChain::TakeSetup(uint16_t clientPort) {
    std::lock_guard<std::mutex> guard(FWatchLock);
    const auto it = FWatched.find(clientPort);
    if (it == FWatched.end())
        return std::nullopt;
    std::optional<TSetup> setup = std::move(it->second);
    FWatched.erase(it); // watched no more, whether its set-up ended or not
    return setup;
}

void TProxyChain::SetupDone(uint16_t clientPort, const TChainedProxyData &hops,
                            const std::vector<double> &hopMs) {
    std::lock_guard<std::mutex> guard(FWatchLock);
    if (FWatched.empty())
        return;
    const auto it = FWatched.find(clientPort);
    if (it == FWatched.end())
        return;
    TSetup setup;
    setup.Hops = HopsText(hops);
    for (const auto &item : hops.FChainedItems)
        setup.HopList.push_back(QStringLiteral("%1:%2").arg(item->FIPAddress).arg(item->FPort));
    setup.HopMs = hopMs;
    it->second = std::move(setup);
}

TProxyChain::~TProxyChain() {
    Halt();
}

void TProxyChain::Halt() {
    DetachHandlers();
    FLocalSocks->Stop(); // joins its connections
    if (auto *rotating = dynamic_cast<TRotatingHops *>(FHops.get()))
        rotating->StopSchedule();
    FLocalSocks->FHopSource.reset();
    FHops.reset();
    FActive = false;
}

void TProxyChain::SetServerLocalOnly(bool value) {
    FLocalSocks->SetLocalOnly(value);
    if (!FPrivatePort)
        FLocalSocks->SetLoopbackOnly(value);
}

void TProxyChain::SetMaxClients(size_t value) {
    FMaxClients = value;
    FLocalSocks->SetMaxClients(value);
}

QString TurnedAwayLine(uint16_t port, size_t closed, size_t dropped, size_t maxClients) {
    const size_t all = closed + dropped;
    QString line = QStringLiteral("Turned away %1 %2 on port %3: %4 are served at once")
                       .arg(all)
                       .arg(all == 1 ? QStringLiteral("client") : QStringLiteral("clients"))
                       .arg(port)
                       .arg(maxClients);
    if (dropped > 0)
        line += QStringLiteral(" (%1 of them had sent no request yet and made room for newer ones)")
                    .arg(dropped);
    return line;
}

QString ListenScopeFailedLine(const QString &server, bool loopbackOnly, const std::exception &e) {
    return QStringLiteral("%1 could not listen %2 and listens as before: %3")
        .arg(server,
             loopbackOnly ? QStringLiteral("on loopback only")
                          : QStringLiteral("on every interface"),
             QString::fromUtf8(e.what()));
}

uint16_t TProxyChain::Port() const {
    const uint16_t listening = FLocalSocks->Port();
    return listening ? listening : static_cast<uint16_t>(FChainData->FPort);
}

bool TProxyChain::ServeHanded(TSocket client, const std::string &host, uint16_t port) {
    return FLocalSocks->ServeHanded(std::move(client), host, port);
}

void TProxyChain::SetActive(bool Value) {
    if (Value) {
        std::shared_ptr<THopSource> hops;
        if (FRotation.AutoCreate) {
            auto rotating = std::make_shared<TRotatingHops>(*FChainData, FPool, FRotation,
                                                            FAttemptTimeoutMs, FFailures);
            TRotatingHops *raw = rotating.get();
            rotating->OnChanged = [this](const QString &text) {
                Progress(QStringLiteral("Chain \"%1\" now runs through %2")
                             .arg(FChainData->FDesc, text));
            };
            rotating->OnProxyDead = [this](int32_t proxyUID, bool probes) {
                if (OnProxyDead)
                    OnProxyDead(proxyUID, probes);
            };
            rotating->ProbeIntervalsMs = FProbeIntervalsMs;
            QString reason;
            if (!raw->Begin(reason))
                throw EChainRefused(reason);
            hops = std::move(rotating);
        } else {
            hops = std::make_shared<TFixedHops>(FChainData);
        }
        {
            std::lock_guard<std::mutex> guard(FFailureLock);
            FLastFailure.clear();
        }
        FActive = true;
        FHops = hops;
        FLocalSocks->FChainData = FChainData.get();
        FLocalSocks->FHopSource = hops;
        FLocalSocks->DefaultPort = FPrivatePort ? 0 : static_cast<uint16_t>(FChainData->FPort);
        // Other machines reach the chain only when local-only is off.
        FLocalSocks->Threads.LoopbackOnly = FPrivatePort || FLocalOnly;
        FLocalSocks->Threads.MaxClients = FMaxClients;
        FLocalSocks->SessionsTimeOut = FSessionsTimeOut;
        FLocalSocks->SetLocalOnly(FLocalOnly);
        AttachHandlers();
        FLocalSocks->Start();
        Progress(QStringLiteral("Listening on port %1").arg(FLocalSocks->Port()));
        if (auto *rotating = dynamic_cast<TRotatingHops *>(hops.get())) {
            Progress(QStringLiteral("Chain \"%1\" now runs through %2")
                         .arg(FChainData->FDesc, HopsText(*rotating->Current())));
            rotating->StartSchedule();
        }
    } else {
        FActive = false;
        const uint16_t port = Port();
        if (auto *rotating = dynamic_cast<TRotatingHops *>(FHops.get()))
            rotating->StopSchedule();
        DetachHandlers();
        FLocalSocks->Stop();
        FLocalSocks->FHopSource.reset();
        FHops.reset();
        Progress(QStringLiteral("Stopped listening on port %1").arg(port));
    }
}

void TProxyChain::AttachHandlers() {
    TLocalSOCKSServer &s = *FLocalSocks;
    // The local-only rule is the server's (for every command); the chain
    // reports whom it refused.
    s.OnRejected = [this](TIdSocksServerContext &context) {
        Progress(QStringLiteral("Rejected connection from ") +
                 QString::fromStdString(context.PeerAddress()));
    };
    s.OnBeforeSocksConnect = [this](TIdSocksServerContext &context, std::string &vHost,
                                    uint16_t &vPort, bool &) {
        Activity(TActivityType::atConnectRequest, context.FData ? context.FData->FID : 0,
                 QStringLiteral("Request connect to %1:%2")
                     .arg(QString::fromStdString(vHost))
                     .arg(vPort));
    };
    s.OnConnectLocalProxy = [this](int32_t contextId) {
        Activity(TActivityType::atConnectLocalProxy, contextId,
                 QStringLiteral(" ...Connect Chain 127.0.0.1:%1").arg(FLocalSocks->Port()));
    };
    s.OnProxyProgress = [this](void *, const QString &fromHost, int fromPort, const QString &host,
                               int port, int status, int contextId) {
        if (status == HopConnectFailed)
            Activity(TActivityType::atConnectFailed, contextId,
                     QStringLiteral(" ...Connect proxy %1:%2 => %3:%4 [FAILED]")
                         .arg(fromHost)
                         .arg(fromPort)
                         .arg(host)
                         .arg(port));
        else
            Activity(TActivityType::atConnectChainedProxy, contextId,
                     QStringLiteral(" ...Connect proxy %1:%2 => %3:%4")
                         .arg(fromHost)
                         .arg(fromPort)
                         .arg(host)
                         .arg(port));
    };
    s.OnHopFailed = [this](int32_t contextId, int position, const QString &hop,
                           const QString &error, const QString &replacement) {
        QString line = QStringLiteral(" ...Hop %1 (%2) failed: %3").arg(position).arg(hop, error);
        if (!replacement.isEmpty())
            line += QStringLiteral("; trying %1 in its place").arg(replacement);
        if (!Rotating()) {
            std::lock_guard<std::mutex> guard(FFailureLock);
            FLastFailure = QStringLiteral("hop %1 (%2): %3").arg(position).arg(hop, error);
        }
        Activity(TActivityType::atHopFailed, contextId, line);
    };
    s.OnSetupDone = [this](int32_t, uint16_t clientPort, const TChainedProxyData &hops,
                           const std::vector<double> &hopMs) {
        SetupDone(clientPort, hops, hopMs);
    };
    s.OnConnDisconnected = [this](int32_t contextId, uint64_t bytes) {
        ConnectionEnd(contextId, bytes);
    };
    s.OnBindRefused = [this](TIdSocksServerContext &context) {
        Progress(QStringLiteral("BIND from %1 refused on port %2: a direct BIND would show the "
                                "peer this machine's own address")
                     .arg(QString::fromStdString(context.PeerAddress()))
                     .arg(FLocalSocks->Port()));
    };
    s.OnTurnedAway = [this](size_t closed, size_t dropped, size_t maxClients) {
        Progress(TurnedAwayLine(FLocalSocks->Port(), closed, dropped, maxClients));
    };
    s.OnSessionTimeout = [this](TIdSocksServer *, TIdSocksServerContext &context) {
        Progress(QStringLiteral("Session timed out for ") +
                 QString::fromStdString(context.PeerAddress()));
    };
}

void TProxyChain::DetachHandlers() {
    TLocalSOCKSServer &s = *FLocalSocks;
    s.OnRejected = nullptr;
    s.OnBeforeSocksConnect = nullptr;
    s.OnConnectLocalProxy = nullptr;
    s.OnHopFailed = nullptr;
    s.OnSetupDone = nullptr;
    s.OnProxyProgress = nullptr;
    s.OnConnDisconnected = nullptr;
    s.OnBindRefused = nullptr;
    s.OnTurnedAway = nullptr;
    s.OnSessionTimeout = nullptr;
}

void TProxyChain::Activity(TActivityType type, int32_t contextId, const QString &text) {
    std::lock_guard<std::mutex> guard(FActivityLock);
    if (OnActivity)
        OnActivity(this, FUID, type, text, contextId);
}

void TProxyChain::ConnectionEnd(int32_t contextId, uint64_t bytes) {
    std::lock_guard<std::mutex> guard(FActivityLock);
    if (OnConnectionEnd)
        OnConnectionEnd(this, FUID, contextId, bytes);
    if (OnActivity)
        OnActivity(this, FUID, TActivityType::atDisconnected, QStringLiteral("...Disconnected"),
                   contextId);
}

void TProxyChain::Progress(const QString &text) {
    if (OnProgressMessage)
        OnProgressMessage(this, text);
}
