#include "ui/logic/ActivityLog.h"

TActivityLog::TActivityLog(TActivityLines &AVisibleLines) : FLines(AVisibleLines) {}

void TActivityLog::AddMessage(const QString &AMsg) {
    FText.push_back({AMsg, nullptr});
    FLines.Append(AMsg);
}

void TActivityLog::CreateChainLog(int32_t, int32_t AContextID, const QString &AActivityMsg) {
    auto log = std::make_unique<TActivityChainLog>(FLines, static_cast<uint32_t>(AContextID));
    log->AddFirstLine(FText, AActivityMsg);
    FChainLogList.push_back(std::move(log));
}

void TActivityLog::WriteChainLog(int32_t, int32_t AContextID, const QString &AActivityMsg) {
    auto it = FindLog(AContextID);
    if (it != FChainLogList.end())
        (*it)->AddLine(AActivityMsg);
}

void TActivityLog::DeleteChainLog(int32_t AContextID, const QString &) {
    auto it = FindLog(AContextID);
    if (it == FChainLogList.end()) {
        AddMessage(QStringLiteral("chain not found"));
        return;
    }
    (*it)->RemoveLines();
    FChainLogList.erase(it);
}

std::vector<std::unique_ptr<TActivityChainLog>>::iterator
TActivityLog::FindLog(int32_t AContextID) {
    const auto id = static_cast<uint32_t>(AContextID);
    for (auto it = FChainLogList.begin(); it != FChainLogList.end(); ++it)
        if ((*it)->ContextID() == id)
            return it;
    return FChainLogList.end();
}
