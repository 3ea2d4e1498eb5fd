#include "check/BulkIntake.h"

#include "platform/Error.h"
#include <QStringList>

namespace {

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

struct TScheme {
    QLatin1StringView Prefix;
    TProxyType Type;
};

const TScheme Schemes[] = {
    {QLatin1StringView("socks4://"), TProxyType::ptSOCKS4},
    {QLatin1StringView("socks5://"), TProxyType::ptSOCKS5},
    {QLatin1StringView("http://"), TProxyType::ptHTTP},
};

// Length of a leading "name://" (a URL scheme: a letter, then letters,
// digits, '+', '-' or '.'), 0 when the line has none.
qsizetype SchemeLength(const QString &line) {
    if (line.isEmpty() || line[0].unicode() >= 128 || !line[0].isLetter())
        return 0;
    qsizetype i = 1;
    while (i < line.size() && line[i].unicode() < 128 &&
           (line[i].isLetterOrNumber() || line[i] == u'+' || line[i] == u'-' || line[i] == u'.'))
        ++i;
    return line.mid(i, 3) == QLatin1StringView("://") ? i + 3 : 0;
}

} // namespace

QString TIntakeResult::DuplicatesText() const {
    if (Duplicates() == 0)
        return {};
    QStringList parts;
    if (AlreadyListed > 0)
        parts << QStringLiteral("%1 already in the list").arg(AlreadyListed);
    if (Repeated > 0)
        parts << QStringLiteral("%1 repeated in the list given").arg(Repeated);
    return QStringLiteral("%1 duplicate %2 not added: %3.")
        .arg(Duplicates())
        .arg(Duplicates() == 1 ? QStringLiteral("line was") : QStringLiteral("lines were"))
        .arg(parts.join(QStringLiteral(", ")));
}

QString TBulkIntake::UnknownSchemeMessage(const QString &scheme) {
    return QStringLiteral("'%1' is not a proxy type this list takes "
                          "(socks4://, socks5:// or http://)")
        .arg(scheme);
}

std::optional<int32_t> TBulkIntake::StrToInt(const QString &text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return std::nullopt; // no digits at all
    uint64_t value = 0;
    for (; i < n; ++i) {
        const int d =
            hex ? HexDigit(text[i])
                : (text[i].isDigit() && text[i].unicode() < 128 ? text[i].unicode() - '0' : -1);
        if (d < 0)
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }
    if (hex) {
        // Hexadecimal covers the full 32 bits; $FFFFFFFF reads as -1.
        const auto bits = static_cast<int32_t>(static_cast<uint32_t>(value));
        return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
    }
    if (negative) {
        if (value > 2147483648ull)
            return std::nullopt;
        return static_cast<int32_t>(-static_cast<int64_t>(value));
    }
    if (value > 2147483647ull)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

QString TBulkIntake::InvalidIntegerMessage(const QString &text) {
    return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

std::vector<TIntakeEntry> TBulkIntake::Parse(const QString &text) {
    std::vector<TIntakeEntry> entries;
    // Lines end at LF; a CR before it belongs to the line ending, as in a
    // text area pasted from another system.
    const QStringList lines = text.split(u'\n');
    for (qsizetype k = 0; k < lines.size(); ++k) {
        QString line = lines[k];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        TProxyType type = TProxyType::ptUnknown;
        if (const qsizetype schemeLength = SchemeLength(line)) {
            const QString scheme = line.left(schemeLength);
            const TScheme *known = nullptr;
            for (const TScheme &candidate : Schemes) {
                if (scheme.compare(candidate.Prefix, Qt::CaseInsensitive) == 0)
                    known = &candidate;
            }
            if (!known)
                throw EVelmoraError(UnknownSchemeMessage(scheme));
            type = known->Type;
            line.remove(0, schemeLength);
            if (line.endsWith(u'/')) // "http://192.0.2.1:3128/", as copied from a browser
                line.chop(1);
        }
        const qsizetype colon = line.indexOf(u':');
        if (colon >= 0 && colon + 1 < line.size()) {
            const QString portText = line.mid(colon + 1);
            const std::optional<int32_t> port = StrToInt(portText);
            if (!port)
                throw EVelmoraError(InvalidIntegerMessage(portText));
            entries.push_back({line.left(colon), *port, type});
        } else {
            entries.push_back({line, 0, type});
        }
    }
    return entries;
}
