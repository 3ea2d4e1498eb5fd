#pragma once
// Decoder of the SOCKS 5 two-byte answers: the method selection after the
// greeting and the status after the username/password sub-negotiation. The
// first byte (a version) is ignored; the second must equal the expected value.
// No I/O: a decoder as engine/wire/Decoder.h describes it.

#include <cstddef>
#include <cstdint>
#include <string>

class TSocks5MethodReply {
public:
    static constexpr size_t Size = 2;

    // expected: the value the second byte must hold; failure: the message when
    // it does not.
    TSocks5MethodReply(uint8_t expected, std::string failure)
        : FExpected(expected), FFailure(std::move(failure)) {}

    size_t BytesNeeded() const { return Size - FCount; }
    size_t Feed(const uint8_t *data, size_t size);
    bool Done() const { return FCount == Size; }
    const std::string &Error() const { return FError; }
    uint8_t Value() const { return FBytes[1]; }

private:
    uint8_t FExpected;
    std::string FFailure;
    uint8_t FBytes[Size] = {};
    size_t FCount = 0;
    std::string FError;
};
