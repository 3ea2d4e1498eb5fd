#include "anonymize/AnonymHandOff.h"

#include "platform/KeyValueStore.h"
#include "store/dmProxyData.h"

bool TAnonymHandOff::WriteAnonymListToRegistry(TdmProxyData &store) {
    TKeyValueStore key(QString::fromLatin1(KeyPath));
    for (const QString &name : key.ValueNames())
        key.DeleteValue(name);
    TDataTable &programs = store.cdsAnonymizedList();
    const int fileField = programs.FieldIndex(QStringLiteral("Filename"));
    const int portField = programs.FieldIndex(QStringLiteral("ChainPort"));
    for (const TDataTable::TRow *row : programs.AllRows()) {
        const QString name = programs.DisplayText(*row, fileField);
        if (name.isEmpty())
            continue; // no program to name; the dialog never stores one
        const TFieldValue port = programs.RowValue(*row, portField);
        const auto *value = std::get_if<int64_t>(&port);
        key.WriteInteger(name, value ? static_cast<int32_t>(*value) : 0);
    }
    key.Flush();
    return true;
}

QString TAnonymHandOff::Location() {
    return TKeyValueStore(QString::fromLatin1(KeyPath)).Location();
}
