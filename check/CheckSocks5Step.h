#pragma once
// The SOCKS 5 handshake of a check, the way a chain's hop makes it: a greeting
// offering no authentication, then CONNECT to the test page's host and port.

#include "check/CheckStep.h"
#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"

class TCheckSocks5Step final : public TCheckStep {
public:
    TCheckSocks5Step(std::string host, uint16_t port);

    std::string Next() override;
    size_t BytesNeeded() const override;
    TState Feed(const uint8_t *data, size_t size) override;

private:
    std::string FHost;
    uint16_t FPort;
    int FSent = 0; // messages sent: the greeting, then the CONNECT
    TSocks5MethodReply FMethod;
    TSocks5Reply FConnect;
};
