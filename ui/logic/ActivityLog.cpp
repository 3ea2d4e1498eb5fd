#include "ui/logic/ActivityLog.h"

#include <QStringList>
#include <algorithm>
#include <iterator>

TActivityLog::TActivityLog(TActivityLines &AVisibleLines, TClock clock)
    : FLines(AVisibleLines), FClock(std::move(clock)) {}

QString TActivityLog::Stamp() const {
    if (!FClock)
        return {};
    return FClock().time().toString(QStringLiteral("HH:mm:ss "));
}

void TActivityLog::Emit(const QString &line) {
    if (FOnLine)
        FOnLine(line);
}

void TActivityLog::AddMessage(const QString &AMsg) {
    const QString line = Stamp() + AMsg;
    FText.push_back({line, nullptr});
    FLines.Append(line);
    Emit(line);
    Trim();
}

void TActivityLog::CreateChainLog(int32_t, int32_t AContextID, const QString &AActivityMsg) {
    auto log = std::make_unique<TActivityChainLog>(FLines, static_cast<uint32_t>(AContextID));
    log->FRequest = AActivityMsg;
    log->FStamp = Stamp();
    if (FClock)
        log->FStarted = FClock();
    const QString line = log->FStamp + AActivityMsg;
    log->AddFirstLine(FText, line);
    FChainLogList.push_back(std::move(log));
    Emit(line);
    Trim();
}

void TActivityLog::WriteChainLog(int32_t, int32_t AContextID, const QString &AActivityMsg) {
    auto it = FindLog(AContextID);
    if (it == FChainLogList.end())
        return;
    const QString line = Stamp() + AActivityMsg;
    (*it)->AddLine(line);
    (*it)->Note(AActivityMsg);
    Emit(line);
    Trim();
}

void TActivityLog::RecordBytes(int32_t AContextID, uint64_t ABytes) {
    auto it = FindLog(AContextID);
    if (it != FChainLogList.end())
        (*it)->FBytes = ABytes;
}

void TActivityLog::DeleteChainLog(int32_t AContextID, const QString &) {
    auto it = FindLog(AContextID);
    if (it == FChainLogList.end()) {
        AddMessage(QStringLiteral("chain not found"));
        return;
    }
    TActivityChainLog &log = **it;
    const qint64 elapsed =
        FClock && log.FStarted.isValid() ? log.FStarted.msecsTo(FClock()) : qint64(-1);
    const QString line = log.FStamp + Summary(log, elapsed);
    log.Collapse(line);
    FChainLogList.erase(it);
    Emit(line);
}

QString TActivityLog::Summary(const TActivityChainLog &log, qint64 elapsedMs) {
    QStringList parts;
    parts << QStringLiteral("%1 %2").arg(log.Hops()).arg(log.Hops() == 1 ? "hop" : "hops");
    if (log.FailedHops() > 0)
        parts << QStringLiteral("%1 failed").arg(log.FailedHops());
    if (log.FBytes > 0)
        parts << BytesText(log.FBytes);
    if (elapsedMs >= 0)
        parts << (elapsedMs < 10000
                      ? QStringLiteral("%1 s").arg(double(elapsedMs) / 1000.0, 0, 'f', 1)
                      : QStringLiteral("%1 s").arg((elapsedMs + 500) / 1000));
    return log.FRequest + QStringLiteral(" ... ") + parts.join(QStringLiteral(", "));
}

QString TActivityLog::BytesText(uint64_t bytes) {
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"KB", "MB", "GB"};
    uint64_t unit = 1000;
    for (size_t i = 0;; ++i, unit *= 1000) {
        // Tenths of the unit, rounded half up, in integers: no float error
        // at the boundaries.
        const uint64_t tenth = unit / 10;
        const uint64_t tenths = bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0);
        if (tenths < 10000 || i + 1 == std::size(units))
            return QStringLiteral("%1.%2 %3")
                .arg(tenths / 10)
                .arg(tenths % 10)
                .arg(QLatin1String(units[i]));
    }
}

void TActivityLog::Clear() {
    const qint64 dropped = FDropped; // what the user clears is not counted
    DropPlainLines([] { return true; });
    FDropped = dropped;
}

void TActivityLog::SetMaxLines(int lines) {
    FMaxLines = std::max(1, lines);
    Trim();
}

void TActivityLog::Trim() {
    if (static_cast<int>(FText.size()) <= FMaxLines)
        return;
    DropPlainLines([this] { return static_cast<int>(FText.size()) > FMaxLines; });
}

void TActivityLog::DropPlainLines(const std::function<bool()> &more) {
    size_t i = 0;
    while (i < FText.size() && more()) {
        if (const TActivityChainLog *log = FText[i].Log) {
            i += static_cast<size_t>(std::max(1, log->NoOfLines()));
            continue;
        }
        FLines.Delete(static_cast<int>(i));
        FText.erase(FText.begin() + static_cast<std::ptrdiff_t>(i));
        ++FDropped;
    }
}

std::vector<std::unique_ptr<TActivityChainLog>>::iterator
TActivityLog::FindLog(int32_t AContextID) {
    const auto id = static_cast<uint32_t>(AContextID);
    for (auto it = FChainLogList.begin(); it != FChainLogList.end(); ++it)
        if ((*it)->ContextID() == id)
            return it;
    return FChainLogList.end();
}
