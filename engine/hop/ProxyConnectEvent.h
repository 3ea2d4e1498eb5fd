#pragma once
// The report a hop connector raises after each of its handshakes, and that the
// per-connection holder and the local SOCKS server pass on.

#include <QString>
#include <functional>

// Status of a hop report: the handshake succeeded or failed.
constexpr int HopConnectSucceeded = 0;
constexpr int HopConnectFailed = 8738; // 0x2222

// sender: the object raising the report (the connector, or whoever forwards it);
// fromHost/fromPort: the proxy that was asked; host/port: what it was asked to
// reach; status: HopConnectSucceeded or HopConnectFailed; contextId: the client
// connection the hop serves.
using TOnProxyConnect =
    std::function<void(void *sender, const QString &fromHost, int fromPort, const QString &host,
                       int port, int status, int contextId)>;
