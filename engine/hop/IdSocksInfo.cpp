#include "engine/hop/IdSocksInfo.h"

#include "engine/hop/HopRefused.h"
#include "engine/hop/ReadReply.h"
#include "engine/wire/HopTarget.h"
#include "engine/wire/Socks4Reply.h"
#include "engine/wire/Socks4Request.h"
#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"
#include "engine/wire/Socks5Request.h"
#include "platform/Error.h"
#include "platform/Resolver.h"
#include "store/ProxData.h"

namespace {

const char *const NoResponse = "Socks server did not respond.";

// SOCKS 5 replies that cannot be read all fail alike, whatever the cause.
// A CONNECT reply that refuses is the peer's failure, not the proxy's.
template <class TDecoder> void ReadSocks5Reply(TSocket &socket, TDecoder &decoder) {
    try {
        ReadReply(socket, decoder);
    } catch (const ESocketError &) {
        throw EVelmoraError(NoResponse);
    }
    if (!decoder.Error().empty())
        throw EVelmoraError(decoder.Error());
}

std::array<uint8_t, 4> AddressBytes(const THopTarget &target) {
    return {target.Bytes[0], target.Bytes[1], target.Bytes[2], target.Bytes[3]};
}

} // namespace

void TIdSocksInfo::Handshake(TSocket &socket, const std::string &host, uint16_t port) {
    switch (Version) {
    case TSocksVersion::svSocks4:
    case TSocksVersion::svSocks4A:
        MakeSocks4Connection(socket, host, port);
        break;
    case TSocksVersion::svSocks5:
        MakeSocks5Connection(socket, host, port);
        break;
    case TSocksVersion::svNoSocks:
        break;
    }
}

void TIdSocksInfo::MakeSocks4Connection(TSocket &socket, const std::string &host, uint16_t port) {
    if (TResolver::IsIPv6Literal(host))
        throw EVelmoraError("A SOCKS 4 proxy cannot connect to the IPv6 address " + host + ".");
    // A name always goes to the proxy as a SOCKS 4a request, for a plain
    // SOCKS 4 proxy too: looking it up here would tell this machine's
    // resolver every name the chain carries. Only an address goes as SOCKS 4.
    const bool byName = !TResolver::IsIPv4Literal(host);
    const THopTarget target = THopTarget::Parse(host);
    socket.WriteAll(byName ? TSocks4Request::EncodeWithName(port, target.Text, Username)
                           : TSocks4Request::Encode(port, AddressBytes(target), Username));

    TSocks4Reply reply;
    ReadReply(socket, reply);
    if (reply.Error().empty())
        return;
    if (byName && Version == TSocksVersion::svSocks4)
        throw ENameRefused("The SOCKS 4 proxy " + Host + ":" + std::to_string(Port) +
                           " refused the request for " + target.Text +
                           ". A SOCKS 4 proxy that cannot look names up itself refuses every "
                           "name; the name was not looked up on this machine, to keep it "
                           "private.");
    throw EHopRefused(reply.Error());
}

void TIdSocksInfo::MakeSocks5Connection(TSocket &socket, const std::string &host, uint16_t port) {
    // Checked before anything is sent: a name that cannot go on the wire.
    const THopTarget target = THopTarget::Parse(host);
    const bool withPassword = Authentication == TSocksAuthentication::saUsernamePassword;
    const uint8_t method = withPassword ? TSocks5Request::MethodUsernamePassword
                                        : TSocks5Request::MethodNoAuthentication;

    socket.WriteAll(TSocks5Request::EncodeGreeting(method));
    TSocks5MethodReply selected(method, "Invalid socks authentication method.");
    ReadSocks5Reply(socket, selected);

    if (withPassword) {
        socket.WriteAll(TSocks5Request::EncodeUserPass(Username, Password));
        TSocks5MethodReply status(0, "Authentication error to socks server.");
        ReadSocks5Reply(socket, status);
    }

    socket.WriteAll(TSocks5Request::EncodeConnect(target, port));
    TSocks5Reply reply;
    try {
        ReadReply(socket, reply);
    } catch (const ESocketError &) {
        throw EVelmoraError(NoResponse);
    }
    if (!reply.Error().empty()) {
        // A reply code other than 0 refuses; a reply that cannot be read is
        // the proxy's own failure.
        if (reply.Code() != 0)
            throw EHopRefused(reply.Error());
        throw EVelmoraError(reply.Error());
    }
}

void FillSocksHop(TIdSocksInfo &hop, const TProxData &data) {
    hop.Host = data.FIPAddress.toStdString();
    hop.Port = static_cast<uint16_t>(data.FPort & 0xFFFF);
    hop.Authentication = TSocksAuthentication::saNoAuthentication;
    switch (data.FProxyType) {
    case TProxyType::ptSOCKS4:
        hop.Version = TSocksVersion::svSocks4;
        break;
    case TProxyType::ptSOCKS45:
    case TProxyType::ptSOCKS5:
        hop.Version = TSocksVersion::svSocks5;
        break;
    default:
        throw EVelmoraError("proxy type not supported");
    }
}
