#include "platform/ServerSettings.h"

#include "platform/Error.h"
#include "platform/KeyValueStore.h"

namespace {

QString RangeText() {
    return QStringLiteral("a whole number from %1 to %2")
        .arg(TServerSettings::MinMaxClients)
        .arg(TServerSettings::MaxMaxClients);
}

bool InRange(int value) {
    return value >= TServerSettings::MinMaxClients && value <= TServerSettings::MaxMaxClients;
}

} // namespace

QString TServerSettings::FileName() {
    return TKeyValueStore(QString::fromLatin1(KeyPath)).Location();
}

int TServerSettings::MaxClients(QString *problem) {
    const TKeyValueStore store(QString::fromLatin1(KeyPath));
    const QString name = QString::fromLatin1(MaxClientsName);
    if (!store.ValueNames().contains(name, Qt::CaseInsensitive))
        return DefaultMaxClients;
    const std::optional<int32_t> value = store.ReadInteger(name);
    if (value && InRange(*value))
        return *value;
    if (problem)
        *problem = QStringLiteral("%1: %2 is not %3; %4 clients are served at once")
                       .arg(store.Location(), name, RangeText())
                       .arg(DefaultMaxClients);
    return DefaultMaxClients;
}

void TServerSettings::SetMaxClients(int value) {
    if (!InRange(value))
        throw EVelmoraError(QStringLiteral("Clients served at once must be %1, not %2")
                                .arg(RangeText())
                                .arg(value));
    TKeyValueStore store(QString::fromLatin1(KeyPath));
    store.WriteInteger(QString::fromLatin1(MaxClientsName), value);
    store.Flush();
}
