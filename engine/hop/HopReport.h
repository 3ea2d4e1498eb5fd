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

// A hop of a chain: the connector `TConnector` reporting every handshake,
// successful or not (this connector as sender), with the context ID of the
// client connection it serves.
template <class TConnector> class TReportedHop : public TConnector {
public:
    // Raised after each handshake: status 0 on success; on failure 8738, and
    // then the handshake's error goes on.
    TOnProxyConnect OnConnect;
    int32_t FContextID = 0;

    void Handshake(TSocket &socket, const std::string &host, uint16_t port) override {
        RunReportedHandshake(this, OnConnect, FContextID, host, port,
                             [&] { TConnector::Handshake(socket, host, port); });
    }
};
