#pragma once
// One open client connection's block of lines in the activity panel. The
// block is contiguous; its first line is the entry of the panel's text list
// (FText) that refers to this log, and FNoOfLines counts its lines. Lines of
// other blocks and plain lines may come after it; a new line of this block
// goes right after its last one, moving everything below down.

#include "ui/logic/ActivityLines.h"

#include <QString>
#include <cstdint>
#include <vector>

class TActivityChainLog;

// One line of the panel's text list: the text and, on the first line of a
// block, the block's log.
struct TActivityTextLine {
    QString Text;
    const TActivityChainLog *Log = nullptr;
};
using TActivityText = std::vector<TActivityTextLine>;

class TActivityChainLog {
public:
    TActivityChainLog(TActivityLines &ALogStrings, uint32_t AContextID);
    TActivityChainLog(const TActivityChainLog &) = delete;
    TActivityChainLog &operator=(const TActivityChainLog &) = delete;

    // Appends the block's first line to both lists; FNoOfLines becomes 1.
    void AddFirstLine(TActivityText &AChainLogString, const QString &text);
    // Index of the first text entry that refers to this log; -1 when none.
    int FindFirstLine() const;
    // Puts a line right after the block's last line; "error get ChainLog"
    // (block unchanged) when the block's first line is gone.
    void AddLine(const QString &text);
    // Deletes the block's lines from both lists, last to first.
    void RemoveLines();

    uint32_t ContextID() const { return FContextID; }
    int32_t NoOfLines() const { return FNoOfLines; }

private:
    TActivityLines &FLogStrings;
    TActivityText *FChainLogString = nullptr;
    uint32_t FContextID;
    int32_t FNoOfLines = 0;
};
