#pragma once
// Bulk intake of pasted proxy lists: one proxy a line, "address" or
// "address:port". Every line is checked before anything is added, so a bad
// line adds nothing at all.

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

class TdmProxyData;

struct TIntakeEntry {
    QString Address;
    int32_t Port = 0;
};

class TBulkIntake {
public:
    // Splits the text into entries. Throws EVelmoraError with the message for
    // the first line whose port text does not convert.
    static std::vector<TIntakeEntry> Parse(const QString &text);
    // Parses, then adds every entry as a proxy of unknown type and saves the
    // tables. Returns the number of proxies added.
    static int Apply(TdmProxyData &store, const QString &text);
    // Port text to a signed 32-bit integer: leading blanks, an optional sign,
    // then decimal digits or hexadecimal after "$", "x", "X", "0x" or "0X".
    static std::optional<int32_t> StrToInt(const QString &text);
    // The message for a port text that does not convert.
    static QString InvalidIntegerMessage(const QString &text);
};
