#pragma once
// The running chains: one TProxyChain per admitted chain, found by the
// chain's UID, and the live state of every chain of the store. The manager
// passes the chains' activity reports on through OnChainActivity (inside the
// process-wide activity lock) and sends its own and the chains' progress
// messages as plain lines through OnMessage.
//
// The life of a chain, one operation per step, each called on the
// user-interface thread:
//   Add         admits it: the object is made from the store and listed,
//               switched off; refused (not listed) unless its proxies work.
//   StartChain  switches it on: from the store (admitted anew first) or,
//               TChainSource::Admitted, the listed object as it is; a
//               refusal or failure drops the object and records why.
//   StopChain   switches it off and drops the object (TChainStop::Drop), or
//               keeps it listed (TChainStop::KeepListed).
//   RestartChain = StopChain, then StartChain from the store.
//   StartAll / StopAll  the same steps over every chain; Remove drops an
//               admitted chain without a state of its own.
// Every change of a chain's state is one line (ChainStateLine) and one
// OnStateChanged call.
//
// FListLock guards the list of chain objects (FChainList): the
// user-interface thread, its only writer, holds it while the list changes;
// other threads (the hand-off's HandConnection, a chain test) take a share
// of a chain (std::shared_ptr) under it and work on that share, so a stop
// meanwhile only drops the list's share and the object lives on until
// theirs goes. The forwarders of the chains' reports run on connection
// threads.

#include "engine/chain/ChainState.h"
#include "engine/chain/ProxyChain.h"

#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class TdmProxyData;
class TContextIDRegistry;

// Which object a start switches on: the chain as the store has it now, or
// the one Add made (or a stop kept listed).
enum class TChainSource : uint8_t { Store, Admitted };
// What a stop does with the chain's object.
enum class TChainStop : uint8_t { Drop, KeepListed };

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

    // ---- the life of a chain (user-interface thread) ----
    // Admits the chain: its object made from the store, listed and switched
    // off. Index of the new chain in the list, or -1 (already there, or not
    // every proxy works: "chain on port <n> not started (some proxy items not
    // working)", and the chain's state says how many do).
    int Add(int32_t AUID);
    // Drops an admitted chain (stopped without a word); "error get
    // proxychain" when there is none.
    void Remove(int32_t AUID);

    // True when the chain runs. Every start takes the settings' local-only
    // rule, session time-out and time-out as they are now. A start that
    // fails (its port is 9999, another running chain's or taken; a rotating
    // chain has too few proxies with status "OK") drops the chain object and
    // records why in the chain's state.
    //   Store:    the chain as the store has it now (a listed object that
    //             is switched off is dropped and the chain admitted anew);
    //             a refusal or failure returns false, a UID the store lacks
    //             throws "chain record not found".
    //   Admitted: the listed object as it is; a refusal or failure
    //             propagates (EChainRefused, ESocketError), and "error get
    //             ProxyChain() " when the chain was never admitted.
    bool StartChain(int32_t AUID, TChainSource from = TChainSource::Store);
    // True when the chain ran. Drop: the object goes and the chain's state
    // becomes stopped, whether it ran or not. KeepListed: a chain that ran
    // is switched off (its state stopped) and its object stays listed.
    bool StopChain(int32_t AUID, TChainStop how = TChainStop::Drop);
    // Stops the chain if it runs, then starts it as the store has it now.
    bool RestartChain(int32_t AUID);
    // Store: every chain of the store that does not run, each admitted and
    // started in turn ("Start All"). Admitted: every listed chain, then
    // "Services started" (the services' start, after an Add of each chain).
    // A chain that fails does not keep the others from starting.
    void StartAll(TChainSource from = TChainSource::Store);
    // Every running chain stopped (last listed first), then every object
    // dropped.
    void StopAll();
    // True from a StartAll to the next StopAll (the services are on).
    bool Active() const { return FActive; }
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
    // The local-only rule now, for the running chains' new clients; each
    // listens anew on loopback only or on every interface. A chain that
    // cannot have its port so says why in a line and listens as before.
    void ApplyLocalOnly(bool localOnly);
    // Clients each chain serves at once: running chains from their next
    // client on, the others when they start.
    void SetMaxClients(size_t value);
    // ms between the probes of a proxy a rotating chain set aside, the last
    // one repeating (empty: no probes); for chains that start from now on.
    void SetProbeIntervals(std::vector<int> intervalsMs) {
        FProbeIntervalsMs = std::move(intervalsMs);
    }

    // User-interface thread only: the listed object, valid until the next
    // operation of this manager (a stop drops it). Other threads take a
    // Share.
    TProxyChain *Find(int32_t AUID) const;
    // From any thread: the connection of a launched program whose
    // destination is known, served by the running chain on `port` (see
    // TIdSocksServer::ServeHanded). False, and the socket closed, when no
    // chain runs there.
    bool HandConnection(uint16_t port, TSocket client, const std::string &host,
                        uint16_t destinationPort);
    // A copy of the list (shares of every listed object), from any thread.
    std::vector<std::shared_ptr<TProxyChain>> Chains() const;
    // A share of the chain object (null when there is none), from any
    // thread, for work that must outlive a stop of the chain meanwhile (a
    // test of the chain, a handed connection): the object goes when the last
    // share does.
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
    // A proxy of a rotating chain failed three set-ups or three probes in a
    // row and its status is now "TIME OUT" in the store (user-interface
    // thread).
    std::function<void(int32_t proxyUID)> OnProxyStatusChanged;

private:
    void Message(const QString &line) const;
    // The start of a listed chain (StartChain's Admitted).
    bool SwitchOn(int32_t AUID);
    // The UIDs of the listed chains, in list order.
    std::vector<int32_t> ListedUIDs() const;
    // Whether the chain's proxies allow a start, and why not.
    bool Admissible(int32_t AUID, QString &reason) const;
    void SetState(int32_t AUID, TChainRunState state, const QString &reason = {});
    // Unlists the chain's object and halts it; no state is set.
    void Drop(int32_t AUID);
    // From a connection thread: marks the proxy "TIME OUT" on the
    // user-interface thread.
    void ProxyDead(int32_t proxyUID, bool probes);
    void MarkTimedOut(int32_t proxyUID, bool probes);
    // Name and port of a chain as stored (no items read).
    bool StoredChain(int32_t AUID, QString &name, int32_t &port, bool &rotating) const;

    TdmProxyData *FStore = nullptr;
    std::vector<std::shared_ptr<TProxyChain>> FChainList; // guarded by FListLock
    // Written by StartAll and StopAll (user-interface thread), read from any.
    std::atomic<bool> FActive{false};
    // Serialises every activity report of every chain; also guards the handlers.
    std::mutex FActivityLock;
    // Guards FChainList: held while it changes (user-interface thread) and
    // while a share of a chain is taken from it (any thread); never held
    // while a chain starts, stops or serves.
    mutable std::mutex FListLock;
    TOnChainActivity FOnChainAct;
    TOnConnectionEnd FOnConnEnd;
    std::shared_ptr<TContextIDRegistry> FContextIDs;
    std::shared_ptr<TProxyFailures> FFailures;
    struct TStatus {
        TChainRunState State = TChainRunState::Stopped;
        QString Reason;
    };
    std::map<int32_t, TStatus> FStatus; // the last state set of each chain (user-interface thread)
    uint16_t FReservedPort = 9999;
    size_t FMaxClients = TConnectionThreads::DefaultMaxClients;
    std::vector<int> FProbeIntervalsMs = TProxyProber::DefaultIntervalsMs();
    std::shared_ptr<int> FAlive; // work posted to the user-interface thread checks it
};
