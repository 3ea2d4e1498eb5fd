#pragma once
// The desktop's data folders moved into a temporary folder for a test's
// lifetime: XDG_DATA_HOME (this user's, where menu entries are written) and
// XDG_DATA_DIRS (one system folder), both searched for application entries;
// the former values come back after. QStandardPaths reads the variables on
// every call.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace VelmoraTest {

class TXdgData {
public:
    TXdgData() {
        QDir().mkpath(Home() + "/applications");
        QDir().mkpath(System() + "/applications");
        qputenv("XDG_DATA_HOME", QFile::encodeName(Home()));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(System()));
    }
    ~TXdgData() {
        for (const auto &[name, value, had] : FOld)
            had ? qputenv(name, value) : qunsetenv(name);
    }
    TXdgData(const TXdgData &) = delete;
    TXdgData &operator=(const TXdgData &) = delete;

    QString Home() const { return FDir.path() + "/home"; }
    QString System() const { return FDir.path() + "/system"; }
    QString UserApplications() const { return Home() + "/applications"; }
    // Writes `text` as the file `name` (it may hold a sub-folder) of a data
    // folder's "applications"; returns its path.
    static QString PutEntry(const QString &dataFolder, const QString &name,
                            const QByteArray &text) {
        const QString path = dataFolder + "/applications/" + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
        return path;
    }

private:
    struct TOld {
        const char *Name;
        QByteArray Value;
        bool Had;
    };
    QTemporaryDir FDir;
    const TOld FOld[2] = {
        {"XDG_DATA_HOME", qgetenv("XDG_DATA_HOME"), qEnvironmentVariableIsSet("XDG_DATA_HOME")},
        {"XDG_DATA_DIRS", qgetenv("XDG_DATA_DIRS"), qEnvironmentVariableIsSet("XDG_DATA_DIRS")}};
};

} // namespace VelmoraTest
