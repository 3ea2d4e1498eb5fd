#include "engine/wire/HttpLineReader.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

static_assert(CWireDecoder<THttpLineReader>);

size_t THttpLineReader::Feed(const uint8_t *data, size_t size) {
    if (Done() || size == 0)
        return 0;
    // Never look further than the longest line that can still pass (the
    // limit, a CR and the LF): an over-long line is refused without reading
    // on to its end.
    const size_t window = std::min(size, MaxLineLength + 2 - FLine.size());
    const void *lf = std::memchr(data, '\n', window);
    const size_t take = lf ? size_t(static_cast<const uint8_t *>(lf) - data) + 1 : window;
    FLine.append(reinterpret_cast<const char *>(data), lf ? take - 1 : take);
    if (lf) {
        if (!FLine.empty() && FLine.back() == '\r')
            FLine.pop_back();
        if (FLine.size() > MaxLineLength)
            FError = "Max line length exceeded.";
        else
            FHasLine = true;
    } else if (FLine.size() > MaxLineLength + 1) {
        // Longer than the limit even if the next byte were the LF after a CR.
        FError = "Max line length exceeded.";
    }
    return take;
}

std::string THttpLineReader::TakeLine() {
    std::string line = std::move(FLine);
    FLine.clear();
    FHasLine = false;
    return line;
}
