#include "engine/wire/Socks5MethodReply.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <cstring>

static_assert(CWireDecoder<TSocks5MethodReply>);

size_t TSocks5MethodReply::Feed(const uint8_t *data, size_t size) {
    const size_t take = std::min(size, BytesNeeded());
    std::memcpy(FBytes + FCount, data, take);
    FCount += take;
    if (take > 0 && Done() && FBytes[1] != FExpected)
        FError = FFailure;
    return take;
}
