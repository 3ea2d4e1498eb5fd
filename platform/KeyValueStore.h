#pragma once
// The per-user key-value store that an outside redirector reads: one key
// holding named 32-bit values. On Linux it is an INI file under
// $XDG_CONFIG_HOME whose path mirrors the key ("VelmoraAnonumizer/AnonymList"
// becomes ~/.config/VelmoraAnonumizer/AnonymList.conf, values in [General]);
// on Windows it is HKEY_CURRENT_USER\SOFTWARE\<key>. Value names are compared
// without regard to case, as the registry does.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

class QSettings;

class TKeyValueStore {
public:
    // keyPath: "Organization/Key", e.g. "VelmoraAnonumizer/AnonymList".
    explicit TKeyValueStore(const QString &keyPath);
    ~TKeyValueStore();
    TKeyValueStore(const TKeyValueStore &) = delete;
    TKeyValueStore &operator=(const TKeyValueStore &) = delete;

    // Names of the values directly in the key (sub-keys are not values).
    QStringList ValueNames() const;
    std::optional<int32_t> ReadInteger(const QString &name) const;
    // Writes a value; an existing value whose name differs only in case is
    // replaced and keeps its name.
    void WriteInteger(const QString &name, int32_t value);
    void DeleteValue(const QString &name);
    // Writes the key to its backing store; throws EVelmoraError when that fails.
    void Flush();
    // Where the key lives (the file on Linux, the registry path on Windows).
    QString Location() const;

private:
    std::optional<QString> Existing(const QString &name) const;

    std::unique_ptr<QSettings> FSettings;
};
