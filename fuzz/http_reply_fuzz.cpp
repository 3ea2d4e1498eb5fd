// The download's HTTP reply reading: the outcome does not depend on how the
// bytes are split, the body never exceeds its limit, a Content-Length body is
// exactly as long as announced, and a reply rebuilt from what was parsed
// parses to the same result. Read BytesNeeded() at a time, as a socket reader
// does, it takes the same bytes.

#include "engine/wire/HttpReplyDecoder.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

#include <string>

namespace {

struct TOutcome {
    size_t Used = 0;
    bool Done = false, HeadersComplete = false;
    std::string Error;
    int Code = 0;
    std::string Head, Body;
    bool Cut = false;
};

// The limits a proxy check reads with, made small enough for the fuzzer to
// pass them often.
const THttpReplyDecoder::TLimits Small{64, 32, true};

// Feeds `data` in pieces of `step` bytes, or of BytesNeeded() for step 0.
TOutcome Run(std::string_view data, size_t step, bool end,
             const THttpReplyDecoder::TLimits &limits = {}) {
    THttpReplyDecoder d(limits);
    TOutcome o;
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
    while (o.Used < data.size() && !d.Done()) {
        const size_t offer = std::min(step ? step : d.BytesNeeded(), data.size() - o.Used);
        FUZZ_CHECK(offer > 0);
        const size_t took = d.Feed(bytes + o.Used, offer);
        FUZZ_CHECK(took == offer || (took < offer && d.Done()));
        o.Used += took;
    }
    if (end && !d.Done())
        d.FeedEnd();
    FUZZ_CHECK(d.Done() == (d.BytesNeeded() == 0));
    o.Error = d.Error();
    if (!o.Error.empty())
        FUZZ_CHECK(d.Done());
    if (d.Done()) {
        uint8_t more = 0;
        FUZZ_CHECK(d.Feed(&more, 1) == 0);
    }
    // Complete: done without a failure.
    o.Done = d.Done() && o.Error.empty();
    o.HeadersComplete = d.HeadersComplete();
    o.Code = d.StatusCode();
    o.Head = d.HeaderText();
    o.Body = d.Body();
    o.Cut = d.BodyCut();
    FUZZ_CHECK(o.Body.size() <= limits.BodyLimit);
    FUZZ_CHECK(!o.Cut || (limits.KeepBody && o.Body.size() == limits.BodyLimit && o.Done));
    if (o.HeadersComplete)
        FUZZ_CHECK(o.Head.size() <= limits.HeaderLimit + 2 * (d.HeaderLines().size() + 1));
    FUZZ_CHECK(d.HeaderLines().size() <= THttpReplyDecoder::MaxHeaderLines);
    if (o.Done)
        FUZZ_CHECK(o.HeadersComplete);
    if (o.HeadersComplete) {
        FUZZ_CHECK(o.Code >= 100 && o.Code <= 999);
        FUZZ_CHECK(d.StatusLine().compare(0, 5, "HTTP/") == 0);
    }
    if (o.Done && !o.Cut && !d.Header("Transfer-Encoding")) {
        const auto length = d.Header("Content-Length");
        if (length && o.Code >= 200 && o.Code != 204 && o.Code != 304)
            FUZZ_CHECK(std::stoull(*length) == o.Body.size());
    }
    return o;
}

bool Same(const TOutcome &a, const TOutcome &b) {
    // After a failure the bytes taken depend on where the pieces ended.
    return (a.Used == b.Used || !a.Error.empty()) && a.Done == b.Done && a.Cut == b.Cut &&
           a.HeadersComplete == b.HeadersComplete && a.Error == b.Error && a.Code == b.Code &&
           a.Head == b.Head && a.Body == b.Body;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = data[0] % 17 + 1;
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const TOutcome whole = Run(text, text.size() + 1, true);
    FUZZ_CHECK(Same(whole, Run(text, step, true)));
    FUZZ_CHECK(Same(whole, Run(text, 1, true)));
    FUZZ_CHECK(Same(whole, Run(text, 0, true)));

    // Read with small limits, the reply ends where its body reaches the limit
    // and holds the start of the same body.
    const TOutcome kept = Run(text, text.size() + 1, true, Small);
    FUZZ_CHECK(Same(kept, Run(text, step, true, Small)));
    FUZZ_CHECK(Same(kept, Run(text, 1, true, Small)));
    if (kept.HeadersComplete && whole.HeadersComplete) {
        FUZZ_CHECK(kept.Code == whole.Code);
        FUZZ_CHECK(whole.Body.compare(0, kept.Body.size(), kept.Body) == 0);
    }

    if (whole.Done && whole.Error.empty() && whole.Code >= 200 && whole.Code != 204 &&
        whole.Code != 304) {
        // The same reply told again with a plain Content-Length body.
        std::string again;
        size_t start = 0;
        bool first = true;
        size_t headerLines = 0;
        while (start < whole.Head.size()) {
            const size_t eol = whole.Head.find("\r\n", start);
            const std::string line = whole.Head.substr(start, eol - start);
            start = eol + 2;
            const size_t colon = line.find(':');
            std::string name = colon == std::string::npos ? "" : line.substr(0, colon);
            for (char &c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.pop_back();
            while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
                name.erase(0, 1);
            if (!first && (name == "content-length" || name == "transfer-encoding"))
                continue;
            if (!first)
                ++headerLines;
            first = false;
            again += line + "\r\n";
        }
        // The added Content-Length must not be one line too many.
        if (headerLines >= THttpReplyDecoder::MaxHeaderLines)
            return 0;
        again += "Content-Length: " + std::to_string(whole.Body.size()) + "\r\n\r\n" + whole.Body;
        const TOutcome told = Run(again, again.size(), false);
        if (!told.Done || !told.Error.empty())
            std::fprintf(stderr, "rebuilt reply: %s\n", told.Error.c_str());
        FUZZ_CHECK(told.Done && told.Error.empty());
        FUZZ_CHECK(told.Code == whole.Code && told.Body == whole.Body);
    }
    return 0;
}
