#pragma once
// Decoder of one HTTP/1.x reply: bytes in, status, header lines and body out.
// No I/O: a decoder as engine/wire/Decoder.h describes it; the caller feeds
// what it reads, in pieces of any size, and tells the end of the stream.
// Interim 1xx replies are skipped; the body is framed by "Transfer-Encoding:
// chunked", by "Content-Length", or by the end of the stream.

#include "engine/wire/HttpLineReader.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class THttpReplyDecoder {
public:
    // Status, header and chunk lines.
    static constexpr size_t MaxLineLength = THttpLineReader::MaxLineLength;
    static constexpr size_t MaxHeaderLines = 256;
    static constexpr size_t MaxBodySize = 4 * 1024 * 1024;

    // What one reply may take. By default a body over MaxBodySize fails the
    // reply; with KeepBody set, a body that reaches BodyLimit ends the reply
    // there instead (Done, no error, BodyCut() true) and the rest is never
    // read: for a reader that needs only the start of the page. A status
    // line and header lines longer than HeaderLimit together fail the reply.
    struct TLimits {
        size_t HeaderLimit = (MaxHeaderLines + 1) * MaxLineLength; // the status line too
        size_t BodyLimit = MaxBodySize;
        bool KeepBody = false;
    };

    THttpReplyDecoder() = default;
    explicit THttpReplyDecoder(TLimits limits) : FLimits(limits) {}

    // Takes received bytes; returns how many belong to the reply (all of them
    // until it is complete, the rest is not looked at). Fails on a line over
    // MaxLineLength ("Max line length exceeded."), a status line that is not
    // HTTP, a bad Content-Length or chunk size, or a body over MaxBodySize.
    size_t Feed(const uint8_t *data, size_t size);
    // The stream ended: completes a body that runs to the end of the stream;
    // fails with "Connection Closed Gracefully." for any other unfinished
    // reply.
    void FeedEnd();
    // Inside a body that runs to the end of the stream 1, although any amount
    // can be read: nothing follows such a reply.
    size_t BytesNeeded() const;
    // True once the whole reply, body included, has arrived, or it failed.
    bool Done() const { return FState == TState::Done; }
    // Empty unless the reply failed: "Invalid HTTP reply.", ...
    const std::string &Error() const { return FError; }

    // True once the status line and every header line of the final reply have
    // arrived; from then on the accessors below hold them.
    bool HeadersComplete() const { return FHeadersComplete; }
    int StatusCode() const { return FStatusCode; }
    const std::string &StatusLine() const { return FStatusLine; }
    // The header lines as received (CR LF removed, folded lines joined).
    const std::vector<std::string> &HeaderLines() const { return FHeaderLines; }
    // The status line followed by the header lines, each ended by CR LF;
    // empty until HeadersComplete.
    std::string HeaderText() const;
    // The value of the first header of this name (any letter case), trimmed.
    std::optional<std::string> Header(std::string_view name) const;
    // A 2xx status.
    bool IsSuccess() const { return FStatusCode >= 200 && FStatusCode <= 299; }
    const std::string &Body() const { return FBody; }
    // The body reached a kept limit and the rest was left unread.
    bool BodyCut() const { return FBodyCut; }

private:
    enum class TState {
        StatusLine,
        Headers,
        FixedBody,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailers,
        BodyToEnd,
        Done
    };

    // Hands a complete line to the step of the current state.
    void LineReceived();
    void StatusLineReceived();
    void HeaderLineReceived();
    void HeadersReceived();
    void ChunkSizeReceived();
    // False when the body reached its limit: the reply failed, or ended there
    // when the body is kept.
    bool AppendBody(std::string_view bytes);
    void Fail(const std::string &error);

    TLimits FLimits;
    TState FState = TState::StatusLine;
    THttpLineReader FReader;
    std::string FLine; // the line being handled, without CR LF
    std::string FError;
    bool FHeadersComplete = false;
    int FStatusCode = 0;
    std::string FStatusLine;
    std::vector<std::string> FHeaderLines;
    size_t FHeaderBytes = 0; // of the status line and header lines so far
    bool FBodyCut = false;
    std::string FBody;
    size_t FRemaining = 0; // bytes left of the fixed body or the current chunk
};
