#pragma once
// Loads a netfilter ruleset, written in the nft language, into the network
// namespace of the calling process through libnftables (never by running the
// nft program). Needs CAP_NET_ADMIN there. On failure throws EVelmoraError
// with libnftables' own message.

#include <string>
#include <sys/socket.h>

class TNetfilter {
public:
    static void Load(const std::string &ruleset);
    // The address a redirected TCP connection was made to before a
    // netfilter rule turned it to this socket's listener (IPv4 or IPv6);
    // false when the kernel knows none.
    static bool OriginalDestination(int fd, sockaddr_storage &address);
};
