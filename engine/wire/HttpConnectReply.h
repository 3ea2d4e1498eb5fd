#pragma once
// Decoder of an HTTP proxy's answer to CONNECT (client side). No I/O: a
// decoder as engine/wire/Decoder.h describes it.
//
// The status line comes first. An empty status line means the tunnel is open
// and nothing more belongs to the answer. Otherwise header lines follow up to
// an empty line; a "Content-Length" above 0 announces a body that is taken and
// discarded. The status code is the second word of the status line (a word
// that is not a number counts as 200); any code but 200 is a failure whose
// message is the status line without its first word.
//
// Lines have no known length, so BytesNeeded() is 1 while a line is being
// read: the caller never reads past the answer, and the bytes after it belong
// to the tunnel. Feed() itself accepts any amount and stops at the answer's end.

#include "engine/wire/HttpLineReader.h"

#include <cstddef>
#include <cstdint>
#include <string>

class THttpConnectReply {
public:
    size_t BytesNeeded() const;
    size_t Feed(const uint8_t *data, size_t size);
    bool Done() const { return FState == TState::Done; }
    // Empty when the tunnel is established; otherwise the failure message.
    const std::string &Error() const { return FError; }

    const std::string &StatusLine() const { return FStatusLine; }
    int StatusCode() const { return FStatusCode; }
    uint64_t ContentLength() const { return FContentLength; }

private:
    enum class TState { StatusLine, Headers, Body, Done };

    void StatusLineRead(std::string line);
    void HeaderRead(const std::string &line);
    void Finish();

    TState FState = TState::StatusLine;
    THttpLineReader FReader;
    std::string FStatusLine;
    int FStatusCode = 200;
    bool FHaveContentLength = false;
    uint64_t FContentLength = 0;
    uint64_t FBodyLeft = 0;
    std::string FError;
};
