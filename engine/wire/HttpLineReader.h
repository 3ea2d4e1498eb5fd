#pragma once
// Splits received bytes into lines: a line ends at LF, and a CR right before
// the LF is dropped. A line longer than MaxLineLength characters is refused as
// soon as that is certain, without buffering more of it. No I/O. A decoder as
// engine/wire/Decoder.h describes it, whose messages are lines: Done() once a
// line is complete (or refused), TakeLine() then starts the next one.

#include <cstddef>
#include <cstdint>
#include <string>

class THttpLineReader {
public:
    static constexpr size_t MaxLineLength = 16384;

    // Takes bytes up to and including the first LF and no further; returns how
    // many it took. Takes nothing while a finished line waits for TakeLine(),
    // or after an over-long line.
    size_t Feed(const uint8_t *data, size_t size);
    // 1 while a line is being read: its length is not known in advance.
    size_t BytesNeeded() const { return Done() ? 0 : 1; }
    bool Done() const { return FHasLine || !FError.empty(); }
    // "Max line length exceeded." after an over-long line.
    const std::string &Error() const { return FError; }
    // The finished line; the reader then starts on the next one.
    std::string TakeLine();

private:
    std::string FLine;
    bool FHasLine = false;
    std::string FError;
};
