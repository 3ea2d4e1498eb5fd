#pragma once
// One chain at run time: a snapshot of the chain's record taken when the
// object is made, the chain's local SOCKS server, the local-only rule, and
// the chain's log output. Progress messages are plain lines about the chain;
// activity reports are lines about one client connection, tagged with the
// chain's UID and the connection's context ID, all raised under one
// process-wide lock shared by every chain.
//
// Create, Active and destruction run on the user-interface thread (Create
// reads the store); every handler runs on a connection thread.

#include "engine/server/LocalSOCKSServer.h"
#include "store/ChainedProxyData.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class TdmProxyData;
class TIdSocksServerContext;

enum class TActivityType : uint8_t {
    atConnectRequest = 0,      // a CONNECT request that passed the local-only rule
    atDisconnected = 1,        // the end of a connection that was given a hop nest
    atConnectLocalProxy = 2,   // the outgoing connection is about to be opened
    atConnectChainedProxy = 3, // one hop handshake succeeded
    atConnectFailed = 4,       // one hop handshake failed
    atConnectRejected = 5,     // not raised by chains: a rejection is a progress message
};

class TProxyChain;

using TOnProgressMessage = std::function<void(TProxyChain *sender, const QString &AMsg)>;
using TOnChainActivity =
    std::function<void(void *sender, int32_t AChainUID, TActivityType AActivityType,
                       const QString &AActivityMsg, int32_t AContextID)>;

class TProxyChain {
public:
    // Reads the chain's record and proxies from the store ("chain record not
    // found" for an unknown UID). `activityLock` serialises the activity
    // reports of every chain; `contextIDs` keeps context IDs unique across
    // chains (null: the server's own).
    TProxyChain(int32_t AChainUID, TdmProxyData &store, std::mutex &activityLock,
                std::shared_ptr<TContextIDRegistry> contextIDs = nullptr);
    ~TProxyChain();
    TProxyChain(const TProxyChain &) = delete;
    TProxyChain &operator=(const TProxyChain &) = delete;

    bool Active() const { return FActive; }
    // Switching on starts the server ("Listening on port "); a port in use
    // throws with FActive already true. Switching off detaches the handlers,
    // stops the server (its connections end unreported) and sends "Stopped
    // listening on port ".
    void SetActive(bool Value);
    int32_t UID() const { return FUID; }
    const TChainedProxyData &ChainData() const { return *FChainData; }
    // The port the server listens on, or the chain's port when stopped.
    uint16_t Port() const;

    TOnProgressMessage OnProgressMessage;
    TOnChainActivity OnActivity;

    bool FLocalOnly = true;
    // Seconds of silence that end a relay; 0: never. Read when switched on.
    int FSessionsTimeOut = 0;
    // Listen on a free loopback port chosen by the system instead of the
    // chain's own port (a chain run for one launched program). Read when
    // switched on.
    bool FPrivatePort = false;

private:
    void AttachHandlers();
    void DetachHandlers();
    void Activity(TActivityType type, int32_t contextId, const QString &text);
    void Progress(const QString &text);

    int32_t FUID;
    bool FActive = false;
    std::mutex &FActivityLock;
    std::unique_ptr<TChainedProxyData> FChainData;
    std::unique_ptr<TLocalSOCKSServer> FLocalSocks;
};
