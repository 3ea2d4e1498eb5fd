#pragma once
// Encoder of the HTTP CONNECT request a hop sends to an HTTP proxy. No I/O.

#include "engine/wire/HopTarget.h"

#include <cstdint>
#include <string>

class THttpConnectRequest {
public:
    // "CONNECT host:port HTTP/1.0", CR LF, then an empty line. A name goes as
    // it is (the proxy resolves it); an IPv6 literal goes in brackets.
    static std::string Encode(const THopTarget &target, uint16_t port);
};
