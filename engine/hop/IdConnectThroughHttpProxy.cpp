#include "engine/hop/IdConnectThroughHttpProxy.h"

#include "engine/hop/HopRefused.h"
#include "engine/hop/ReadReply.h"
#include "engine/wire/HopTarget.h"
#include "engine/wire/HttpConnectReply.h"
#include "engine/wire/HttpConnectRequest.h"
#include "platform/Error.h"
#include "store/ProxData.h"

void TIdConnectThroughHttpProxy::Handshake(TSocket &socket, const std::string &host,
                                           uint16_t port) {
    // Checked before anything is sent: a name with spaces or line breaks would
    // change the request.
    socket.WriteAll(THttpConnectRequest::Encode(THopTarget::Parse(host), port));
    THttpConnectReply reply;
    ReadReply(socket, reply);
    if (!reply.Error().empty()) {
        // A status other than 200 refuses; an answer that cannot be read is
        // the proxy's own failure.
        if (reply.StatusCode() >= 100)
            throw EHopRefused(reply.Error());
        throw EVelmoraError(reply.Error());
    }
}

void FillHttpHop(TIdConnectThroughHttpProxy &hop, const TProxData &data) {
    hop.Host = data.FIPAddress.toStdString();
    hop.Port = static_cast<uint16_t>(data.FPort & 0xFFFF);
    hop.SetEnabled(true);
}
