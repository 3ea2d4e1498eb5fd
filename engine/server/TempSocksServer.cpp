#include "engine/server/TempSocksServer.h"

#include <cerrno>

TTempSocksServer::TTempSocksServer(uint16_t port) {
    DefaultPort = port;
    Threads.ListenBacklog = 15;
    ConnectTimeoutMs = 120000;
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
