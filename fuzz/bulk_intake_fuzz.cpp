// The bulk-intake line parser: either every line is taken or the first bad
// port text is named; each entry is what its line said, and the list rebuilt
// from the entries parses to the same entries.

#include "check/BulkIntake.h"
#include "fuzz/FuzzCheck.h"

#include "platform/Error.h"
#include <algorithm>

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    std::vector<TIntakeEntry> entries;
    try {
        entries = TBulkIntake::Parse(text);
    } catch (const EVelmoraError &e) {
        // The message names a port text or a scheme of one of the lines.
        FUZZ_CHECK(e.Message().startsWith(u'\''));
        FUZZ_CHECK(e.Message().endsWith(QStringLiteral("' is not a valid integer value")) ||
                   e.Message().endsWith(QStringLiteral("(socks4://, socks5:// or http://)")));
        return 0;
    }
    qsizetype lines = 0;
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (!line.isEmpty())
            ++lines;
    }
    FUZZ_CHECK(static_cast<size_t>(lines) == entries.size());

    QString rebuilt;
    for (const TIntakeEntry &e : entries) {
        FUZZ_CHECK(!e.Address.contains(u'\n'));
        switch (e.Type) {
        case TProxyType::ptSOCKS4:
            rebuilt += QStringLiteral("socks4://");
            break;
        case TProxyType::ptSOCKS5:
            rebuilt += QStringLiteral("socks5://");
            break;
        case TProxyType::ptHTTP:
            rebuilt += QStringLiteral("http://");
            break;
        case TProxyType::ptUnknown:
            break;
        default:
            FUZZ_CHECK(false); // no other type comes from a line
        }
        if (e.Address.contains(u':')) {
            // "host:" keeps its colon in the address and has port 0.
            FUZZ_CHECK(e.Address.endsWith(u':') && e.Address.count(u':') == 1 && e.Port == 0);
            rebuilt += e.Address + u'\n';
            continue;
        }
        // A port text is StrToInt-valid; decimal text of the value reads back.
        FUZZ_CHECK(TBulkIntake::StrToInt(QString::number(e.Port)) == e.Port);
        rebuilt += e.Address + u':' + QString::number(e.Port) + u'\n';
    }
    const std::vector<TIntakeEntry> again = TBulkIntake::Parse(rebuilt);
    FUZZ_CHECK(again.size() == entries.size());
    for (size_t i = 0; i < again.size(); ++i) {
        FUZZ_CHECK(again[i].Address == entries[i].Address || entries[i].Address.isEmpty());
        FUZZ_CHECK(again[i].Port == entries[i].Port);
        FUZZ_CHECK(again[i].Type == entries[i].Type);
    }
    return 0;
}
