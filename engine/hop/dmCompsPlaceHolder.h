#pragma once
// The hop holder of one client connection: it owns one connector per proxy of
// the chain, nested so that opening the connection walks the chain from its
// first proxy to the destination, and passes their reports on, stamped with
// the connection's context ID. It also makes single plain connectors for a
// proxy check's download.
//
// Used by one thread (the connection's); only Abort() may be called from
// another. Many holders are built at once from one shared chain record, which
// the build only reads.

#include "engine/hop/HopWalk.h"
#include "engine/hop/IdConnectThroughHttpProxy.h"
#include "engine/hop/IdSocksInfo.h"
#include "engine/hop/ProxyConnectEvent.h"
#include "platform/Socket.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class TChainedProxyData;

class TdmCompsPlaceHolder {
public:
    TdmCompsPlaceHolder();
    ~TdmCompsPlaceHolder();
    TdmCompsPlaceHolder(const TdmCompsPlaceHolder &) = delete;
    TdmCompsPlaceHolder &operator=(const TdmCompsPlaceHolder &) = delete;

    // Builds the hop nest of the chain for the connection `contextId`: one
    // reporting connector per item (HTTP for type 4, SOCKS otherwise), made
    // from the last item back to the first, each the previous one's next hop.
    // The first item's connector becomes FProxyConnection and the transparent
    // proxy. An item of unsupported type throws "proxy type not supported";
    // the connectors made so far stay here and no transparent proxy is set.
    // The record is read by position; its cursor is left alone.
    void CrateProxyChainComps(const TChainedProxyData &chainData, int32_t contextId);

    // A new plain SOCKS connector owned by the holder (kept in FSocksInfo).
    TIdSocksInfo *CreateSocksInfo();
    // A new plain HTTP connector owned by the holder, disabled until filled
    // (kept in FHttpProxy).
    TIdConnectThroughHttpProxy *CreateHTTPProxy();
    // Status handler of SocksInfoComp: no action.
    void SocksInfoCompStatus(void *sender, int status, const QString &statusText) {}

    // The first hop of the outgoing connection (null: connect directly).
    TIdCustomTransparentProxy *TransparentProxy() const { return FTransparentProxy; }

    // Opens the outgoing connection by a THopWalk from the transparent proxy:
    // TCP to the first hop (or straight to host:port when there is none) with
    // the connect time-out in ms (0: the platform's own), then every hop
    // handshake, the last naming host:port. Throws EVelmoraError /
    // ESocketError with the hop's or socket's message.
    // attemptTimeoutMs bounds the whole opening, TCP connect and every
    // handshake together (0: no such bound; see THopWalk::AttemptTimeoutMs).
    TSocket Connect(const std::string &host, uint16_t port, int connectTimeoutMs,
                    int attemptTimeoutMs = 0);
    // From any thread: ends a Connect under way, in its TCP connect or its hop
    // handshakes (shuts its socket down), and makes a later Connect fail at once.
    void Abort();
    // After a Connect that failed: the position in the chain of the hop to
    // blame, or -1 (see THopWalk::FailedHop).
    int FailedHop() const { return FWalk.FailedHop(); }
    // Abort() has been called.
    bool Aborted() const { return FWalk.Aborted(); }

    // Every hop report of the nest, with the holder as sender.
    TOnProxyConnect OnProxyActivity;

    TIdConnectThroughHttpProxy *FHttpProxy = nullptr;
    TIdCustomTransparentProxy *FProxyConnection = nullptr;
    TIdSocksInfo *FSocksInfo = nullptr;
    int32_t FContextID = 0;

    // Made with the holder; they take part in no connection.
    TIdSocksInfo SocksInfoComp;
    TIdConnectThroughHttpProxy ConnThroughHTTPProx;

private:
    void ProxyConnected(const QString &fromHost, int fromPort, const QString &host, int port,
                        int status, int contextId);

    std::vector<std::unique_ptr<TIdCustomTransparentProxy>> FConnectors;
    TIdCustomTransparentProxy *FTransparentProxy = nullptr;
    THopWalk FWalk; // of Connect, ended by Abort
};
