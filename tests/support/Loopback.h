#pragma once
// Plain TCP on 127.0.0.1 for the tests: a free port, waiting until a port
// accepts, client connections with bounded waits, and a SOCKS 5 CONNECT
// through a server there.

#include "platform/Socket.h"
#include "tests/support/SocksClient.h"

#include <cstdint>

namespace VelmoraTest {

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();
// True once a TCP connection to 127.0.0.1:port succeeds, false after timeoutMs.
bool WaitAccepting(uint16_t port, int timeoutMs);
// True when a TCP connection to 127.0.0.1:port is accepted now.
bool Accepting(uint16_t port);
// A blocking TCP connection to 127.0.0.1:port with 5 s send and receive
// time-outs; -1 when it is refused.
int ConnectLoopback(uint16_t port);

// A SOCKS 5 CONNECT to 127.0.0.1:destPort through 127.0.0.1:port; the open
// socket on success (reply 0), -1 otherwise.
int Socks5Connect(uint16_t port, uint16_t destPort);
// The same through the SOCKS server `s` is connected to; returns the reply
// code (-1 when the stream broke off). The socket stays open for the tunnel.
int Socks5Connect(TSocket &s, uint16_t destPort);

} // namespace VelmoraTest
