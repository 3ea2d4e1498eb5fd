#pragma once
// HTTP CONNECT client hop (HTTP/1.0, no credentials).

#include "engine/hop/IdCustomTransparentProxy.h"

class TProxData;

class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
public:
    bool Enabled() const override { return FEnabled; }
    void SetEnabled(bool value) override { FEnabled = value; }
    // Sends "CONNECT host:port HTTP/1.0" and an empty line, then reads the
    // answer (status line, headers, a Content-Length body discarded). Any
    // status but 200 fails with the status line less its first word.
    void Handshake(TSocket &socket, const std::string &host, uint16_t port) override;

private:
    bool FEnabled = false;
};

// Copies a proxy record into an HTTP connector: Host := FIPAddress, Port :=
// low 16 bits of FPort, Enabled := true. The record's type is not examined.
void FillHttpHop(TIdConnectThroughHttpProxy &hop, const TProxData &data);
