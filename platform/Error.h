#pragma once
// Failures are exceptions carrying the exact English message the user sees.

#include <QString>
#include <stdexcept>
#include <string>

class EVelmoraError : public std::runtime_error {
public:
    explicit EVelmoraError(const std::string &message)
        : std::runtime_error(message), FMessage(QString::fromStdString(message)) {}
    explicit EVelmoraError(const char *message)
        : std::runtime_error(message), FMessage(QString::fromUtf8(message)) {}
    explicit EVelmoraError(const QString &message)
        : std::runtime_error(message.toStdString()), FMessage(message) {}
    // The whole message, also when it quotes text with a 0 character in it
    // (what() ends at the first one).
    QString Message() const { return FMessage; }

private:
    QString FMessage;
};
