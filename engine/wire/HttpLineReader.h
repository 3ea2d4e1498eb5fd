#pragma once
// Splits received bytes into lines: a line ends at LF, and a CR right before
// the LF is dropped. A line longer than MaxLineLength characters is refused as
// soon as that is certain, without buffering more of it. No I/O.

#include <cstddef>
#include <string>

class THttpLineReader {
public:
    static constexpr size_t MaxLineLength = 16384;

    // Takes bytes up to and including the first LF and no further; returns how
    // many it took. Takes nothing while a finished line waits in Line(), or
    // after an over-long line.
    size_t Feed(const char *data, size_t size);
    bool HasLine() const { return FHasLine; }
    bool TooLong() const { return FTooLong; }
    // The finished line; the reader then starts on the next one.
    std::string TakeLine();

private:
    std::string FLine;
    bool FHasLine = false;
    bool FTooLong = false;
};
