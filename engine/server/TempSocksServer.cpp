#include "engine/server/TempSocksServer.h"

#include <cerrno>

TTempSocksServer::TTempSocksServer(uint16_t port) {
    DefaultPort = port;
    Threads.ListenBacklog = DefaultListenBacklog;
    ConnectTimeoutMs = 120000;
    // Safe until told otherwise: loopback clients only, and an outside
    // client, once allowed, never reaches this machine's own addresses.
    Threads.LoopbackOnly = true;
    SetLocalOnly(true);
    ShieldOwnAddresses = true;
}

TTempSocksServer::~TTempSocksServer() {
    Stop();
}

void TTempSocksServer::Start() {
    try {
        TIdSocksServer::Start();
    } catch (const ESocketError &e) {
        if (e.Code == EADDRINUSE)
            throw ESocketError("Could not bind socket. Address and port are already in use.",
                               e.Code);
        throw;
    }
}
