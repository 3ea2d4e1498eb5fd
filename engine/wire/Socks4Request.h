#pragma once
// Encoder of the SOCKS 4 and 4a CONNECT request (client side). No I/O.

#include <array>
#include <cstdint>
#include <string>

class TSocks4Request {
public:
    // 4, 1, port, the four address bytes, the user ID, 0.
    static std::string Encode(uint16_t port, const std::array<uint8_t, 4> &address,
                              const std::string &userId);
    // SOCKS 4a: address 0.0.0.1, the user ID and 0, then the host name and 0.
    static std::string EncodeWithName(uint16_t port, const std::string &hostName,
                                      const std::string &userId);
};
