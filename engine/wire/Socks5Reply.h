#pragma once
// Decoder of the SOCKS 5 reply to a CONNECT request (client side). No I/O: a
// decoder as engine/wire/Decoder.h describes it.
//
// The reply is read in two steps: first 5 bytes (version, code, reserved,
// address type and the first byte of the bound address); when the code is a
// failure, or the address type is none of 1, 3 and 4, the reply ends there
// with its error. Otherwise the rest of the bound address and the port follow,
// and their length depends on the address type (for a name, on the fifth
// byte). BytesNeeded() says how many bytes the decoder can take without
// reaching past the reply; everything after it belongs to the tunnel.

#include <cstddef>
#include <cstdint>
#include <string>

class TSocks5Reply {
public:
    static constexpr size_t HeadSize = 5;

    size_t BytesNeeded() const { return FNeeded; }
    size_t Feed(const uint8_t *data, size_t size);
    bool Done() const { return FNeeded == 0; }
    // Empty when the proxy granted the request; otherwise the failure message.
    const std::string &Error() const { return FError; }
    uint8_t Code() const { return FHead[1]; }
    uint8_t AddressType() const { return FHead[3]; }
    // Bytes taken so far (the whole reply once Done()).
    size_t Length() const { return FTotal; }

    // Failure message of a reply code, empty for 0 (succeeded).
    static std::string Message(uint8_t code);

private:
    void HeadRead();

    uint8_t FHead[HeadSize] = {};
    size_t FHeadCount = 0;
    size_t FNeeded = HeadSize;
    size_t FTotal = 0;
    std::string FError;
};
