#pragma once
// Loopback plumbing shared by the relay, server, chain and program tests:
// connected socket pairs, reading to the end with bounded waits, pattern
// data, the bodies of a small HTTP server and of a receive-then-send server,
// and the thread count of this process. It brings the rest of the support
// along: the loopback server, the bounded wait, the process runner and the
// SOCKS client steps.

#include "platform/Socket.h"
#include "tests/support/Loopback.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Process.h"
#include "tests/support/SocksClient.h"
#include "tests/support/Wait.h"

#include <cstdint>
#include <functional>
#include <string>

namespace VelmoraTest {

// Threads of this process now.
size_t ThreadCount();

// A TCP connection on loopback: both ends.
struct TSocketPair {
    TSocket Near;
    TSocket Far;
};

TSocketPair LoopbackPair();

// A TCP connection to 127.0.0.1:port from a chosen source address (bind
// before connect).
TSocket ConnectFrom(const std::string &source, uint16_t port);

// Reads until end of stream (or `limit` bytes); bounded by timeoutMs per read.
std::string ReadAll(TSocket &s, size_t limit = SIZE_MAX, int timeoutMs = 20000);

inline std::string ReadExactly(TSocket &s, size_t n, int timeoutMs = 10000) {
    return ReadAll(s, n, timeoutMs);
}

// Deterministic bytes of a given length.
std::string Pattern(size_t size, uint32_t seed);
uint64_t Checksum(const std::string &data);

// A minimal HTTP/1.0 server: reads the request head and answers "200 OK"
// with the body that `page` gives for the request's path, then closes its
// side and waits (bounded) for the client to close.
using TPage = std::function<std::string(const std::string &path)>;
TLoopbackServer::TBody HttpPageBody(TPage page);
// The same body for every path.
TLoopbackServer::TBody HttpPageBody(const std::string &body);

// "/big" answers 3 MB of pattern bytes, every other path "hello from the
// loopback server".
std::string BigBody();
TLoopbackServer::TBody HttpBody();

// Receives until end of stream, then sends back `replySize` pattern bytes
// followed by the checksum of what it received (as 16 hex digits), and closes.
TLoopbackServer::TBody ReceiveThenSendBody(size_t replySize);

} // namespace VelmoraTest
