#pragma once
// One open client connection's block of lines in the activity panel. The
// block is contiguous; its first line is the entry of the panel's text list
// (FText) that refers to this log, and FNoOfLines counts its lines. Lines of
// other blocks and plain lines may come after it; a new line of this block
// goes right after its last one, moving everything below down. When the
// connection ends the block shrinks to one summary line (Collapse) that then
// stays as a plain line.

#include "ui/logic/ActivityLines.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <deque>

class TActivityChainLog;

// One line of the panel's text list: the text and, on the first line of a
// block, the block's log.
struct TActivityTextLine {
    QString Text;
    const TActivityChainLog *Log = nullptr;
};
// A deque: the oldest lines go from the front once the panel is full.
using TActivityText = std::deque<TActivityTextLine>;

class TActivityChainLog {
public:
    TActivityChainLog(TActivityLines &ALogStrings, uint32_t AContextID);
    TActivityChainLog(const TActivityChainLog &) = delete;
    TActivityChainLog &operator=(const TActivityChainLog &) = delete;

    // Appends the block's first line to both lists; FNoOfLines becomes 1.
    void AddFirstLine(TActivityText &AChainLogString, const QString &text);
    // Index of the first text entry that refers to this log; -1 when none.
    // Open blocks are mostly near the end: the search starts there.
    int FindFirstLine() const;
    // Puts a line right after the block's last line; "error get ChainLog"
    // (block unchanged) when the block's first line is gone.
    void AddLine(const QString &text);
    // Deletes the block's lines from both lists, last to first.
    void RemoveLines();
    // Replaces the block's lines by one plain line, `text`, where its first
    // line was; nothing when the first line is gone.
    void Collapse(const QString &text);

    // What the block learnt of its connection, from the lines it was given
    // (their text without the time): the hops that connected and those that
    // failed.
    void Note(const QString &line);
    int Hops() const { return FHops; }
    int FailedHops() const { return FFailedHops; }

    // The first line without its time, the time put before it (empty when
    // lines carry none) and when the block began (invalid without a clock).
    QString FRequest;
    QString FStamp;
    QDateTime FStarted;
    // The bytes the connection moved, both ways together, once the engine
    // has said (right before the connection's end); 0 until then.
    uint64_t FBytes = 0;

    uint32_t ContextID() const { return FContextID; }
    int32_t NoOfLines() const { return FNoOfLines; }

private:
    TActivityLines &FLogStrings;
    TActivityText *FChainLogString = nullptr;
    uint32_t FContextID;
    int32_t FNoOfLines = 0;
    int FHops = 0;
    int FFailedHops = 0;
};
