#include "ui/logic/SettingsLogic.h"

#include "engine/chain/dmSocksMgr.h"
#include "platform/Error.h"

#include <QLocale>
#include <algorithm>

namespace {

QChar DecimalSeparator() {
    const QString point = QLocale().decimalPoint();
    return point.isEmpty() ? QChar('.') : point.at(0);
}

std::optional<int32_t> ParseInt(const QString &text) {
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    int i = 0;
    bool negative = false;
    if (t[0] == QChar('+') || t[0] == QChar('-')) {
        negative = t[0] == QChar('-');
        i = 1;
    }
    if (i >= t.size())
        return std::nullopt;
    int64_t value = 0;
    for (; i < t.size(); ++i) {
        if (!t[i].isDigit() || t[i].unicode() > '9')
            return std::nullopt;
        value = value * 10 + (t[i].unicode() - '0');
        if (value > int64_t(INT32_MAX) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

} // namespace

bool TSettingsLogic::KeyAccepted(QChar key) {
    const char16_t c = key.unicode();
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || key == DecimalSeparator();
}

bool TSettingsLogic::TextAccepted(const QString &text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return KeyAccepted(c); });
}

int32_t TSettingsLogic::StrToInt(const QString &text) {
    if (auto value = ParseInt(text))
        return *value;
    throw EVelmoraError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

std::optional<int32_t> TSettingsLogic::ValueToStore(const QString &text) {
    if (text.isEmpty())
        return std::nullopt;
    return StrToInt(text);
}

std::optional<int32_t> TSettingsLogic::ClampOnExit(const QString &text) {
    const auto value = ParseInt(text);
    if (!value)
        return std::nullopt;
    if (*value < MinValue)
        return MinValue;
    if (*value > MaxValue)
        return MaxValue;
    return std::nullopt;
}

int32_t TSettingsLogic::Step(const QString &text, int delta) {
    const int32_t value = std::clamp(ParseInt(text).value_or(0), MinValue, MaxValue);
    return std::clamp(value + delta, MinValue, MaxValue);
}

QString TSettingsLogic::LocalOnlyNote() {
    return QStringLiteral("Unticked, ") + TdmSocksMgr::ExposedText() + QStringLiteral(".");
}
