#pragma once
// The HTTP handshake of a check: one CONNECT to the test page's host and port.

#include "check/CheckStep.h"
#include "engine/wire/HttpConnectReply.h"

class TCheckHttpConnectStep final : public TCheckOneMessageStep<THttpConnectReply> {
public:
    TCheckHttpConnectStep(std::string host, uint16_t port) : FHost(std::move(host)), FPort(port) {}

private:
    std::string Message() const override;

    std::string FHost;
    uint16_t FPort;
};
