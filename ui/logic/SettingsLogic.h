#pragma once
// The rules of the settings page's number fields ("Time-Out:" and
// "Sessions time out after:"), without the widgets: which keys may be typed,
// what a changed text stores, what leaving the field does, and what the
// arrows do. Whole numbers from 0 to 200.

#include <QChar>
#include <QString>
#include <cstdint>
#include <optional>

class TSettingsLogic {
public:
    static constexpr int32_t MinValue = 0;
    static constexpr int32_t MaxValue = 200;

    // Digits, the signs and the decimal separator; other printable keys are
    // refused (editing keys carry no text and are always let through).
    static bool KeyAccepted(QChar key);
    // Every character of a pasted text is one the keys could type.
    static bool TextAccepted(const QString &text);
    // The whole number a text reads as; "'<text>' is not a valid integer
    // value" otherwise.
    static int32_t StrToInt(const QString &text);
    // The value a changed text stores: none for an empty text, the number
    // otherwise; a text that is not a whole number throws as StrToInt.
    static std::optional<int32_t> ValueToStore(const QString &text);
    // Leaving the field: the value that replaces an out-of-range number (0 or
    // 200); none when the text is in range or not a number at all.
    static std::optional<int32_t> ClampOnExit(const QString &text);
    // The note under the local-only tick box: what unticking it exposes.
    static QString LocalOnlyNote();
    // An arrow pressed (delta +1 or -1): the new value, kept within the
    // range; a text that is not a number counts as 0.
    static int32_t Step(const QString &text, int delta);
};
