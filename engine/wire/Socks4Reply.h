#pragma once
// Decoder of the 8-byte SOCKS 4 reply (client side). No I/O: a decoder as
// engine/wire/Decoder.h describes it; the caller feeds bytes as they arrive
// and reads no more than BytesNeeded(), so nothing that follows the reply
// (tunnel data) is taken.

#include <cstddef>
#include <cstdint>
#include <string>

class TSocks4Reply {
public:
    static constexpr size_t Size = 8;

    // Bytes still needed; 0 once the reply is complete.
    size_t BytesNeeded() const { return Size - FCount; }
    // Takes at most BytesNeeded() bytes of `data`; returns how many it took.
    size_t Feed(const uint8_t *data, size_t size);
    bool Done() const { return FCount == Size; }
    // Empty when the proxy granted the request; otherwise the failure message.
    // Only the code byte (the second) is examined.
    const std::string &Error() const { return FError; }
    uint8_t Code() const { return FBytes[1]; }

    // Failure message of a reply code, empty for 90 (granted).
    static std::string Message(uint8_t code);

private:
    uint8_t FBytes[Size] = {};
    size_t FCount = 0;
    std::string FError;
};
