#include "engine/hop/MySocksProxyInfo.h"

#include "engine/hop/HopReport.h"

void TMySocksProxyInfo::Handshake(TSocket &socket, const std::string &host, uint16_t port) {
    RunReportedHandshake(this, OnConnect, FContextID, host, port,
                         [&] { TIdSocksInfo::Handshake(socket, host, port); });
}
