#pragma once
// A hop's proxy answered the request for its next peer with a failure reply
// (SOCKS 4 code other than 90, SOCKS 5 reply other than 0, HTTP status other
// than 2xx): the proxy itself works, the peer behind it could not be
// reached. Anything else a handshake ends with (no answer, a closed or
// broken connection, a reply that cannot be read) is the proxy's own
// failure.

#include "platform/Error.h"

class EHopRefused : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};
