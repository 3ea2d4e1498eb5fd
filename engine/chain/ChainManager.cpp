#include "engine/chain/ChainManager.h"

#include "engine/server/ContextIDRegistry.h"
#include "platform/Error.h"
#include "platform/Socket.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>

namespace {

// The proxy time-out of a rotating chain's hops: the settings' "Time-Out",
// 10 s when it is 0 (the system's own would be minutes).
int AttemptTimeoutMs(const TdmProxyData &store) {
    const int seconds = store.Timeout();
    return seconds > 0 ? seconds * 1000 : 10000;
}

} // namespace

TChainManager::TChainManager()
    : FContextIDs(std::make_shared<TContextIDRegistry>()),
      FFailures(std::make_shared<TProxyFailures>()), FAlive(std::make_shared<int>(0)) {}

TChainManager::~TChainManager() {
    FAlive.reset();
    // Chains stop (and join their connections) before the lock goes, even
    // those a test still shares.
    for (const auto &chain : Chains())
        chain->Halt();
    std::lock_guard<std::mutex> guard(FListLock);
    FChainList.clear();
}

void TChainManager::Message(const QString &line) const {
    if (OnMessage)
        OnMessage(line);
}

TProxyChain *TChainManager::Find(int32_t AUID) const {
    return Share(AUID).get(); // the list keeps its own share
}

std::shared_ptr<TProxyChain> TChainManager::Share(int32_t AUID) const {
    std::lock_guard<std::mutex> guard(FListLock);
    for (const auto &chain : FChainList)
        if (chain->UID() == AUID)
            return chain;
    return nullptr;
}

std::vector<std::shared_ptr<TProxyChain>> TChainManager::Chains() const {
    std::lock_guard<std::mutex> guard(FListLock);
    return FChainList;
}

std::vector<int32_t> TChainManager::ListedUIDs() const {
    std::vector<int32_t> uids;
    for (const auto &chain : Chains())
        uids.push_back(chain->UID());
    return uids;
}

void TChainManager::SetOnChainActivity(TOnChainActivity handler) {
    // The forwarders read the handler inside the activity lock.
    std::lock_guard<std::mutex> guard(FActivityLock);
    FOnChainAct = std::move(handler);
}

void TChainManager::SetOnConnectionEnd(TOnConnectionEnd handler) {
    std::lock_guard<std::mutex> guard(FActivityLock);
    FOnConnEnd = std::move(handler);
}

bool TChainManager::StoredChain(int32_t AUID, QString &name, int32_t &port, bool &rotating) const {
    const std::optional<TStoredChain> chain = FStore ? FStore->FindStoredChain(AUID) : std::nullopt;
    if (!chain)
        return false;
    name = chain->Name;
    port = chain->Port;
    rotating = chain->Rotating;
    return true;
}

bool TChainManager::Admissible(int32_t AUID, QString &reason) const {
    const TRotationSettings rotation = ReadRotationSettings(*FStore, AUID);
    const TChainedProxyData record = FStore->GetChain(AUID);
    int ok = 0;
    for (const auto &item : record.FChainedItems)
        if (item->FStatus == TProxyStatus::psAvailable)
            ++ok;
    if (rotation.AutoCreate) {
        // The hand-added first hops, if any, must work; the rest are drawn
        // from proxies that do (too few of those refuse the start later).
        if (ok == record.ItemsCount())
            return true;
    } else if (FStore->VerifyChainedProxyItems(AUID)) {
        return true;
    }
    if (record.ItemsCount() == 0)
        reason = QStringLiteral("the chain has no proxies");
    else
        reason = QStringLiteral("some proxy items not working: %1 of %2 OK")
                     .arg(ok)
                     .arg(record.ItemsCount());
    return false;
}

int TChainManager::Add(int32_t AUID) {
    if (Find(AUID))
        return -1;
    if (!FStore)
        throw EVelmoraError("chain record not found");
    QString reason;
    if (!Admissible(AUID, reason)) {
        Message(QStringLiteral("chain on port %1 not started (some proxy items not working)")
                    .arg(FStore->GetChain(AUID).FPort));
        SetState(AUID, TChainRunState::NotStarted, reason);
        return -1;
    }
    auto chain =
        std::make_shared<TProxyChain>(AUID, *FStore, FActivityLock, FContextIDs, FFailures);
    // Runs inside the activity lock taken by the chain.
    chain->OnActivity = [this](void *, int32_t chainUID, TActivityType type, const QString &msg,
                               int32_t contextId) {
        if (FOnChainAct)
            FOnChainAct(this, chainUID, type, msg, contextId);
    };
    chain->OnConnectionEnd = [this](void *, int32_t chainUID, int32_t contextId, uint64_t bytes) {
        if (FOnConnEnd)
            FOnConnEnd(this, chainUID, contextId, bytes);
    };
    chain->OnProxyDead = [this](int32_t proxyUID, bool probes) { ProxyDead(proxyUID, probes); };
    // Set once, before any thread of the chain runs: a running chain's
    // connection threads read it.
    chain->OnProgressMessage = [this](TProxyChain *, const QString &msg) { Message(msg); };
    std::lock_guard<std::mutex> guard(FListLock);
    FChainList.push_back(std::move(chain));
    return static_cast<int>(FChainList.size()) - 1;
}

void TChainManager::Drop(int32_t AUID) {
    std::shared_ptr<TProxyChain> chain;
    {
        std::lock_guard<std::mutex> guard(FListLock);
        const auto it = std::find_if(FChainList.begin(), FChainList.end(),
                                     [AUID](const auto &c) { return c->UID() == AUID; });
        if (it == FChainList.end())
            return;
        chain = std::move(*it);
        FChainList.erase(it);
    }
    // Stopped here, not when the last share of it goes.
    chain->Halt();
}

void TChainManager::Remove(int32_t AUID) {
    if (!Find(AUID))
        throw EVelmoraError("error get proxychain");
    Drop(AUID);
}

bool TChainManager::SwitchOn(int32_t AUID) {
    if (!FStore)
        throw EVelmoraError("chain record not found");
    const TChainedProxyData record = FStore->GetChain(AUID);
    const std::shared_ptr<TProxyChain> chain = Share(AUID);
    if (!chain)
        throw EVelmoraError("error get ProxyChain() ");
    if (record.ItemsCount() == 0 && !chain->Rotating())
        return false;
    if (chain->Active())
        return true;
    // The settings as they are now, whoever starts the chain.
    chain->FLocalOnly = FStore->AllowLocalHostOnly();
    chain->FMaxClients = FMaxClients;
    chain->FSessionsTimeOut = FStore->SessionsTimeout();
    chain->FAttemptTimeoutMs = AttemptTimeoutMs(*FStore);
    chain->FProbeIntervalsMs = FProbeIntervalsMs;

    const int32_t port = record.FPort;
    QString reason;
    if (!chain->FPrivatePort) {
        if (port == FReservedPort)
            reason = QStringLiteral("port %1 is the plain SOCKS server's").arg(port);
        for (const auto &other : Chains())
            if (reason.isEmpty() && other != chain && other->Active() && other->Port() == port)
                reason = QStringLiteral("port %1 is also chain %2's")
                             .arg(port)
                             .arg(other->ChainData().FDesc);
    }
    if (!reason.isEmpty()) {
        Drop(AUID);
        SetState(AUID, TChainRunState::NotStarted, reason);
        throw EChainRefused(reason);
    }
    try {
        chain->SetActive(true);
    } catch (const EChainRefused &e) {
        Drop(AUID);
        SetState(AUID, TChainRunState::NotStarted, e.Message());
        throw;
    } catch (const ESocketError &e) {
        Drop(AUID);
        SetState(AUID, TChainRunState::NotStarted,
                 e.Code == EADDRINUSE
                     ? QStringLiteral("port %1 is in use by another program").arg(port)
                     : QStringLiteral("port %1: %2").arg(port).arg(e.Message()));
        throw;
    }
    SetState(AUID, TChainRunState::Running);
    return true;
}

bool TChainManager::StartChain(int32_t AUID, TChainSource from) {
    if (from == TChainSource::Admitted)
        return SwitchOn(AUID);
    if (const std::shared_ptr<TProxyChain> chain = Share(AUID)) {
        if (chain->Active())
            return true;
        Drop(AUID); // kept by a stop that left it listed: read the store anew
    }
    if (Add(AUID) < 0)
        return false;
    try {
        return SwitchOn(AUID);
    } catch (const std::exception &) {
        return false; // its state says why
    }
}

bool TChainManager::StopChain(int32_t AUID, TChainStop how) {
    const std::shared_ptr<TProxyChain> chain = Share(AUID);
    const bool ran = chain && chain->Active();
    if (ran)
        chain->SetActive(false);
    if (how == TChainStop::KeepListed) {
        if (ran)
            SetState(AUID, TChainRunState::Stopped);
        return ran;
    }
    Drop(AUID);
    SetState(AUID, TChainRunState::Stopped);
    return ran;
}

bool TChainManager::RestartChain(int32_t AUID) {
    StopChain(AUID);
    return StartChain(AUID);
}

void TChainManager::StartAll(TChainSource from) {
    if (from == TChainSource::Store) {
        for (const TChainState &state : States())
            if (state.State != TChainRunState::Running)
                StartChain(state.UID);
        FActive = true;
        return;
    }
    // A chain that fails is dropped from the list: its UID is skipped.
    for (int32_t uid : ListedUIDs()) {
        if (!Find(uid))
            continue;
        try {
            StartChain(uid, TChainSource::Admitted);
        } catch (const std::exception &) {
            // Its state says why; the other chains start all the same.
        }
    }
    FActive = true;
    Message(QStringLiteral("Services started"));
}

void TChainManager::StopAll() {
    const std::vector<int32_t> uids = ListedUIDs();
    for (auto it = uids.rbegin(); it != uids.rend(); ++it)
        if (const std::shared_ptr<TProxyChain> chain = Share(*it); chain && chain->Active())
            StopChain(*it);
    // What is left never ran: dropped without a state of its own.
    for (int32_t uid : ListedUIDs())
        Drop(uid);
    FActive = false;
}

bool TChainManager::HandConnection(uint16_t port, TSocket client, const std::string &host,
                                   uint16_t destinationPort) {
    std::shared_ptr<TProxyChain> chain;
    {
        std::lock_guard<std::mutex> guard(FListLock);
        for (const auto &c : FChainList)
            if (c->Active() && c->Port() == port) {
                chain = c;
                break;
            }
    }
    // Served on the share: a stop meanwhile leaves the object to us, and
    // its stopped server refuses (and closes) the connection.
    return chain && chain->ServeHanded(std::move(client), host, destinationPort);
}

bool TChainManager::AnyRunning() const {
    const auto chains = Chains();
    return std::any_of(chains.begin(), chains.end(),
                       [](const auto &chain) { return chain->Active(); });
}

void TChainManager::ApplyLocalOnly(bool localOnly) {
    for (const auto &chain : Chains()) {
        chain->FLocalOnly = localOnly; // read at the next start
        try {
            chain->SetServerLocalOnly(localOnly);
        } catch (const std::exception &e) {
            Message(ListenScopeFailedLine(QStringLiteral("Chain \"%1\" on port %2")
                                              .arg(chain->ChainData().FDesc)
                                              .arg(chain->Port()),
                                          localOnly, e));
        }
    }
}

void TChainManager::SetMaxClients(size_t value) {
    FMaxClients = value;
    for (const auto &chain : Chains())
        chain->SetMaxClients(value);
}

// ---- state --------------------------------------------------------------------

TChainState TChainManager::State(int32_t AUID) const {
    TChainState state;
    state.UID = AUID;
    StoredChain(AUID, state.Name, state.Port, state.Rotating);
    if (const TProxyChain *chain = Find(AUID); chain && chain->Active()) {
        state.State = TChainRunState::Running;
        state.Port = chain->Port();
        state.Connections = chain->ConnectionCount();
        if (auto hops = chain->CurrentHops())
            state.Hops = HopsText(*hops);
        state.Trouble = chain->Trouble();
        state.LastFailure = chain->LastFailure();
        return state;
    }
    const auto it = FStatus.find(AUID);
    if (it != FStatus.end() && it->second.State != TChainRunState::Running) {
        state.State = it->second.State;
        state.Reason = it->second.Reason;
    }
    return state;
}

std::vector<TChainState> TChainManager::States() const {
    std::vector<TChainState> states;
    if (!FStore)
        return states;
    for (int32_t uid : FStore->ChainUIDs())
        states.push_back(State(uid));
    return states;
}

void TChainManager::SetState(int32_t AUID, TChainRunState state, const QString &reason) {
    TStatus &status = FStatus[AUID];
    if (status.State == state && status.Reason == reason && state != TChainRunState::Running)
        return;
    const bool changed = status.State != state || status.Reason != reason;
    status.State = state;
    status.Reason = reason;
    if (!changed)
        return;
    TChainState now = State(AUID);
    if (state != TChainRunState::Running) {
        now.State = state;
        now.Reason = reason;
    }
    Message(ChainStateLine(now));
    if (OnStateChanged)
        OnStateChanged(now);
}

QString TChainManager::PortProblem(int32_t AUID, int32_t port) const {
    if (port < 1 || port > 65535)
        return QStringLiteral("Port must be a number from 1 to 65535");
    if (port == FReservedPort)
        return QStringLiteral("Port %1 is the plain SOCKS server's; choose another port").arg(port);
    if (FStore) {
        for (const TStoredChain &chain : FStore->Chains())
            if (chain.UID != AUID && chain.Port == port)
                return QStringLiteral("Port %1 is already chain %2's").arg(port).arg(chain.Name);
    }
    // The chain's own listener holds it already: nothing to try.
    if (const TProxyChain *own = Find(AUID); own && own->Active() && own->Port() == port)
        return {};
    for (TSocket::Family family : {TSocket::Family::IPv4, TSocket::Family::IPv6}) {
        try {
            TSocket probe = TSocket::Listen(family, static_cast<uint16_t>(port), 1);
        } catch (const ESocketError &e) {
            if (e.Code == EADDRINUSE)
                return QStringLiteral("Port %1 is in use by another program").arg(port);
            if (e.Code == EACCES)
                return QStringLiteral("Port %1 needs privileges this program does not have")
                    .arg(port);
            // No IPv6 on this machine, or the like: that family cannot be tried.
        }
    }
    return {};
}

// ---- failed proxies -------------------------------------------------------------

void TChainManager::ProxyDead(int32_t proxyUID, bool probes) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    std::weak_ptr<int> alive = FAlive;
    QMetaObject::invokeMethod(
        app,
        [this, alive, proxyUID, probes] {
            if (alive.lock())
                MarkTimedOut(proxyUID, probes);
        },
        Qt::QueuedConnection);
}

void TChainManager::MarkTimedOut(int32_t proxyUID, bool probes) {
    if (!FStore)
        return;
    std::optional<TProxData> proxy = FStore->FindProxy(proxyUID);
    if (!proxy)
        return;
    proxy->FSpeed = 0;
    try {
        FStore->UpdateProxyStatus(*proxy, TProxyStatus::psUnavailable);
    } catch (const std::exception &e) {
        Message(QString::fromUtf8(e.what()));
    }
    if (probes)
        Message(QStringLiteral("Proxy %1:%2 did not answer %3 probes in a row: TIME OUT")
                    .arg(proxy->FIPAddress)
                    .arg(proxy->FPort)
                    .arg(TProxyProber::DeadAfter));
    else
        Message(QStringLiteral("Proxy %1:%2 failed %3 connections in a row: TIME OUT")
                    .arg(proxy->FIPAddress)
                    .arg(proxy->FPort)
                    .arg(TProxyFailures::Limit));
    if (OnProxyStatusChanged)
        OnProxyStatusChanged(proxyUID);
}
