#include "engine/wire/SocksReply.h"

#include <arpa/inet.h>

namespace {

void AppendPort(std::string &out, uint16_t port) {
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
}

} // namespace

std::string TSocksReply::Socks5NoAuthentication() {
    return std::string("\x05\x00", 2);
}

std::string TSocksReply::Socks4(uint8_t code, const std::string &address, uint16_t port) {
    std::string out;
    out.push_back(0);
    out.push_back(static_cast<char>(code));
    AppendPort(out, port);
    in_addr v4{};
    if (address.empty() || inet_pton(AF_INET, address.c_str(), &v4) != 1)
        v4.s_addr = 0;
    out.append(reinterpret_cast<const char *>(&v4), 4);
    return out;
}

std::string TSocksReply::Socks5(uint8_t code, TIdIPVersion version, const std::string &address,
                                uint16_t port) {
    std::string out;
    out.push_back(5);
    out.push_back(static_cast<char>(code));
    out.push_back(0);
    if (version == TIdIPVersion::Id_IPv6) {
        out.push_back(4);
        in6_addr v6{};
        if (address.empty() || inet_pton(AF_INET6, address.c_str(), &v6) != 1)
            v6 = in6addr_any;
        out.append(reinterpret_cast<const char *>(&v6), 16);
    } else {
        out.push_back(1);
        in_addr v4{};
        if (address.empty() || inet_pton(AF_INET, address.c_str(), &v4) != 1)
            v4.s_addr = 0;
        out.append(reinterpret_cast<const char *>(&v4), 4);
    }
    AppendPort(out, port);
    return out;
}

std::string TSocksReply::ForVersion(uint8_t socksVersion, uint8_t code4, uint8_t code5,
                                    TIdIPVersion version, const std::string &address,
                                    uint16_t port) {
    if (socksVersion == 4)
        return Socks4(code4, address, port);
    return Socks5(code5, version, address, port);
}
