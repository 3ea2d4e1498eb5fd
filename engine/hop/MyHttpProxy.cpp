#include "engine/hop/MyHttpProxy.h"

#include "engine/hop/HopReport.h"

void TMyHttpProxy::Handshake(TSocket &socket, const std::string &host, uint16_t port) {
    RunReportedHandshake(this, OnConnect, FContextID, host, port,
                         [&] { TIdConnectThroughHttpProxy::Handshake(socket, host, port); });
}
