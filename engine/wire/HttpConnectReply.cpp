#include "engine/wire/HttpConnectReply.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <strings.h>

namespace {

std::string Trim(const std::string &s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// The n-th (0-based) word of a line split at spaces, runs of spaces counting as one.
std::string Word(const std::string &line, int n) {
    size_t pos = 0;
    for (int i = 0;; ++i) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos)
            return {};
        const size_t end = std::min(line.find(' ', pos), line.size());
        if (i == n)
            return line.substr(pos, end - pos);
        pos = end;
    }
}

} // namespace

static_assert(CWireDecoder<THttpConnectReply>);

size_t THttpConnectReply::BytesNeeded() const {
    switch (FState) {
    case TState::StatusLine:
    case TState::Headers:
        return 1;
    case TState::Body:
        return size_t(std::min<uint64_t>(FBodyLeft, std::numeric_limits<size_t>::max()));
    case TState::Done:
        break;
    }
    return 0;
}

size_t THttpConnectReply::Feed(const uint8_t *data, size_t size) {
    size_t used = 0;
    while (used < size && FState != TState::Done) {
        const size_t left = size - used;
        if (FState == TState::Body) {
            const size_t take = size_t(std::min<uint64_t>(FBodyLeft, left));
            FBodyLeft -= take;
            used += take;
            if (FBodyLeft == 0)
                Finish();
            continue;
        }
        used += FReader.Feed(data + used, left);
        if (!FReader.Error().empty()) {
            FError = FReader.Error();
            FState = TState::Done;
        } else if (FReader.Done()) {
            std::string line = FReader.TakeLine();
            if (FState == TState::StatusLine)
                StatusLineRead(std::move(line));
            else
                HeaderRead(line);
        }
    }
    return used;
}

void THttpConnectReply::StatusLineRead(std::string line) {
    FStatusLine = std::move(line);
    if (FStatusLine.empty()) {
        FState = TState::Done; // taken as established; nothing more is read
        return;
    }
    const std::string word = Word(FStatusLine, 1);
    int code = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), code);
    FStatusCode =
        (ec == std::errc() && end == word.data() + word.size() && !word.empty()) ? code : 200;
    FState = TState::Headers;
}

void THttpConnectReply::HeaderRead(const std::string &line) {
    if (line.empty()) {
        if (FContentLength > 0) {
            FBodyLeft = FContentLength;
            FState = TState::Body;
        } else {
            Finish();
        }
        return;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || FHaveContentLength)
        return;
    const std::string name = Trim(line.substr(0, colon));
    if (name.size() != 14 || ::strncasecmp(name.c_str(), "Content-Length", 14) != 0)
        return;
    const std::string value = Trim(line.substr(colon + 1));
    uint64_t length = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (ec == std::errc() && end == value.data() + value.size() && !value.empty()) {
        FHaveContentLength = true;
        FContentLength = length;
    }
}

void THttpConnectReply::Finish() {
    FState = TState::Done;
    if (FStatusCode != 200) {
        // The status line without its first word: the code and the reason phrase.
        const size_t first = FStatusLine.find_first_not_of(' ');
        const size_t gap = FStatusLine.find(' ', first);
        const size_t rest =
            gap == std::string::npos ? std::string::npos : FStatusLine.find_first_not_of(' ', gap);
        FError = rest == std::string::npos ? FStatusLine : FStatusLine.substr(rest);
    }
}
