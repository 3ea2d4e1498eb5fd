#pragma once
// One chain at run time: a snapshot of the chain's record taken when the
// object is made, the chain's local SOCKS server, the local-only rule, and
// the chain's log output. Progress messages are plain lines about the chain;
// activity reports are lines about one client connection, tagged with the
// chain's UID and the connection's context ID, all raised under one
// process-wide lock shared by every chain.
//
// Creation (it reads the store) and SetActive run on the user-interface
// thread; Active, Port, ServeHanded and the set-up watch may be called from
// any thread that holds a share of the object (TChainManager::Share), and
// the object goes on the thread that drops the last share, after the
// manager has halted it. Every handler runs on a connection thread.

#include "engine/chain/ChainHops.h"
#include "engine/server/LocalSOCKSServer.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class TdmProxyData;
class TIdSocksServerContext;

enum class TActivityType : uint8_t {
    atConnectRequest = 0,      // a CONNECT request that passed the local-only rule
    atDisconnected = 1,        // the end of a connection that was given a hop nest
    atConnectLocalProxy = 2,   // the outgoing connection is about to be opened
    atConnectChainedProxy = 3, // one hop handshake succeeded
    atConnectFailed = 4,       // one hop handshake failed
    atConnectRejected = 5,     // not raised by chains: a rejection is a progress message
    atHopFailed = 6,           // a set-up failed at a named hop (and what replaced it)
};

class TProxyChain;

using TOnProgressMessage = std::function<void(TProxyChain *sender, const QString &AMsg)>;
using TOnChainActivity =
    std::function<void(void *sender, int32_t AChainUID, TActivityType AActivityType,
                       const QString &AActivityMsg, int32_t AContextID)>;
// The end of a client connection with the bytes its tunnel carried, both
// ways together (the client's payload and the destination's, no SOCKS or hop
// handshake); 0 when it never relayed.
using TOnConnectionEnd =
    std::function<void(void *sender, int32_t AChainUID, int32_t AContextID, uint64_t ABytes)>;

class TProxyChain {
public:
    // Reads the chain's record and proxies from the store ("chain record not
    // found" for an unknown UID), and for a rotating chain its settings and
    // the proxies to draw from (every proxy whose status is "OK").
    // `activityLock` serialises the activity reports of every chain;
    // `contextIDs` keeps context IDs unique across chains (null: the
    // server's own); `failures` counts failed set-ups of each proxy across
    // chains (null: the chain's own).
    TProxyChain(int32_t AChainUID, TdmProxyData &store, std::mutex &activityLock,
                std::shared_ptr<TContextIDRegistry> contextIDs = nullptr,
                std::shared_ptr<TProxyFailures> failures = nullptr);
    ~TProxyChain();
    TProxyChain(const TProxyChain &) = delete;
    TProxyChain &operator=(const TProxyChain &) = delete;

    bool Active() const { return FActive; }
    // Stops the server and its rotation without a word (handlers detached,
    // connections ended unreported); what the destructor does. The chain
    // can be switched on again.
    void Halt();
    // Switching on makes a rotating chain's first draw (too few proxies
    // with status "OK" throws EChainRefused, FActive stays false), then
    // starts the server ("Listening on port "); a port in use throws with
    // FActive already true. Switching off detaches the handlers, stops the
    // server (its connections end unreported) and sends "Stopped listening
    // on port ".
    void SetActive(bool Value);
    int32_t UID() const { return FUID; }
    const TChainedProxyData &ChainData() const { return *FChainData; }
    // The port the server listens on, or the chain's port when stopped.
    uint16_t Port() const;
    // From any thread: serves a launched program's connection whose
    // destination is known, as a CONNECT of this chain (reported the same
    // way; the local-only rule does not apply: it came through a socket only
    // this user can reach). False, and the socket closed, when stopped.
    bool ServeHanded(TSocket client, const std::string &host, uint16_t port);

    // "Auto-Creating Chain": hops drawn at random behind the hand-added ones.
    bool Rotating() const { return FRotation.AutoCreate; }
    const TRotationSettings &Rotation() const { return FRotation; }
    // The hops new connections take now (the chain's own when stopped).
    std::shared_ptr<const TChainedProxyData> CurrentHops() const;
    // Client connections open now.
    size_t ConnectionCount() const;
    // The local-only rule for the next clients of a running chain, and where
    // it listens: a running chain listens anew at once on loopback only, or
    // on every interface (the error of a port it cannot have so is thrown,
    // and it listens as before). A chain on a private port stays on loopback.
    void SetServerLocalOnly(bool value);
    // The cap on clients at once, from the next client on.
    void SetMaxClients(size_t value);

    // The set-up of the next connection from the client port `clientPort`
    // is kept for TakeSetup: its hops and the ms at which each hop's
    // handshake ended.
    struct TSetup {
        QString Hops;                 // HopsText of the hops walked
        std::vector<QString> HopList; // each hop's "address:port", in order
        std::vector<double> HopMs;
    };
    void WatchSetup(uint16_t clientPort);
    // The set-up kept for `clientPort` (nothing when it has not ended yet or
    // failed); stops watching that port either way.
    std::optional<TSetup> TakeSetup(uint16_t clientPort);

    // What the chain's state says in place of "running" (empty: nothing):
    // "waiting for the network", "no working proxies (2 set aside)".
    QString Trouble() const;
    // A fixed chain's hop that failed last and why, "hop 2 (10.0.0.2:1080):
    // Connection refused"; empty when none has failed since the start.
    QString LastFailure() const;

    // From a connection thread or the prober's: a proxy of this rotating
    // chain failed TProxyFailures::Limit set-ups (`probes` false) or
    // TProxyProber::DeadAfter probes (`probes` true) in a row.
    std::function<void(int32_t proxyUID, bool probes)> OnProxyDead;
    TOnProgressMessage OnProgressMessage;
    TOnChainActivity OnActivity;
    // Raised under the same lock right before the connection's atDisconnected
    // report, so a receiver has the totals when the end comes. Optional.
    TOnConnectionEnd OnConnectionEnd;

    bool FLocalOnly = true;
    // Seconds of silence that end a relay; 0: never. Read when switched on.
    int FSessionsTimeOut = 0;
    // ms that one attempt at a set-up through a rotating chain may take
    // before the hop under way counts as failed. Read when switched on.
    int FAttemptTimeoutMs = 10000;
    // ms between the probes of a proxy a rotating chain set aside (empty:
    // none). Read when switched on.
    std::vector<int> FProbeIntervalsMs = TProxyProber::DefaultIntervalsMs();
    // Clients served at once. Read when switched on.
    size_t FMaxClients = TConnectionThreads::DefaultMaxClients;
    // Listen on a free loopback port chosen by the system instead of the
    // chain's own port (a chain run for one launched program). Read when
    // switched on.
    bool FPrivatePort = false;

private:
    void AttachHandlers();
    void DetachHandlers();
    void Activity(TActivityType type, int32_t contextId, const QString &text);
    // OnConnectionEnd, then the atDisconnected report, in one hold of the lock.
    void ConnectionEnd(int32_t contextId, uint64_t bytes);
    void Progress(const QString &text);

    void SetupDone(uint16_t clientPort, const TChainedProxyData &hops,
                   const std::vector<double> &hopMs);

    int32_t FUID;
    // Written by SetActive and Halt (the user-interface thread, or the
    // destructor on whichever thread drops the last share); read from any
    // thread (the hand-off looks for a running chain on a port).
    std::atomic<bool> FActive{false};
    std::mutex &FActivityLock;
    std::shared_ptr<TChainedProxyData> FChainData;
    TRotationSettings FRotation;
    std::vector<TProxData> FPool; // a rotating chain's proxies to draw from
    std::shared_ptr<TProxyFailures> FFailures;
    std::shared_ptr<THopSource> FHops; // while switched on
    std::unique_ptr<TLocalSOCKSServer> FLocalSocks;

    mutable std::mutex FFailureLock;
    QString FLastFailure; // guarded by FFailureLock

    std::mutex FWatchLock;
    std::map<uint16_t, std::optional<TSetup>> FWatched; // client port: its set-up once done
};

// The line for clients that lost their place on a full server at `port`.
QString TurnedAwayLine(uint16_t port, size_t closed, size_t dropped, size_t maxClients);

// The line for a server (`server`: "Port 9999", say) that could not listen
// anew on loopback only or on every interface, and listens as before.
QString ListenScopeFailedLine(const QString &server, bool loopbackOnly, const std::exception &e);

// A chain's rotation columns as stored ("chain record not found" for an
// unknown UID); a missing NoOfProxies counts as 3.
TRotationSettings ReadRotationSettings(TdmProxyData &store, int32_t chainUID);

// A chain that cannot start for a reason of its own (not its port).
class EChainRefused : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};
