#pragma once
// Failures are exceptions carrying the exact English message the user sees.
// Free of Qt, so the wire codecs can throw it without linking Qt; the QString
// constructor and Message() live in platform/Error.cpp, and their callers
// include <QString> themselves.

#include <stdexcept>
#include <string>

class QString;

class EVelmoraError : public std::runtime_error {
public:
    explicit EVelmoraError(const std::string &message)
        : std::runtime_error(message), FMessage(message) {}
    explicit EVelmoraError(const char *message) : std::runtime_error(message), FMessage(message) {}
    explicit EVelmoraError(const QString &message);
    // The whole message, also when it quotes text with a 0 character in it
    // (what() ends at the first one).
    QString Message() const;

private:
    std::string FMessage; // UTF-8
};
