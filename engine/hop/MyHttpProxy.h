#pragma once
// HTTP hop of a chain: an HTTP CONNECT connector that reports every
// handshake, successful or not, with the context ID of its client connection.

#include "engine/hop/IdConnectThroughHttpProxy.h"
#include "engine/hop/ProxyConnectEvent.h"

#include <cstdint>

class TMyHttpProxy : public TIdConnectThroughHttpProxy {
public:
    // Raised after each handshake (this connector as sender): status 0 on
    // success; on failure 8738, and then the handshake's error goes on.
    TOnProxyConnect OnConnect;
    int32_t FContextID = 0;

    void Handshake(TSocket &socket, const std::string &host, uint16_t port) override;
};
