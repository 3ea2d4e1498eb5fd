#pragma once
// The SOCKS 4 handshake of a check: one CONNECT with an empty user ID to the
// test page's IPv4 address (plain SOCKS 4 carries no names, so the pool looks
// the page's host up first).

#include "check/CheckStep.h"
#include "engine/wire/Socks4Reply.h"

#include <array>

class TCheckSocks4Step final : public TCheckOneMessageStep<TSocks4Reply> {
public:
    TCheckSocks4Step(uint16_t port, const std::array<uint8_t, 4> &address)
        : FPort(port), FAddress(address) {}

private:
    std::string Message() const override;

    uint16_t FPort;
    std::array<uint8_t, 4> FAddress;
};
