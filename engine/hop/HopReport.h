#pragma once
// Runs one handshake of a reporting hop and raises its report: status 0 after
// success; status 8738 on any failure, after which the failure goes on.

#include "engine/hop/IdCustomTransparentProxy.h"
#include "engine/hop/ProxyConnectEvent.h"

#include <QString>
#include <cstdint>

template <class THandshake>
void RunReportedHandshake(TIdCustomTransparentProxy *hop, const TOnProxyConnect &report,
                          int32_t contextId, const std::string &host, uint16_t port,
                          THandshake &&handshake) {
    const auto raise = [&](int status) {
        if (report)
            report(hop, QString::fromStdString(hop->Host), hop->Port, QString::fromStdString(host),
                   port, status, contextId);
    };
    try {
        handshake();
    } catch (...) {
        raise(HopConnectFailed);
        throw;
    }
    raise(HopConnectSucceeded);
}
