#include "platform/ProgramFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <mutex>

#ifndef VELMORA_INSTALL_DATADIR
#define VELMORA_INSTALL_DATADIR "/usr/local/share"
#endif
#ifndef VELMORA_BINDIR_TO_DATADIR
#define VELMORA_BINDIR_TO_DATADIR "../share"
#endif

const QString TProgramFiles::ThemeFile = QStringLiteral("Style.vsf");
const QString TProgramFiles::HelpFile = QStringLiteral("readme.txt");

namespace {

const QString SubFolder = QStringLiteral("velmora");

std::mutex gMutex;
std::optional<QStringList> gFolders;

// The folder of the running program (not of a module it loaded).
QString ProgramFolder() {
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString target = exe.symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).absolutePath();
}

} // namespace

QStringList TProgramFiles::Folders() {
    {
        std::lock_guard lock(gMutex);
        if (gFolders)
            return *gFolders;
    }
    QStringList folders{QDir::currentPath()};
    for (const QString &data :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        folders << QDir(data).filePath(SubFolder);
    const QString program = ProgramFolder();
    if (!program.isEmpty())
        folders << QDir(program).filePath(QStringLiteral(VELMORA_BINDIR_TO_DATADIR "/") +
                                          SubFolder);
    folders << QDir(QStringLiteral(VELMORA_INSTALL_DATADIR)).filePath(SubFolder);

    QStringList unique;
    for (const QString &folder : folders) {
        const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
        if (!unique.contains(clean))
            unique << clean;
    }
    return unique;
}

QString TProgramFiles::Locate(const QString &name) {
    return Locate(name, Folders());
}

QString TProgramFiles::Locate(const QString &name, const QStringList &folders) {
    for (const QString &folder : folders) {
        const QFileInfo file(QDir(folder).filePath(name));
        if (file.isFile() && file.isReadable())
            return file.absoluteFilePath();
    }
    return {};
}

void TProgramFiles::SetFolders(std::optional<QStringList> folders) {
    std::lock_guard lock(gMutex);
    gFolders = std::move(folders);
}
