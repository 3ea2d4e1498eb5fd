#pragma once
// Encoders of everything a SOCKS server sends: the SOCKS 5 greeting answer and
// the SOCKS 4 and SOCKS 5 replies. No I/O.

#include "engine/wire/IPVersion.h"

#include <cstdint>
#include <string>

class TSocksReply {
public:
    // SOCKS 4 reply codes.
    static constexpr uint8_t S4Granted = 90;
    static constexpr uint8_t S4Rejected = 91;
    static constexpr uint8_t S4IdentFailed = 93;
    // SOCKS 5 reply codes.
    static constexpr uint8_t S5Succeeded = 0;
    static constexpr uint8_t S5GeneralFailure = 1;
    static constexpr uint8_t S5NotAllowed = 2;
    static constexpr uint8_t S5HostUnreachable = 4;
    static constexpr uint8_t S5CommandNotSupported = 7;
    static constexpr uint8_t S5AddressTypeNotSupported = 8;

    // 5, 0: no authentication, whatever the client offered.
    static std::string Socks5NoAuthentication();
    // 0, code, port (2), IPv4 address (4). An address that is not dotted IPv4
    // (empty, or IPv6) is written as zeros.
    static std::string Socks4(uint8_t code, const std::string &address = {}, uint16_t port = 0);
    // 5, code, 0, type, address, port: type 1 with 4 address bytes for
    // Id_IPv4, type 4 with 16 bytes for Id_IPv6. An address that cannot be
    // written in that version is written as zeros.
    static std::string Socks5(uint8_t code, TIdIPVersion version, const std::string &address = {},
                              uint16_t port = 0);
    // The reply of the client's protocol: version 4 takes code4, 5 code5.
    static std::string ForVersion(uint8_t socksVersion, uint8_t code4, uint8_t code5,
                                  TIdIPVersion version, const std::string &address = {},
                                  uint16_t port = 0);
};
