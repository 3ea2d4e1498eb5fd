#include "ui/logic/ActivityChainLog.h"

#include "platform/Error.h"

TActivityChainLog::TActivityChainLog(TActivityLines &ALogStrings, uint32_t AContextID)
    : FLogStrings(ALogStrings), FContextID(AContextID) {}

void TActivityChainLog::AddFirstLine(TActivityText &AChainLogString, const QString &text) {
    FChainLogString = &AChainLogString;
    FChainLogString->push_back({text, this});
    FLogStrings.Append(text);
    FNoOfLines = 1;
}

int TActivityChainLog::FindFirstLine() const {
    if (!FChainLogString)
        return -1;
    const TActivityText &lines = *FChainLogString;
    for (size_t i = lines.size(); i-- > 0;)
        if (lines[i].Log == this)
            return static_cast<int>(i);
    return -1;
}

void TActivityChainLog::AddLine(const QString &text) {
    const int start = FindFirstLine();
    if (start == -1)
        throw EVelmoraError("error get ChainLog");
    TActivityText &lines = *FChainLogString;
    const int position = start + FNoOfLines;
    if (position >= static_cast<int>(lines.size())) {
        lines.push_back({text, nullptr});
        FLogStrings.Append(text);
    } else {
        FLogStrings.Insert(position, text);
        lines.insert(lines.begin() + position, TActivityTextLine{text, nullptr});
    }
    ++FNoOfLines;
}

void TActivityChainLog::RemoveLines() {
    const int start = FindFirstLine();
    if (start == -1)
        return;
    TActivityText &lines = *FChainLogString;
    for (int i = start + FNoOfLines - 1; i >= start; --i) {
        if (i >= static_cast<int>(lines.size()))
            continue;
        FLogStrings.Delete(i);
        lines.erase(lines.begin() + i);
    }
}

void TActivityChainLog::Collapse(const QString &text) {
    const int start = FindFirstLine();
    if (start == -1)
        return;
    RemoveLines();
    TActivityText &lines = *FChainLogString;
    if (start >= static_cast<int>(lines.size())) {
        lines.push_back({text, nullptr});
        FLogStrings.Append(text);
    } else {
        lines.insert(lines.begin() + start, TActivityTextLine{text, nullptr});
        FLogStrings.Insert(start, text);
    }
    FNoOfLines = 0;
}

void TActivityChainLog::Note(const QString &line) {
    // " ...Connect proxy A => B" per hop that connected; " ...Hop N (...)
    // failed: ..." per hop that did not.
    if (line.startsWith(QLatin1String(" ...Connect proxy ")) &&
        !line.endsWith(QLatin1String("[FAILED]")))
        ++FHops;
    else if (line.startsWith(QLatin1String(" ...Hop ")) && line.contains(QLatin1String(" failed")))
        ++FFailedHops;
}
