#include "platform/KeyValueStore.h"

#include "platform/Error.h"

#include <QSettings>

TKeyValueStore::TKeyValueStore(const QString &keyPath) {
    const qsizetype slash = keyPath.indexOf(u'/');
    const QString organization = slash < 0 ? keyPath : keyPath.left(slash);
    const QString application = slash < 0 ? QString() : keyPath.mid(slash + 1);
    FSettings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            organization, application);
}

TKeyValueStore::~TKeyValueStore() = default;

QStringList TKeyValueStore::ValueNames() const {
    return FSettings->childKeys();
}

std::optional<QString> TKeyValueStore::Existing(const QString &name) const {
    for (const QString &key : FSettings->childKeys())
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return key;
    return std::nullopt;
}

std::optional<int32_t> TKeyValueStore::ReadInteger(const QString &name) const {
    const std::optional<QString> key = Existing(name);
    if (!key)
        return std::nullopt;
    bool ok = false;
    const int value = FSettings->value(*key).toInt(&ok);
    if (!ok)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

void TKeyValueStore::WriteInteger(const QString &name, int32_t value) {
    FSettings->setValue(Existing(name).value_or(name), static_cast<int>(value));
}

void TKeyValueStore::DeleteValue(const QString &name) {
    if (const std::optional<QString> key = Existing(name))
        FSettings->remove(*key);
}

void TKeyValueStore::Flush() {
    FSettings->sync();
    switch (FSettings->status()) {
    case QSettings::NoError:
        return;
    case QSettings::AccessError:
        throw EVelmoraError(QStringLiteral("Cannot write the key \"%1\": access denied.")
                                .arg(FSettings->fileName()));
    case QSettings::FormatError:
        throw EVelmoraError(QStringLiteral("Cannot read the key \"%1\": it is damaged.")
                                .arg(FSettings->fileName()));
    }
}

QString TKeyValueStore::Location() const {
    return FSettings->fileName();
}
