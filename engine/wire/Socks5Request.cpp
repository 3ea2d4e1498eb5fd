#include "engine/wire/Socks5Request.h"

#include "platform/Error.h"

std::string TSocks5Request::EncodeGreeting(uint8_t method) {
    return std::string{char(5), char(1), char(method)};
}

std::string TSocks5Request::EncodeConnect(const THopTarget &target, uint16_t port) {
    std::string out{char(5), char(1), char(0)};
    switch (target.Kind) {
    case THopTarget::TKind::IPv4:
        out += char(1);
        out.append(reinterpret_cast<const char *>(target.Bytes.data()), 4);
        break;
    case THopTarget::TKind::IPv6:
        out += char(4);
        out.append(reinterpret_cast<const char *>(target.Bytes.data()), 16);
        break;
    case THopTarget::TKind::Name:
        if (target.Text.empty() || target.Text.size() > THopTarget::MaxNameLength)
            throw EVelmoraError("Host name does not fit a SOCKS 5 request.");
        out += char(3);
        out += char(target.Text.size());
        out += target.Text;
        break;
    }
    out += char(port >> 8);
    out += char(port & 0xFF);
    return out;
}

std::string TSocks5Request::EncodeUserPass(const std::string &username,
                                           const std::string &password) {
    if (username.size() > 255 || password.size() > 255)
        throw EVelmoraError("Socks user name or password too long.");
    std::string out{char(1), char(username.size())};
    out += username;
    out += char(password.size());
    out += password;
    return out;
}
