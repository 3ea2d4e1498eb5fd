#pragma once
// What the activity panel shows, without the widget: plain lines that stay,
// and one block of lines per open connection (a TActivityChainLog) that
// grows in hop order and, when the connection ends, shrinks to one summary
// line ("Request connect to host:port ... 2 hops, 12.4 MB, 1.4 s"). FText mirrors the
// visible lines index for index; a block's first entry refers to its log.
//
// With a clock every line starts with its time, "HH:MM:SS " (the summary
// keeps its request's time). At most MaxLines lines are kept: the oldest
// lines that belong to no open block go first. Runs on the user-interface
// thread only (the panel queues every call).

#include "ui/logic/ActivityChainLog.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TActivityLog {
public:
    using TClock = std::function<QDateTime()>;
    static constexpr int DefaultMaxLines = 10000;

    explicit TActivityLog(TActivityLines &AVisibleLines, TClock clock = nullptr);
    TActivityLog(const TActivityLog &) = delete;
    TActivityLog &operator=(const TActivityLog &) = delete;

    // A plain line at the end.
    void AddMessage(const QString &AMsg);
    // A new block whose first line is AActivityMsg. AChainUID is not used.
    void CreateChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    // A line for the first block of AContextID; dropped when there is none.
    void WriteChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    // The bytes the connection AContextID moved, said right before its end:
    // kept on its first block for the summary; dropped when it has no block.
    void RecordBytes(int32_t AContextID, uint64_t ABytes);
    // Ends the first block of AContextID: its lines become its summary line;
    // "chain not found" as a plain line when there is none. AActivityMsg is
    // not shown.
    void DeleteChainLog(int32_t AContextID, const QString &AActivityMsg);
    // Drops every line but those of the open blocks.
    void Clear();

    // The summary of a block that ends after `elapsedMs` (negative: unknown):
    // the hops, the failed ones, the bytes (none said when nothing moved)
    // and the time.
    static QString Summary(const TActivityChainLog &log, qint64 elapsedMs);
    // A byte count as the summary shows it: "999 B", then "1.0 KB", "12.4 MB",
    // "3.2 GB" with one decimal (1 KB = 1000 B, rounded to the nearest tenth;
    // a count that rounds to 1000.0 of a unit is shown in the next one).
    static QString BytesText(uint64_t bytes);

    // Lines from now on carry the clock's time (none: no time).
    void SetClock(TClock clock) { FClock = std::move(clock); }
    void SetMaxLines(int lines);
    int MaxLines() const { return FMaxLines; }
    // Lines dropped so far because the panel was full.
    qint64 Dropped() const { return FDropped; }

    // Every new line as shown (with its time): plain lines, a block's lines
    // as they come and its summary when it ends. For the log file.
    std::function<void(const QString &line)> FOnLine;

    const TActivityText &Text() const { return FText; }
    const std::vector<std::unique_ptr<TActivityChainLog>> &ChainLogs() const {
        return FChainLogList;
    }

private:
    std::vector<std::unique_ptr<TActivityChainLog>>::iterator FindLog(int32_t AContextID);
    // The time put before a line now; empty without a clock.
    QString Stamp() const;
    void Emit(const QString &line);
    void Trim();
    // Deletes the lines that are not in an open block while `more()` says so,
    // oldest first.
    void DropPlainLines(const std::function<bool()> &more);

    TActivityLines &FLines;
    TClock FClock;
    int FMaxLines = DefaultMaxLines;
    qint64 FDropped = 0;
    TActivityText FText;
    std::vector<std::unique_ptr<TActivityChainLog>> FChainLogList;
};
