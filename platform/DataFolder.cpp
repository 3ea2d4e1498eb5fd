#include "platform/DataFolder.h"

#include "platform/Error.h"

#include <QStandardPaths>

QString TDataFolder::GetDataFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw EVelmoraError("The per-user data location is not available.");
    return base + QStringLiteral("/VelmoraAnonymizer/");
}
