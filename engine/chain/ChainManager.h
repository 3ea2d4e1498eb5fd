#pragma once
// The running chains: one TProxyChain per admitted chain, found by the
// chain's UID. A chain is admitted only when all its proxies are known to
// work. The manager passes the chains' activity reports on through
// OnChainActivity (inside the process-wide activity lock) and sends its own
// and the chains' progress messages as plain lines through OnMessage.
//
// Every operation runs on the user-interface thread; the forwarders run on
// connection threads.

#include "engine/chain/ProxyChain.h"

#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TdmProxyData;
class TContextIDRegistry;

class TChainManager {
public:
    using TOnMessage = std::function<void(const QString &line)>;

    TChainManager();
    ~TChainManager();
    TChainManager(const TChainManager &) = delete;
    TChainManager &operator=(const TChainManager &) = delete;

    // The store every chain is read from; set before the first Add.
    void SetStore(TdmProxyData *store) { FStore = store; }
    TdmProxyData *Store() const { return FStore; }

    // Index of the new chain in the list, or -1 (already there, or not every
    // proxy works: "chain on port <n> not started (some proxy items not
    // working)").
    int Add(int32_t AUID);
    // Stops and drops the chain; "error get proxychain" when there is none.
    void Remove(int32_t AUID);
    // True when the chain was switched on; "error get ProxyChain() " for a
    // UID that was never added; a port in use propagates.
    bool StartAService(int32_t AUID, bool ARestart);
    void StartAllServices();
    // True when an active chain was switched off.
    bool StopAService(int32_t AUID, bool ADontRemoveFromList);
    void StopAllServices(bool ADontRemove);
    bool Active() const { return FActive; }

    TProxyChain *Find(int32_t AUID) const;
    // From any thread: the connection of a launched program whose
    // destination is known, served by the running chain on `port` (see
    // TIdSocksServer::ServeHanded). False, and the socket closed, when no
    // chain runs there.
    bool HandConnection(uint16_t port, TSocket client, const std::string &host,
                        uint16_t destinationPort);
    const std::vector<std::unique_ptr<TProxyChain>> &Chains() const { return FChainList; }

    // Every activity report of every chain, with the manager as sender. May be
    // assigned while chains run.
    void SetOnChainActivity(TOnChainActivity handler);
    // Plain lines; called from the user-interface thread and from connection
    // threads, so the receiver passes them on itself.
    TOnMessage OnMessage;

private:
    void Message(const QString &line) const;
    TProxyChain *FindOrFail(int32_t AUID, const char *message) const;

    TdmProxyData *FStore = nullptr;
    std::vector<std::unique_ptr<TProxyChain>> FChainList;
    bool FActive = false;
    // Serialises every activity report of every chain; also guards the handler.
    std::mutex FActivityLock;
    // Held while FChainList changes (on the user-interface thread) and while
    // HandConnection reads it (on another).
    std::mutex FListLock;
    TOnChainActivity FOnChainAct;
    std::shared_ptr<TContextIDRegistry> FContextIDs;
};
