#include "engine/wire/Socks5Reply.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <cstring>

static_assert(CWireDecoder<TSocks5Reply>);

std::string TSocks5Reply::Message(uint8_t code) {
    switch (code) {
    case 0:
        return {};
    case 1:
        return "General SOCKS server failure.";
    case 2:
        return "Connection not allowed by ruleset.";
    case 3:
        return "Network unreachable.";
    case 4:
        return "Host unreachable.";
    case 5:
        return "Connection refused.";
    case 6:
        return "TTL expired.";
    case 7:
        return "Command not supported.";
    case 8:
        return "Address type not supported.";
    default:
        return "Unknown socks error.";
    }
}

size_t TSocks5Reply::Feed(const uint8_t *data, size_t size) {
    size_t used = 0;
    while (used < size && FNeeded > 0) {
        const size_t take = std::min(size - used, FNeeded);
        if (FHeadCount < HeadSize) {
            std::memcpy(FHead + FHeadCount, data + used, take);
            FHeadCount += take;
            FNeeded -= take;
            if (FHeadCount == HeadSize)
                HeadRead();
        } else {
            FNeeded -= take; // rest of the bound address and the port: not used
        }
        used += take;
    }
    FTotal += used;
    return used;
}

void TSocks5Reply::HeadRead() {
    FError = Message(FHead[1]);
    if (!FError.empty())
        return; // FNeeded stays 0: a failed reply ends here
    switch (FHead[3]) {
    case 1: // IPv4: 3 more address bytes and the port
        FNeeded = 3 + 2;
        break;
    case 4: // IPv6: 15 more address bytes and the port
        FNeeded = 15 + 2;
        break;
    case 3: // name: the fifth byte was its length
        FNeeded = size_t(FHead[4]) + 2;
        break;
    default:
        FError = "Address type not supported.";
        break;
    }
}
