#include "engine/wire/Socks4Request.h"

#include "platform/Error.h"

namespace {

void CheckNoZero(const std::string &text, const char *what) {
    if (text.find('\0') != std::string::npos)
        throw EVelmoraError(std::string("The SOCKS 4 ") + what + " must not contain a zero byte.");
}

} // namespace

std::string TSocks4Request::Encode(uint16_t port, const std::array<uint8_t, 4> &address,
                                   const std::string &userId) {
    CheckNoZero(userId, "user ID");
    std::string out;
    out.reserve(9 + userId.size());
    out += char(4);
    out += char(1);
    out += char(port >> 8);
    out += char(port & 0xFF);
    for (uint8_t b : address)
        out += char(b);
    out += userId;
    out += char(0);
    return out;
}

std::string TSocks4Request::EncodeWithName(uint16_t port, const std::string &hostName,
                                           const std::string &userId) {
    CheckNoZero(hostName, "host name");
    std::string out = Encode(port, {0, 0, 0, 1}, userId);
    out += hostName;
    out += char(0);
    return out;
}
