#pragma once
// A hop connector: one proxy of a chain walk. It knows its proxy's address,
// the protocol to speak to it (Handshake, in the derived classes) and the
// connector of the next hop, reached through this one.

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

    // The walk: while the next hop is set and enabled, ask this proxy for the
    // next one and go on from there; the last proxy is asked for host:port.
    void ConnectHops(TSocket &socket, const std::string &host, uint16_t port);

    // Opens the outgoing connection of a client: a TCP connection to the first
    // hop (or to host:port itself when firstHop is null or disabled), a name
    // resolved to IPv4 on this machine first, with the connect time-out in ms
    // (0: the platform's own; on expiry "Connect timed out."), then the walk
    // to host:port. Any failure throws; the socket then closes with the stack.
    static TSocket OpenConnection(TIdCustomTransparentProxy *firstHop, const std::string &host,
                                  uint16_t port, int connectTimeoutMs);
    // Where the TCP connection of OpenConnection goes: the first hop when it
    // is set and enabled, host:port otherwise; a name is resolved to IPv4.
    static void FirstPeer(TIdCustomTransparentProxy *firstHop, const std::string &host,
                          uint16_t port, std::string &peerAddress, uint16_t &peerPort);

private:
    TIdCustomTransparentProxy *FChainedProxy = nullptr;
    std::vector<TIdCustomTransparentProxy *> FReferrers; // connectors naming this one as next hop
};
