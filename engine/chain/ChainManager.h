#pragma once
// The running chains: one TProxyChain per admitted chain, found by the
// chain's UID. A chain is admitted only when all its proxies are known to
// work. The manager passes the chains' activity reports on through
// OnChainActivity (inside the process-wide activity lock) and sends its own
// and the chains' progress messages as plain lines through OnMessage.
//
// Every operation runs on the user-interface thread; the forwarders run on
// connection threads.

#include "engine/chain/ChainState.h"
#include "engine/chain/ProxyChain.h"

#include <QString>
#include <functional>
#include <map>
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
    // working)", and the chain's state says how many do).
    int Add(int32_t AUID);
    // Stops and drops the chain; "error get proxychain" when there is none.
    void Remove(int32_t AUID);
    // True when the chain was switched on; "error get ProxyChain() " for a
    // UID that was never added. Every start takes the settings' local-only
    // rule, session time-out and time-out as they are now. A start that
    // fails (its port is 9999, another running chain's or taken; a rotating
    // chain has too few proxies with status "OK") drops the chain object,
    // records why in the chain's state and propagates.
    bool StartAService(int32_t AUID, bool ARestart);
    // Starts every admitted chain; one that fails does not keep the others
    // from starting. "Services started" at the end.
    void StartAllServices();
    // True when an active chain was switched off.
    bool StopAService(int32_t AUID, bool ADontRemoveFromList);
    void StopAllServices(bool ADontRemove);
    bool Active() const { return FActive; }

    // ---- chains steered one by one (the chain list, the command line) ----
    // Starts the chain as the store has it now, unless it runs already;
    // true when it runs. A refusal or failure is in its state.
    bool StartChain(int32_t AUID);
    // Stops the chain and drops its object; its state becomes stopped.
    void StopChain(int32_t AUID);
    // Stops the chain if it runs, then starts it as the store has it now.
    bool RestartChain(int32_t AUID);
    // Every chain of the store / every chain running.
    void StartAll();
    void StopAll();
    bool AnyRunning() const;

    // The live state of one chain of the store, and of every chain in table
    // order.
    TChainState State(int32_t AUID) const;
    std::vector<TChainState> States() const;
    // Why `port` cannot be chain AUID's (AUID 0: a new chain), or empty:
    // not a number from 1 to 65535, the plain server's port, another
    // chain's port, or in use now by another program.
    QString PortProblem(int32_t AUID, int32_t port) const;
    // The plain server's port, which no chain may take.
    void SetReservedPort(uint16_t port) { FReservedPort = port; }
    // The local-only rule now, for the running chains' new clients.
    void ApplyLocalOnly(bool localOnly);

    TProxyChain *Find(int32_t AUID) const;
    // From any thread: the connection of a launched program whose
    // destination is known, served by the running chain on `port` (see
    // TIdSocksServer::ServeHanded). False, and the socket closed, when no
    // chain runs there.
    bool HandConnection(uint16_t port, TSocket client, const std::string &host,
                        uint16_t destinationPort);
    const std::vector<std::shared_ptr<TProxyChain>> &Chains() const { return FChainList; }
    // A share of the chain object (null when there is none), for work on
    // another thread that must outlive a stop of the chain meanwhile (a
    // test of the chain): the object goes when the last share does.
    std::shared_ptr<TProxyChain> Share(int32_t AUID) const;

    // Every activity report of every chain, with the manager as sender. May be
    // assigned while chains run.
    void SetOnChainActivity(TOnChainActivity handler);
    // The end of every connection of every chain with the bytes it moved,
    // raised right before its atDisconnected report (in the same hold of the
    // activity lock), with the manager as sender. Optional; may be assigned
    // while chains run.
    void SetOnConnectionEnd(TOnConnectionEnd handler);
    // Plain lines; called from the user-interface thread and from connection
    // threads, so the receiver passes them on itself. Every change of a
    // chain's state is one line (ChainStateLine).
    TOnMessage OnMessage;
    // A chain's state changed (user-interface thread).
    std::function<void(const TChainState &state)> OnStateChanged;
    // A proxy of a rotating chain failed three set-ups in a row and its
    // status is now "TIME OUT" in the store (user-interface thread).
    std::function<void(int32_t proxyUID)> OnProxyStatusChanged;

private:
    void Message(const QString &line) const;
    TProxyChain *FindOrFail(int32_t AUID, const char *message) const;
    // Whether the chain's proxies allow a start, and why not.
    bool Admissible(int32_t AUID, QString &reason) const;
    void SetState(int32_t AUID, TChainRunState state, const QString &reason = {});
    void Drop(int32_t AUID);
    // From a connection thread: marks the proxy "TIME OUT" on the
    // user-interface thread.
    void ProxyDead(int32_t proxyUID);
    void MarkTimedOut(int32_t proxyUID);
    // Name and port of a chain as stored (no items read).
    bool StoredChain(int32_t AUID, QString &name, int32_t &port, bool &rotating) const;

    TdmProxyData *FStore = nullptr;
    std::vector<std::shared_ptr<TProxyChain>> FChainList;
    bool FActive = false;
    // Serialises every activity report of every chain; also guards the handlers.
    std::mutex FActivityLock;
    // Held while FChainList changes (on the user-interface thread) and while
    // HandConnection reads it (on another).
    std::mutex FListLock;
    TOnChainActivity FOnChainAct;
    TOnConnectionEnd FOnConnEnd;
    std::shared_ptr<TContextIDRegistry> FContextIDs;
    std::shared_ptr<TProxyFailures> FFailures;
    struct TStatus {
        TChainRunState State = TChainRunState::Stopped;
        QString Reason;
    };
    std::map<int32_t, TStatus> FStatus; // the last state set of each chain
    uint16_t FReservedPort = 9999;
    std::shared_ptr<int> FAlive; // work posted to the user-interface thread checks it
};
