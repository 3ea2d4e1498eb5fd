// The SOCKS 5 reply readers of the hop connector: the method selection, the
// authentication status and the CONNECT reply, read one after the other as
// the connector does. Each takes exactly its own bytes however they are split
// (the rest belongs to the tunnel), and its verdict is what the bytes said.

#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

#include <string>

namespace {

// Feeds `decoder` as the connector does, never offering more than it needs;
// returns the bytes taken.
template <class TDecoder>
size_t Drive(TDecoder &decoder, const uint8_t *data, size_t size, size_t step) {
    size_t used = 0;
    while (used < size && decoder.BytesNeeded() > 0) {
        const size_t offer = std::min({step, size - used, decoder.BytesNeeded()});
        const size_t took = decoder.Feed(data + used, offer);
        FUZZ_CHECK(took == offer);
        used += took;
    }
    return used;
}

// Offering everything at once must take the same bytes.
template <class TDecoder> size_t DriveGreedy(TDecoder &decoder, const uint8_t *data, size_t size) {
    size_t used = 0;
    while (used < size && decoder.BytesNeeded() > 0) {
        const size_t took = decoder.Feed(data + used, size - used);
        FUZZ_CHECK(took > 0);
        used += took;
    }
    return used;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const size_t step = data[0] % 7 + 1;
    const uint8_t expected = data[1];
    data += 2;
    size -= 2;

    TSocks5MethodReply method(expected, "Authentication method not accepted.");
    const size_t m = Drive(method, data, size, step);
    FUZZ_CHECK(m == std::min<size_t>(size, 2));
    if (!method.Done())
        return 0;
    FUZZ_CHECK(method.Value() == data[1]);
    FUZZ_CHECK(method.Error().empty() == (data[1] == expected));
    uint8_t extra = 0;
    FUZZ_CHECK(method.Feed(&extra, 1) == 0);

    const uint8_t *r = data + 2;
    const size_t rsize = size - 2;
    TSocks5Reply reply, greedy;
    const size_t used = Drive(reply, r, rsize, step);
    FUZZ_CHECK(DriveGreedy(greedy, r, rsize) == used);
    FUZZ_CHECK(reply.Length() == used && greedy.Length() == used);
    FUZZ_CHECK(reply.Done() == greedy.Done() && reply.Error() == greedy.Error());
    if (!reply.Done()) {
        FUZZ_CHECK(used == rsize);
        return 0;
    }
    FUZZ_CHECK(reply.Feed(&extra, 1) == 0);
    FUZZ_CHECK(reply.Code() == r[1] && reply.AddressType() == r[3]);
    if (r[1] != 0) {
        FUZZ_CHECK(reply.Error() == TSocks5Reply::Message(r[1]) && !reply.Error().empty());
        FUZZ_CHECK(used == TSocks5Reply::HeadSize);
        return 0;
    }
    size_t length = 0;
    switch (r[3]) {
    case 1:
        length = 4 + 4 + 2;
        break;
    case 3:
        length = 5 + r[4] + 2;
        break;
    case 4:
        length = 4 + 16 + 2;
        break;
    default:
        FUZZ_CHECK(!reply.Error().empty() && used == TSocks5Reply::HeadSize);
        return 0;
    }
    FUZZ_CHECK(reply.Error().empty() && used == length);
    return 0;
}
