#include "ui/logic/WindowSettings.h"

#include "anonymize/AnonymHandOff.h"
#include "platform/DataFolder.h"
#include "platform/KeyValueStore.h"

#include <QFileInfo>

QString TWindowSettings::FileName() {
    const TKeyValueStore key(QString::fromLatin1(TAnonymHandOff::KeyPath));
    return QFileInfo(key.Location()).absolutePath() + QStringLiteral("/Window.conf");
}

TWindowSettings::TWindowSettings()
    : FSettings(std::make_unique<QSettings>(FileName(), QSettings::IniFormat)) {}

TWindowSettings::~TWindowSettings() = default;

QVariant TWindowSettings::Value(const char *key, const QVariant &fallback) const {
    return FSettings->value(QLatin1String(key), fallback);
}

void TWindowSettings::SetValue(const char *key, const QVariant &value) {
    FSettings->setValue(QLatin1String(key), value);
}

QString TWindowSettings::LogFilePath() const {
    const QString path = Value(LogFile).toString();
    return path.isEmpty() ? TDataFolder::GetDataFolder() + QStringLiteral("activity.log") : path;
}

QString TWindowSettings::ActivityLogFile() const {
    return Value(LogToFile, false).toBool() ? LogFilePath() : QString();
}
