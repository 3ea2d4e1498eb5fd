// The HTTP CONNECT reply reader of the hop connector: the bytes it takes do
// not depend on how they are split, it never takes a byte past the answer,
// and its verdict matches the status line it read.

#include "engine/wire/HttpConnectReply.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

#include <string>

namespace {

struct TOutcome {
    size_t Used = 0;
    bool Done = false;
    std::string Error, StatusLine;
    int Code = 0;
    uint64_t Length = 0;
};

// mode 0: offer everything; 1: offer BytesNeeded() at a time, as ReadReply does;
// 2: pieces of `step` bytes.
TOutcome Run(const uint8_t *data, size_t size, int mode, size_t step) {
    THttpConnectReply reply;
    TOutcome o;
    while (o.Used < size && !reply.Done()) {
        size_t offer = size - o.Used;
        if (mode == 1)
            offer = std::min(offer, reply.BytesNeeded());
        else if (mode == 2)
            offer = std::min(offer, step);
        FUZZ_CHECK(offer > 0);
        const size_t took = reply.Feed(data + o.Used, offer);
        FUZZ_CHECK(took <= offer);
        FUZZ_CHECK(took == offer || reply.Done());
        o.Used += took;
    }
    o.Done = reply.Done();
    FUZZ_CHECK(o.Done == (reply.BytesNeeded() == 0));
    if (o.Done) {
        uint8_t extra = 'x';
        FUZZ_CHECK(reply.Feed(&extra, 1) == 0);
    } else {
        FUZZ_CHECK(reply.Error().empty());
    }
    o.Error = reply.Error();
    o.StatusLine = reply.StatusLine();
    o.Code = reply.StatusCode();
    o.Length = reply.ContentLength();
    return o;
}

bool Same(const TOutcome &a, const TOutcome &b) {
    return a.Used == b.Used && a.Done == b.Done && a.Error == b.Error &&
           a.StatusLine == b.StatusLine && a.Code == b.Code && a.Length == b.Length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = data[0] % 13 + 1;
    ++data;
    --size;
    const TOutcome whole = Run(data, size, 0, 0);
    FUZZ_CHECK(Same(whole, Run(data, size, 1, 0)));
    FUZZ_CHECK(Same(whole, Run(data, size, 2, step)));
    const std::string text(reinterpret_cast<const char *>(data), whole.Used);
    if (whole.Done && whole.Error != "Max line length exceeded.") {
        // The status line is the answer's first line, without CR LF.
        const size_t lf = text.find('\n');
        FUZZ_CHECK(lf != std::string::npos);
        std::string first = text.substr(0, lf);
        if (!first.empty() && first.back() == '\r')
            first.pop_back();
        FUZZ_CHECK(first == whole.StatusLine);
        FUZZ_CHECK(whole.Error.empty() == (whole.Code == 200));
        if (!whole.StatusLine.empty()) {
            // The answer ends with its empty line, or with the announced body.
            const bool endsAtBlank = text.size() >= 2 && text.back() == '\n' &&
                                     (text[text.size() - 2] == '\n' ||
                                      (text.size() >= 3 && text[text.size() - 2] == '\r' &&
                                       text[text.size() - 3] == '\n'));
            FUZZ_CHECK(whole.Length > 0 || endsAtBlank);
            if (whole.Length > 0)
                FUZZ_CHECK(text.size() >= whole.Length);
        } else {
            FUZZ_CHECK(whole.Used == lf + 1);
        }
    }
    return 0;
}
