#pragma once
// Windows-1252, the 8-bit code page of the table files' text columns. Qt 6
// has no codec for it, so the 256 entries live here.

#include <QByteArray>
#include <QString>

class TWin1252 {
public:
    // Every character outside the code page becomes '?'. A character outside
    // the Basic Multilingual Plane (a surrogate pair) is one '?'.
    static QByteArray FromUnicode(const QString &text);
    // As FromUnicode, then cut to at most `maxBytes` bytes (one byte per
    // character, so the first `maxBytes` characters survive).
    static QByteArray FromUnicode(const QString &text, int maxBytes);
    static QString ToUnicode(const QByteArray &bytes);
    static QChar ToUnicode(unsigned char byte);
    // The byte for one UTF-16 code unit, or -1 when the code page lacks it.
    static int ByteOf(char16_t unit);
};
