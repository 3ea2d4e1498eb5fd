// Adding a parsed list to the store: the parsing itself (BulkIntake.cpp) has
// no store behind it, so the fuzz target takes it alone.

#include "check/BulkIntake.h"

#include "store/Win1252.h"
#include "store/dmProxyData.h"

#include <QSet>
#include <utility>

namespace {

QString Key(const QString &address, int32_t port) {
    return address.toLower() + u'|' + QString::number(port);
}

} // namespace

TIntakeResult TBulkIntake::Apply(TdmProxyData &store, const QString &text) {
    const std::vector<TIntakeEntry> entries = Parse(text);
    TIntakeResult result;
    const TDataTable &proxies = std::as_const(store).cdsProxies();
    const int addressField = proxies.FieldIndex(QStringLiteral("IPAddress"));
    const int portField = proxies.FieldIndex(QStringLiteral("Port"));
    QSet<QString> listed;
    for (const TDataTable::TRow *row : proxies.AllRows()) {
        const TFieldValue address = proxies.RowValue(*row, addressField);
        const TFieldValue port = proxies.RowValue(*row, portField);
        const QByteArray *bytes = std::get_if<QByteArray>(&address);
        const int64_t *number = std::get_if<int64_t>(&port);
        listed.insert(Key(bytes ? TWin1252::ToUnicode(*bytes) : QString(),
                          number ? static_cast<int32_t>(*number) : 0));
    }
    // An address is compared as the table keeps it (in its field's size).
    const int addressSize = proxies.Schema().Fields[addressField].Size;
    QSet<QString> given;
    for (const TIntakeEntry &e : entries) {
        const QString key =
            Key(TWin1252::ToUnicode(TWin1252::FromUnicode(e.Address, addressSize)), e.Port);
        if (listed.contains(key)) {
            ++result.AlreadyListed;
        } else if (given.contains(key)) {
            ++result.Repeated;
        } else {
            given.insert(key);
            store.AddProxy(e.Address, e.Port, e.Type);
            ++result.Added;
        }
    }
    if (result.Added > 0)
        store.SaveData();
    return result;
}
