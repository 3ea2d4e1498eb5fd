#include "platform/LocalAddresses.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace {

// An address in binary: IPv4 (mapped forms unmapped) or IPv6.
struct TBinary {
    bool Valid = false;
    bool V4 = false;
    in_addr A4{};
    in6_addr A6{};
};

TBinary Parse(const std::string &text) {
    TBinary b;
    std::string bare = text;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    if (inet_pton(AF_INET, bare.c_str(), &b.A4) == 1) {
        b.Valid = b.V4 = true;
    } else if (inet_pton(AF_INET6, bare.c_str(), &b.A6) == 1) {
        b.Valid = true;
        if (IN6_IS_ADDR_V4MAPPED(&b.A6)) {
            b.V4 = true;
            std::memcpy(&b.A4, b.A6.s6_addr + 12, 4);
        }
    }
    return b;
}

bool Loopback(const TBinary &b) {
    if (b.V4)
        return (ntohl(b.A4.s_addr) >> 24) == 127;
    return IN6_IS_ADDR_LOOPBACK(&b.A6);
}

bool Unspecified(const TBinary &b) {
    return b.V4 ? b.A4.s_addr == INADDR_ANY : IN6_IS_ADDR_UNSPECIFIED(&b.A6);
}

bool OnAnInterface(const TBinary &b) {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return true; // unknown: counted as this machine's, to be safe
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr)
            continue;
        if (b.V4 && i->ifa_addr->sa_family == AF_INET)
            found = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == b.A4.s_addr;
        else if (!b.V4 && i->ifa_addr->sa_family == AF_INET6)
            found = IN6_ARE_ADDR_EQUAL(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr,
                                       &b.A6);
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace

bool TLocalAddresses::IsLoopback(const std::string &address) {
    const TBinary b = Parse(address);
    return b.Valid && Loopback(b);
}

bool TLocalAddresses::IsOwn(const std::string &address) {
    const TBinary b = Parse(address);
    return b.Valid && (Loopback(b) || Unspecified(b) || OnAnInterface(b));
}
