#pragma once
// What the activity panel shows, without the widget: plain lines that stay,
// and one block of lines per open connection (a TActivityChainLog) that
// grows in hop order and vanishes when the connection ends. FText mirrors the
// visible lines index for index; a block's first entry refers to its log.
// Runs on the user-interface thread only (the panel queues every call).

#include "ui/logic/ActivityChainLog.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class TActivityLog {
public:
    explicit TActivityLog(TActivityLines &AVisibleLines);
    TActivityLog(const TActivityLog &) = delete;
    TActivityLog &operator=(const TActivityLog &) = delete;

    // A plain line at the end.
    void AddMessage(const QString &AMsg);
    // A new block whose first line is AActivityMsg. AChainUID is not used.
    void CreateChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    // A line for the first block of AContextID; dropped when there is none.
    void WriteChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    // Removes the first block of AContextID; "chain not found" as a plain line
    // when there is none. AActivityMsg is not shown.
    void DeleteChainLog(int32_t AContextID, const QString &AActivityMsg);

    const TActivityText &Text() const { return FText; }
    const std::vector<std::unique_ptr<TActivityChainLog>> &ChainLogs() const {
        return FChainLogList;
    }

private:
    std::vector<std::unique_ptr<TActivityChainLog>>::iterator FindLog(int32_t AContextID);

    TActivityLines &FLines;
    TActivityText FText;
    std::vector<std::unique_ptr<TActivityChainLog>> FChainLogList;
};
