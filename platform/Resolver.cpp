#include "platform/Resolver.h"

#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

bool IsLocalhost(const std::string &host) {
    return host.size() == 9 && ::strncasecmp(host.c_str(), "localhost", 9) == 0;
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

} // namespace

bool TResolver::IsIPv4Literal(const std::string &text) {
    in_addr a;
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool TResolver::IsIPv6Literal(const std::string &text) {
    in6_addr a;
    return ::inet_pton(AF_INET6, StripBrackets(text).c_str(), &a) == 1;
}

std::string TResolver::ResolveIPv4(const std::string &host) {
    if (IsIPv4Literal(host) || IsIPv6Literal(host))
        return host;
    if (IsLocalhost(host))
        return "127.0.0.1";
    if (host.empty())
        throw ESocketError("Host not found: the host name is empty.");
    if (host.find('\0') != std::string::npos)
        throw ESocketError("Host not found: " + Quoted(host) + ".");

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || list == nullptr) {
        if (list)
            ::freeaddrinfo(list);
        const std::string why = rc != 0 ? ::gai_strerror(rc) : "no IPv4 address";
        throw ESocketError("Host not found: " + Quoted(host) + " (" + why + ").", rc);
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(list->ai_addr);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    ::freeaddrinfo(list);
    return text;
}

std::string TResolver::ReverseLookup(const std::string &address) {
    const std::string dotted = IsIPv4Literal(address) ? address : ResolveIPv4(address);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (::inet_pton(AF_INET, dotted.c_str(), &sa.sin_addr) != 1)
        throw ESocketError("No host name registered for " + Quoted(address) +
                           " (not an IPv4 address).");
    char name[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, name,
                                 sizeof name, nullptr, 0, NI_NAMEREQD);
    if (rc != 0 || name[0] == '\0') {
        const std::string why = rc != 0 ? ::gai_strerror(rc) : "empty name";
        throw ESocketError("No host name registered for " + Quoted(dotted) + " (" + why + ").", rc);
    }
    return name;
}
