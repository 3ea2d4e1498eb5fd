#pragma once
// Decoder of one HTTP/1.x reply: bytes in, status, header lines and body out.
// No I/O: the caller feeds what it reads, in pieces of any size, and tells the
// end of the stream. Interim 1xx replies are skipped; the body is framed by
// "Transfer-Encoding: chunked", by "Content-Length", or by the end of the
// stream. Failures throw EVelmoraError.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class THttpReplyDecoder {
public:
    static constexpr size_t MaxLineLength = 16384; // status, header and chunk lines
    static constexpr size_t MaxHeaderLines = 256;
    static constexpr size_t MaxBodySize = 4 * 1024 * 1024;

    // Takes received bytes; returns how many belong to the reply (all of them
    // until it is complete, the rest is not looked at). Throws on a line over
    // MaxLineLength ("Max line length exceeded."), a status line that is not
    // HTTP, a bad Content-Length or chunk size, or a body over MaxBodySize.
    size_t Feed(std::string_view data);
    // The stream ended: completes a body that runs to the end of the stream;
    // throws "Connection Closed Gracefully." for any other unfinished reply.
    void FeedEnd();

    // True once the status line and every header line of the final reply have
    // arrived; from then on the accessors below hold them.
    bool HeadersComplete() const { return FHeadersComplete; }
    // True once the whole reply, body included, has arrived.
    bool Done() const { return FState == TState::Done; }

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

    // Collects one line; true when it is complete (in FLine, without CR LF).
    bool TakeLine(std::string_view data, size_t &pos);
    void StatusLineReceived();
    void HeaderLineReceived();
    void HeadersReceived();
    void ChunkSizeReceived();
    void AppendBody(std::string_view bytes);

    TState FState = TState::StatusLine;
    std::string FLine;
    bool FHeadersComplete = false;
    int FStatusCode = 0;
    std::string FStatusLine;
    std::vector<std::string> FHeaderLines;
    std::string FBody;
    size_t FRemaining = 0; // bytes left of the fixed body or the current chunk
};
