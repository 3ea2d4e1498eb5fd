#pragma once
// Feeds a reply decoder from a socket, reading never more than the decoder
// asks for, so the bytes that follow the reply stay in the socket for the
// tunnel. Works whatever way the peer's bytes are split into segments.

#include "engine/wire/Decoder.h"
#include "platform/Socket.h"

#include <algorithm>
#include <cstdint>

// Reads until the decoder is done. The end of the stream before that throws
// ESocketError("Connection Closed Gracefully."); read errors pass through.
template <CWireDecoder TDecoder> void ReadReply(TSocket &socket, TDecoder &decoder) {
    uint8_t buffer[4096];
    while (const size_t needed = decoder.BytesNeeded()) {
        const size_t got = socket.ReadSome(buffer, std::min(needed, sizeof buffer));
        if (got == 0)
            throw ESocketError("Connection Closed Gracefully.");
        decoder.Feed(buffer, got);
    }
}
