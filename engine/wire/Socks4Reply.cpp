#include "engine/wire/Socks4Reply.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <cstring>

static_assert(CWireDecoder<TSocks4Reply>);

std::string TSocks4Reply::Message(uint8_t code) {
    switch (code) {
    case 90:
        return {};
    case 91:
        return "Request rejected or failed.";
    case 92:
        return "Request rejected because SOCKS server cannot connect.";
    case 93:
        return "Request rejected because the client program and identd report different "
               "user-ids.";
    default:
        return "Unknown socks error.";
    }
}

size_t TSocks4Reply::Feed(const uint8_t *data, size_t size) {
    const size_t take = std::min(size, BytesNeeded());
    std::memcpy(FBytes + FCount, data, take);
    FCount += take;
    if (take > 0 && Done())
        FError = Message(FBytes[1]);
    return take;
}
