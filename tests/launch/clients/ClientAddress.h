#pragma once
// A socket address from an IPv4 or IPv6 literal and a port, for the test
// clients that make their connections by hand (the static and the io_uring
// client). Inline, so that each links nothing for it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>

struct TAddress {
    sockaddr_storage Storage{};
    socklen_t Length = 0;
};

inline std::optional<TAddress> MakeAddress(const std::string &text, int port) {
    TAddress a;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a.Storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.Storage);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        a.Length = sizeof(sockaddr_in);
        return a;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        a.Length = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}
