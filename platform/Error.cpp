#include "platform/Error.h"

#include <QString>

EVelmoraError::EVelmoraError(const QString &message) : EVelmoraError(message.toStdString()) {}

QString EVelmoraError::Message() const {
    return QString::fromStdString(FMessage);
}
