// The SOCKS 4 reply reader of the hop connector: takes exactly 8 bytes
// however they are split, never one more, and its verdict is the code byte's.

#include "engine/wire/Socks4Reply.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the piece size, the rest is what the proxy sent.
    const size_t step = data[0] % 9 + 1;
    ++data;
    --size;
    TSocks4Reply reply;
    size_t used = 0;
    while (used < size && reply.BytesNeeded() > 0) {
        const size_t offer = std::min(step, size - used);
        const size_t needed = reply.BytesNeeded();
        const size_t took = reply.Feed(data + used, offer);
        FUZZ_CHECK(took == std::min(offer, needed));
        used += took;
    }
    FUZZ_CHECK(used == std::min<size_t>(size, TSocks4Reply::Size));
    FUZZ_CHECK(reply.Done() == (size >= TSocks4Reply::Size));
    uint8_t extra = 0;
    if (reply.Done()) {
        FUZZ_CHECK(reply.Feed(&extra, 1) == 0);
        FUZZ_CHECK(reply.Code() == data[1]);
        FUZZ_CHECK(reply.Error().empty() == (data[1] == 90));
        FUZZ_CHECK(reply.Error() == TSocks4Reply::Message(data[1]));
    } else {
        FUZZ_CHECK(reply.Error().empty());
    }
    return 0;
}
