#pragma once
// The plain SOCKS server of the service module: SOCKS 4 / 4a / 5 on port 9999
// for the whole run, every CONNECT connected straight to its destination
// with a 120000 ms connect time-out, BIND served here. It starts on loopback
// only with the local-only rule on; the owner opens it to every interface
// (SetLoopbackOnly, SetLocalOnly) when the settings say so, and even then a
// client not on loopback may not connect to this machine's own addresses
// (ShieldOwnAddresses).

#include "engine/server/IdSocksServer.h"

class TTempSocksServer : public TIdSocksServer {
public:
    static constexpr uint16_t DefaultListenPort = 9999;

    explicit TTempSocksServer(uint16_t port = DefaultListenPort);
    ~TTempSocksServer() override;

    // As TIdSocksServer::Start; a port held by another program (or another
    // copy of this one) throws "Could not bind socket. Address and port are
    // already in use."
    void Start() override;
};
