#include "engine/chain/ChainManager.h"

#include "engine/server/ContextIDRegistry.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"

TChainManager::TChainManager() : FContextIDs(std::make_shared<TContextIDRegistry>()) {}

TChainManager::~TChainManager() {
    // Chains stop (and join their connections) before the lock goes.
    std::lock_guard<std::mutex> guard(FListLock);
    FChainList.clear();
}

void TChainManager::Message(const QString &line) const {
    if (OnMessage)
        OnMessage(line);
}

TProxyChain *TChainManager::Find(int32_t AUID) const {
    for (const auto &chain : FChainList)
        if (chain->UID() == AUID)
            return chain.get();
    return nullptr;
}

TProxyChain *TChainManager::FindOrFail(int32_t AUID, const char *message) const {
    TProxyChain *chain = Find(AUID);
    if (!chain)
        throw EVelmoraError(message);
    return chain;
}

void TChainManager::SetOnChainActivity(TOnChainActivity handler) {
    // The forwarders read the handler inside the activity lock.
    std::lock_guard<std::mutex> guard(FActivityLock);
    FOnChainAct = std::move(handler);
}

int TChainManager::Add(int32_t AUID) {
    if (Find(AUID))
        return -1;
    if (!FStore)
        throw EVelmoraError("chain record not found");
    if (!FStore->VerifyChainedProxyItems(AUID)) {
        TChainedProxyData record;
        FStore->GetChainedProxyRecord(AUID, record);
        Message(QStringLiteral("chain on port %1 not started (some proxy items not working)")
                    .arg(record.FPort));
        return -1;
    }
    auto chain = std::make_unique<TProxyChain>(AUID, *FStore, FActivityLock, FContextIDs);
    // Runs inside the activity lock taken by the chain.
    chain->OnActivity = [this](void *, int32_t chainUID, TActivityType type, const QString &msg,
                               int32_t contextId) {
        if (FOnChainAct)
            FOnChainAct(this, chainUID, type, msg, contextId);
    };
    std::lock_guard<std::mutex> guard(FListLock);
    FChainList.push_back(std::move(chain));
    return static_cast<int>(FChainList.size()) - 1;
}

void TChainManager::Remove(int32_t AUID) {
    for (auto it = FChainList.begin(); it != FChainList.end(); ++it) {
        if ((*it)->UID() == AUID) {
            std::lock_guard<std::mutex> guard(FListLock);
            FChainList.erase(it); // destroying the chain stops its server
            return;
        }
    }
    throw EVelmoraError("error get proxychain");
}

bool TChainManager::StartAService(int32_t AUID, bool ARestart) {
    TChainedProxyData record;
    if (!FStore)
        throw EVelmoraError("chain record not found");
    FStore->GetChainedProxyRecord(AUID, record);
    TProxyChain *chain = FindOrFail(AUID, "error get ProxyChain() ");
    chain->OnProgressMessage = [this](TProxyChain *, const QString &msg) { Message(msg); };
    if (record.ItemsCount() == 0)
        return false;
    if (ARestart && chain->Active())
        chain->SetActive(false);
    chain->SetActive(true);
    return true;
}

void TChainManager::StartAllServices() {
    const bool localOnly = FStore ? FStore->AllowLocalHostOnly() : false;
    const int sessions = FStore ? FStore->SessionsTimeout() : 0;
    // StartAService never changes the list, so indices stay valid.
    for (size_t i = 0; i < FChainList.size(); ++i) {
        TProxyChain *chain = FChainList[i].get();
        chain->FLocalOnly = localOnly;
        chain->FSessionsTimeOut = sessions;
        StartAService(chain->UID(), false);
    }
    FActive = true;
    Message(QStringLiteral("Services started"));
}

bool TChainManager::StopAService(int32_t AUID, bool ADontRemoveFromList) {
    TProxyChain *chain = Find(AUID);
    if (!chain || !chain->Active())
        return false;
    chain->SetActive(false);
    if (!ADontRemoveFromList) {
        for (auto it = FChainList.begin(); it != FChainList.end(); ++it) {
            if (it->get() == chain) {
                std::lock_guard<std::mutex> guard(FListLock);
                FChainList.erase(it);
                break;
            }
        }
    }
    return true;
}

void TChainManager::StopAllServices(bool ADontRemove) {
    for (size_t i = FChainList.size(); i-- > 0;) {
        if (i < FChainList.size())
            StopAService(FChainList[i]->UID(), ADontRemove);
    }
    if (!ADontRemove) {
        std::lock_guard<std::mutex> guard(FListLock);
        FChainList.clear();
    }
    FActive = false;
}

bool TChainManager::HandConnection(uint16_t port, TSocket client, const std::string &host,
                                   uint16_t destinationPort) {
    std::lock_guard<std::mutex> guard(FListLock);
    for (const auto &chain : FChainList)
        if (chain->Port() == port)
            return chain->ServeHanded(std::move(client), host, destinationPort);
    return false;
}
