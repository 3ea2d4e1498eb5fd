#pragma once
// SOCKS client hop: SOCKS 4, SOCKS 4a and SOCKS 5. A target given by name is
// always passed on to the proxy (SOCKS 4a for both SOCKS 4 versions) and
// never looked up on this machine; a SOCKS 4 proxy that cannot take names
// refuses it, with a message that says so.

#include "engine/hop/IdCustomTransparentProxy.h"

class TProxData;

enum class TSocksVersion { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };
enum class TSocksAuthentication { saNoAuthentication = 0, saUsernamePassword = 1 };

class TIdSocksInfo : public TIdCustomTransparentProxy {
public:
    TIdSocksInfo() { Port = 1080; }

    TSocksVersion Version = TSocksVersion::svNoSocks;
    TSocksAuthentication Authentication = TSocksAuthentication::saNoAuthentication;

    // True exactly when Version is SOCKS 4, 4a or 5; setting it does nothing.
    bool Enabled() const override { return Version != TSocksVersion::svNoSocks; }
    void SetEnabled(bool) override {}
    void Handshake(TSocket &socket, const std::string &host, uint16_t port) override;

private:
    void MakeSocks4Connection(TSocket &socket, const std::string &host, uint16_t port);
    void MakeSocks5Connection(TSocket &socket, const std::string &host, uint16_t port);
};

// Copies a proxy record into a SOCKS connector: Host := FIPAddress (never the
// host name), Port := low 16 bits of FPort, no authentication, and Version by
// the record's type: "SOCKS 4" gives SOCKS 4, "SOCKS 4/5" and "SOCKS 5" give
// SOCKS 5. Any other type throws "proxy type not supported" (Host and Port are
// set by then).
void FillSocksHop(TIdSocksInfo &hop, const TProxData &data);
