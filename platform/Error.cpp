#include "platform/Error.h"

#include <QString>

EVelmoraError::EVelmoraError(const QString &message)
    : std::runtime_error(message.toStdString()), FMessage(message.toStdString()) {}

QString EVelmoraError::Message() const {
    return QString::fromStdString(FMessage);
}
