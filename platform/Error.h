#pragma once
// Failures are exceptions carrying the exact English message the user sees.

#include <QString>
#include <stdexcept>
#include <string>

class EVelmoraError : public std::runtime_error {
public:
    explicit EVelmoraError(const std::string &message) : std::runtime_error(message) {}
    explicit EVelmoraError(const char *message) : std::runtime_error(message) {}
    explicit EVelmoraError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString Message() const { return QString::fromUtf8(what()); }
};
