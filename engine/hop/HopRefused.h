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

// A SOCKS 4 proxy refused a destination given by name. The name is never
// looked up on this machine instead (that would tell the local resolver what
// the chain carries), so the connection fails, and its message says why.
class ENameRefused : public EHopRefused {
public:
    using EHopRefused::EHopRefused;
};
