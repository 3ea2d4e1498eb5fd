#include "platform/DataFolderLock.h"

#include "platform/Clock.h"
#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

const QString TDataFolderLock::FileName = QStringLiteral(".lock");

TDataFolderLock::TDataFolderLock(QString folder) : FPath(std::move(folder) + FileName) {}

TDataFolderLock::~TDataFolderLock() {
    if (FFd >= 0)
        ::close(FFd); // the lock goes with the descriptor
}

bool TDataFolderLock::TryLock(TMode mode, const QString &holder) {
    if (FHeld)
        return true;
    if (FFd < 0) {
        const QByteArray path = QFile::encodeName(FPath);
        FFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        // One made by another user (root, say) still locks when only read;
        // its holder line then stays as it is.
        if (FFd < 0 && (errno == EACCES || errno == EROFS))
            FFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0)
            throw EVelmoraError(QStringLiteral("Cannot open the lock file \"%1\". %2")
                                    .arg(QDir::toNativeSeparators(FPath),
                                         QString::fromLocal8Bit(std::strerror(errno))));
    }
    const int how = (mode == TMode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    int result;
    do
        result = ::flock(FFd, how);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        return false;
    FHeld = true;
    if (holder.isEmpty())
        return true;
    const std::string text = std::to_string(::getpid()) + " " + holder.toStdString() + "\n";
    if (::ftruncate(FFd, 0) == 0 && ::pwrite(FFd, text.data(), text.size(), 0) < 0) {
        // Only the waiters' message misses the name; the lock itself holds.
    }
    return true;
}

bool TDataFolderLock::Lock(TMode mode, const QString &holder, int timeoutMs) {
    const int64_t end = TClock::TickMs() + timeoutMs;
    while (!TryLock(mode, holder)) {
        if (TClock::TickMs() >= end)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString TDataFolderLock::Holder() const {
    char buffer[512] = {};
    const ssize_t got = FFd >= 0 ? ::pread(FFd, buffer, sizeof buffer - 1, 0) : -1;
    const QString text = got > 0 ? QString::fromUtf8(buffer, got).trimmed() : QString();
    const qsizetype space = text.indexOf(u' ');
    if (space <= 0)
        return QStringLiteral("another process");
    return QStringLiteral("process %1 (%2)").arg(text.left(space), text.mid(space + 1));
}
