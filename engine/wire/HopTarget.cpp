#include "engine/wire/HopTarget.h"

#include "platform/Error.h"
#include "platform/Resolver.h"

#include <arpa/inet.h>
#include <cstring>

THopTarget THopTarget::Parse(const std::string &host) {
    THopTarget t;
    in_addr v4;
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        t.Kind = TKind::IPv4;
        t.Text = host;
        std::memcpy(t.Bytes.data(), &v4, 4);
        return t;
    }
    const std::string bare = TResolver::StripBrackets(host);
    in6_addr v6;
    if (::inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
        t.Kind = TKind::IPv6;
        t.Text = bare;
        std::memcpy(t.Bytes.data(), &v6, 16);
        return t;
    }
    if (host.empty())
        throw EVelmoraError("The host name is empty.");
    if (host.size() > MaxNameLength)
        throw EVelmoraError("Host name too long: " + std::to_string(host.size()) +
                            " characters, at most 255 can be sent.");
    for (unsigned char c : host) {
        if (c <= 0x20 || c >= 0x7F)
            throw EVelmoraError("Host name contains characters that cannot be sent "
                                "(only printable 7-bit ASCII is allowed).");
    }
    t.Kind = TKind::Name;
    t.Text = host;
    return t;
}
