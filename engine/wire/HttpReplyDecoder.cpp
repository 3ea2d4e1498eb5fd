#include "engine/wire/HttpReplyDecoder.h"

#include "engine/wire/Decoder.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Decimal digits only, at most MaxBodySize; nullopt otherwise.
std::optional<size_t> ParseLength(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + size_t(c - '0');
    }
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr const char *TooLarge = "Reply body too large.";
constexpr const char *HeaderTooLarge = "Reply header too large.";

} // namespace

static_assert(CWireDecoder<THttpReplyDecoder>);

size_t THttpReplyDecoder::Feed(const uint8_t *data, size_t size) {
    size_t pos = 0;
    while (pos < size && FState != TState::Done) {
        const auto *text = reinterpret_cast<const char *>(data) + pos;
        const size_t left = size - pos;
        const size_t bodyBefore = FBody.size(); // a kept body's cut takes only its part
        switch (FState) {
        case TState::FixedBody:
        case TState::ChunkData: {
            const size_t take = std::min(FRemaining, left);
            if (!AppendBody(std::string_view(text, take)))
                return FBodyCut ? pos + FBody.size() - bodyBefore : pos;
            pos += take;
            FRemaining -= take;
            if (FRemaining == 0)
                FState = FState == TState::FixedBody ? TState::Done : TState::ChunkEnd;
            break;
        }
        case TState::BodyToEnd:
            if (!AppendBody(std::string_view(text, left)))
                return FBodyCut ? pos + FBody.size() - bodyBefore : pos;
            pos = size;
            break;
        default: // the line-based states
            pos += FReader.Feed(data + pos, left);
            if (!FReader.Error().empty())
                Fail(FReader.Error());
            else if (FReader.Done())
                LineReceived();
            break;
        }
    }
    return pos;
}

void THttpReplyDecoder::LineReceived() {
    FLine = FReader.TakeLine();
    switch (FState) {
    case TState::StatusLine:
        StatusLineReceived();
        break;
    case TState::Headers:
        HeaderLineReceived();
        break;
    case TState::ChunkSize:
        ChunkSizeReceived();
        break;
    case TState::ChunkEnd:
        if (!FLine.empty())
            Fail("Invalid chunk: data longer than its size.");
        else
            FState = TState::ChunkSize;
        break;
    case TState::Trailers:
        if (FLine.empty())
            FState = TState::Done;
        break;
    default:
        break;
    }
    FLine.clear();
}

void THttpReplyDecoder::FeedEnd() {
    if (FState == TState::BodyToEnd)
        FState = TState::Done;
    if (FState != TState::Done)
        Fail("Connection Closed Gracefully.");
}

size_t THttpReplyDecoder::BytesNeeded() const {
    switch (FState) {
    case TState::FixedBody:
    case TState::ChunkData:
        return FRemaining;
    case TState::Done:
        return 0;
    default: // a line, or a body that runs to the end of the stream
        return 1;
    }
}

void THttpReplyDecoder::Fail(const std::string &error) {
    FError = error;
    FState = TState::Done;
}

void THttpReplyDecoder::StatusLineReceived() {
    // "HTTP/1.1 200 OK": the version, a space, three digits (100 to 999), then
    // the reason.
    const std::string &line = FLine;
    const size_t space = line.find(' ');
    const bool shaped = line.size() >= 12 && line.compare(0, 5, "HTTP/") == 0 &&
                        space != std::string::npos && space + 4 <= line.size() &&
                        line[space + 1] >= '1' && line[space + 1] <= '9' &&
                        std::isdigit(static_cast<unsigned char>(line[space + 2])) &&
                        std::isdigit(static_cast<unsigned char>(line[space + 3])) &&
                        (space + 4 == line.size() || line[space + 4] == ' ');
    if (!shaped) {
        Fail("Invalid HTTP reply.");
        return;
    }
    FHeaderBytes = line.size();
    if (FHeaderBytes > FLimits.HeaderLimit) {
        Fail(HeaderTooLarge);
        return;
    }
    FStatusLine = line;
    FStatusCode =
        (line[space + 1] - '0') * 100 + (line[space + 2] - '0') * 10 + (line[space + 3] - '0');
    FHeaderLines.clear();
    FState = TState::Headers;
}

void THttpReplyDecoder::HeaderLineReceived() {
    if (FLine.empty()) {
        HeadersReceived();
        return;
    }
    FHeaderBytes += FLine.size();
    if (FHeaderBytes > FLimits.HeaderLimit) {
        Fail(HeaderTooLarge);
        return;
    }
    if (IsBlank(FLine.front()) && !FHeaderLines.empty()) {
        // A folded continuation of the previous header.
        std::string &last = FHeaderLines.back();
        if (last.size() + FLine.size() > MaxLineLength) {
            Fail("Max line length exceeded.");
            return;
        }
        last += ' ';
        last.append(Trim(FLine));
        return;
    }
    if (FHeaderLines.size() >= MaxHeaderLines) {
        Fail("Too many header lines.");
        return;
    }
    FHeaderLines.push_back(FLine);
}

void THttpReplyDecoder::HeadersReceived() {
    if (FStatusCode >= 100 && FStatusCode <= 199 && FStatusCode != 101) {
        // An interim reply ("100 Continue"): the real one follows.
        FState = TState::StatusLine;
        return;
    }
    FHeadersComplete = true;
    if (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 304) {
        FState = TState::Done;
        return;
    }
    if (const auto coding = Header("Transfer-Encoding")) {
        // Chunked when it is the last coding; any other coding runs to the end.
        std::string_view codings = *coding;
        const size_t comma = codings.rfind(',');
        if (comma != std::string_view::npos)
            codings = codings.substr(comma + 1);
        FState = SameText(Trim(codings), "chunked") ? TState::ChunkSize : TState::BodyToEnd;
        return;
    }
    std::optional<size_t> length;
    for (const std::string &line : FHeaderLines) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos ||
            !SameText(Trim(std::string_view(line).substr(0, colon)), "Content-Length"))
            continue;
        const auto value = ParseLength(std::string_view(line).substr(colon + 1));
        if (!value || (length && *length != *value)) {
            Fail("Invalid Content-Length.");
            return;
        }
        length = value;
    }
    if (!length) {
        FState = TState::BodyToEnd;
        return;
    }
    if (*length > FLimits.BodyLimit && !FLimits.KeepBody) {
        Fail(TooLarge);
        return;
    }
    FRemaining = *length;
    FState = FRemaining == 0 ? TState::Done : TState::FixedBody;
}

void THttpReplyDecoder::ChunkSizeReceived() {
    std::string_view text = FLine;
    const size_t semicolon = text.find(';');
    if (semicolon != std::string_view::npos)
        text = text.substr(0, semicolon);
    text = Trim(text);
    if (text.empty()) {
        Fail("Invalid chunk size.");
        return;
    }
    size_t size = 0;
    for (char c : text) {
        const int digit = HexValue(c);
        if (digit < 0) {
            Fail("Invalid chunk size.");
            return;
        }
        size = size * 16 + size_t(digit);
        if (size > std::max(FLimits.BodyLimit, MaxBodySize)) {
            Fail(TooLarge);
            return;
        }
    }
    if (FBody.size() + size > FLimits.BodyLimit && !FLimits.KeepBody) {
        Fail(TooLarge);
        return;
    }
    FRemaining = size;
    FState = size == 0 ? TState::Trailers : TState::ChunkData;
}

bool THttpReplyDecoder::AppendBody(std::string_view bytes) {
    if (FBody.size() + bytes.size() >= FLimits.BodyLimit && FLimits.KeepBody) {
        FBody.append(bytes.substr(0, FLimits.BodyLimit - FBody.size()));
        FBodyCut = true;
        FState = TState::Done;
        return false;
    }
    if (FBody.size() + bytes.size() > FLimits.BodyLimit) {
        Fail(TooLarge);
        return false;
    }
    FBody.append(bytes);
    return true;
}

std::string THttpReplyDecoder::HeaderText() const {
    if (!FHeadersComplete)
        return {};
    std::string text = FStatusLine + "\r\n";
    for (const std::string &line : FHeaderLines)
        text += line + "\r\n";
    return text;
}

std::optional<std::string> THttpReplyDecoder::Header(std::string_view name) const {
    for (const std::string &line : FHeaderLines) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos &&
            SameText(Trim(std::string_view(line).substr(0, colon)), name))
            return std::string(Trim(std::string_view(line).substr(colon + 1)));
    }
    return std::nullopt;
}
