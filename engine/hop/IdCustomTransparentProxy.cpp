#include "engine/hop/IdCustomTransparentProxy.h"

#include "platform/Error.h"
#include "platform/Resolver.h"

#include <algorithm>

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() {
    SetChainedProxy(nullptr);
    for (TIdCustomTransparentProxy *referrer : FReferrers)
        referrer->FChainedProxy = nullptr;
}

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy *next) {
    if (next == FChainedProxy)
        return;
    for (TIdCustomTransparentProxy *p = next; p != nullptr; p = p->FChainedProxy) {
        if (p == this)
            throw EVelmoraError("Circular proxy chain: a hop cannot lead back to itself.");
    }
    if (FChainedProxy) {
        auto &refs = FChainedProxy->FReferrers;
        refs.erase(std::remove(refs.begin(), refs.end(), this), refs.end());
    }
    FChainedProxy = next;
    if (next)
        next->FReferrers.push_back(this);
}

void TIdCustomTransparentProxy::ConnectHops(TSocket &socket, const std::string &host,
                                            uint16_t port) {
    TIdCustomTransparentProxy *hop = this;
    for (;;) {
        TIdCustomTransparentProxy *next = hop->ChainedProxy();
        if (next == nullptr || !next->Enabled()) {
            hop->Handshake(socket, host, port);
            return;
        }
        hop->Handshake(socket, next->Host, next->Port);
        hop = next;
    }
}

void TIdCustomTransparentProxy::FirstPeer(TIdCustomTransparentProxy *firstHop,
                                          const std::string &host, uint16_t port,
                                          std::string &peerAddress, uint16_t &peerPort) {
    const bool throughHops = firstHop != nullptr && firstHop->Enabled();
    peerAddress = TResolver::ResolveIPv4(throughHops ? firstHop->Host : host);
    peerPort = throughHops ? firstHop->Port : port;
}

TSocket TIdCustomTransparentProxy::OpenConnection(TIdCustomTransparentProxy *firstHop,
                                                  const std::string &host, uint16_t port,
                                                  int connectTimeoutMs) {
    std::string peerAddress;
    uint16_t peerPort = 0;
    FirstPeer(firstHop, host, port, peerAddress, peerPort);
    TSocket socket = TSocket::Connect(peerAddress, peerPort, std::max(connectTimeoutMs, 0));
    if (firstHop != nullptr && firstHop->Enabled())
        firstHop->ConnectHops(socket, host, port);
    return socket;
}
