#pragma once
// The local SOCKS server of one chain. Every CONNECT draws a context ID,
// asks the owner whether it is allowed (OnBeforeSocksConnect), builds a hop
// holder for the chain, opens the outgoing connection through every hop
// (40000 ms connect time-out to the first), answers the client and relays.
// BIND is refused ("command not supported": 93 / 7, OnBindRefused): served
// here it would show the peer this machine's own address, and a chain
// promises that peers see only its last proxy. Every step is reported
// through the events below, on the connection's thread.
//
// The owner sets DefaultPort, FChainData and the events before Start, and may
// clear the events before Stop.

#include "engine/server/ContextIDRegistry.h"
#include "engine/server/HopSource.h"
#include "engine/server/IdSocksServer.h"

#include <QString>
#include <memory>
#include <vector>

class TChainedProxyData;

class TLocalSOCKSServer : public TIdSocksServer {
public:
    static constexpr int ChainConnectTimeoutMs = 40000;

    TLocalSOCKSServer();
    ~TLocalSOCKSServer() override;

    // The chain every connection walks; not owned, read-only here, read by all
    // connection threads at once. Null or a chain without items: connections
    // go straight to their destination.
    const TChainedProxyData *FChainData = nullptr;
    // Where each connection takes its hops instead (a rotating chain, or a
    // fixed one that names the hop that failed); when set, FChainData is not
    // read. Set before Start.
    std::shared_ptr<THopSource> FHopSource;

    // Where context IDs are drawn; by default one registry per server. Give
    // every server of the process the same registry to keep IDs unique across
    // chains. Set before Start.
    void SetContextIDRegistry(std::shared_ptr<TContextIDRegistry> registry);

    // Every hop report of every connection, with the server as sender.
    TSafeEvent<void(void *sender, const QString &fromHost, int fromPort, const QString &host,
                    int port, int status, int contextId)>
        OnProxyProgress;
    // A connection that was given a hop holder has ended, with the bytes its
    // tunnel carried both ways (TIdSocksServerContext::FBytesMoved).
    TSafeEvent<void(int32_t contextId, uint64_t bytes)> OnConnDisconnected;
    // The outgoing connection of a client is about to be opened.
    TSafeEvent<void(int32_t contextId)> OnConnectLocalProxy;
    // A set-up failed at a hop (position from 1, its address, the error);
    // `replacement` is the hop tried once more in its place, empty when the
    // connection fails. Raised only with a hop source.
    TSafeEvent<void(int32_t contextId, int position, const QString &hop, const QString &error,
                    const QString &replacement)>
        OnHopFailed;
    // A set-up went through every hop: the client's port (to find a given
    // client's connection), the hops, and ms from the start of the TCP
    // connect to the end of each hop's handshake, in hop order.
    TSafeEvent<void(int32_t contextId, uint16_t clientPort, const TChainedProxyData &hops,
                    const std::vector<double> &hopMs)>
        OnSetupDone;
    // A BIND request, before its refusal.
    TSafeEvent<void(TIdSocksServerContext &context)> OnBindRefused;

protected:
    void CommandConnect(TIdSocksServerContext &context, const std::string &host,
                        uint16_t port) override;
    void CommandBind(TIdSocksServerContext &context, const std::string &host,
                     uint16_t port) override;

private:
    std::shared_ptr<TContextIDRegistry> FContextIDs;
};
