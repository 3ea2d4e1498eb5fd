#pragma once
// A hop connector: one proxy of a chain walk. It knows its proxy's address,
// the protocol to speak to it (Handshake, in the derived classes) and the
// connector of the next hop, reached through this one. THopWalk
// (engine/hop/HopWalk.h) opens a connection through such a nest.

#include "engine/wire/IPVersion.h"
#include "platform/Socket.h"

#include <cstdint>
#include <string>
#include <vector>

class TIdCustomTransparentProxy {
public:
    TIdCustomTransparentProxy() = default;
    virtual ~TIdCustomTransparentProxy();
    TIdCustomTransparentProxy(const TIdCustomTransparentProxy &) = delete;
    TIdCustomTransparentProxy &operator=(const TIdCustomTransparentProxy &) = delete;

    std::string Host; // dotted IPv4, IPv6 literal or host name of the proxy
    uint16_t Port = 0;
    TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
    std::string Username; // never set by this system
    std::string Password;

    // The connector of the next hop; not owned. When that connector is
    // destroyed this becomes null.
    TIdCustomTransparentProxy *ChainedProxy() const { return FChainedProxy; }
    // Throws EVelmoraError when `next` would make the chain circular (this
    // connector itself, or one whose chain leads back here).
    void SetChainedProxy(TIdCustomTransparentProxy *next);

    // A connector that is not enabled takes no part in a walk.
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool value) = 0;
    // One handshake over `socket` (already connected to this proxy, possibly
    // through earlier hops): asks the proxy to open a tunnel to host:port.
    // Failures throw; the socket is left for its owner to close.
    virtual void Handshake(TSocket &socket, const std::string &host, uint16_t port) = 0;

private:
    TIdCustomTransparentProxy *FChainedProxy = nullptr;
    std::vector<TIdCustomTransparentProxy *> FReferrers; // connectors naming this one as next hop
};
