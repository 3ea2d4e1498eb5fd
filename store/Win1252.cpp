#include "store/Win1252.h"

namespace {

// 0x80..0x9F; the five bytes Windows leaves undefined (81, 8D, 8F, 90, 9D)
// map to the C1 control of the same number, as the system converter does.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

QChar TWin1252::ToUnicode(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F)
        return QChar(kHigh[byte - 0x80]);
    return QChar(static_cast<char16_t>(byte));
}

QString TWin1252::ToUnicode(const QByteArray &bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *dst = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        dst[i] = ToUnicode(static_cast<unsigned char>(bytes[i]));
    return out;
}

int TWin1252::ByteOf(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return unit;
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == unit)
            return 0x80 + i;
    return -1;
}

QByteArray TWin1252::FromUnicode(const QString &text) {
    return FromUnicode(text, -1);
}

QByteArray TWin1252::FromUnicode(const QString &text, int maxBytes) {
    QByteArray out;
    out.reserve(maxBytes >= 0 ? std::min<qsizetype>(maxBytes, text.size()) : text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (maxBytes >= 0 && out.size() >= maxBytes)
            break;
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < n &&
            QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i; // one character outside the code page
        const int b = ByteOf(unit);
        out.append(b < 0 ? '?' : static_cast<char>(b));
    }
    return out;
}
