#pragma once
// Encoders of the client's SOCKS 5 messages. No I/O.

#include "engine/wire/HopTarget.h"

#include <cstdint>
#include <string>

class TSocks5Request {
public:
    static constexpr uint8_t MethodNoAuthentication = 0;
    static constexpr uint8_t MethodUsernamePassword = 2;

    // 5, 1, method: one offered method.
    static std::string EncodeGreeting(uint8_t method);
    // 5, 1 (CONNECT), 0, then address type 1 + 4 bytes, 4 + 16 bytes or
    // 3 + length + name, then the port.
    static std::string EncodeConnect(const THopTarget &target, uint16_t port);
    // Username/password sub-negotiation: 1, length, name, length, password.
    // Each of them at most 255 bytes (throws otherwise).
    static std::string EncodeUserPass(const std::string &username, const std::string &password);
};
