#include "app/ConsoleOut.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex &OutLock() {
    static std::mutex lock;
    return lock;
}

void Write(std::FILE *stream, const QString &line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::lock_guard<std::mutex> guard(OutLock());
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}
} // namespace

void TConsoleOut::Line(const QString &line) {
    Write(stdout, line);
}

void TConsoleOut::ErrorLine(const QString &line) {
    Write(stderr, line);
}
