#include "tests/support/XdgData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace VelmoraTest {

TXdgData::TXdgData()
    : FOldHome(qgetenv("XDG_DATA_HOME")), FOldDirs(qgetenv("XDG_DATA_DIRS")),
      FHadHome(qEnvironmentVariableIsSet("XDG_DATA_HOME")),
      FHadDirs(qEnvironmentVariableIsSet("XDG_DATA_DIRS")) {
    QDir().mkpath(UserApplications());
    QDir().mkpath(SystemApplications());
    qputenv("XDG_DATA_HOME", QFile::encodeName(Home()));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(System()));
}

TXdgData::~TXdgData() {
    if (FHadHome)
        qputenv("XDG_DATA_HOME", FOldHome);
    else
        qunsetenv("XDG_DATA_HOME");
    if (FHadDirs)
        qputenv("XDG_DATA_DIRS", FOldDirs);
    else
        qunsetenv("XDG_DATA_DIRS");
}

QString TXdgData::PutEntry(const QString &dataFolder, const QString &name, const QByteArray &text) {
    const QString path = dataFolder + QStringLiteral("/applications/") + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return path;
}

} // namespace VelmoraTest
