#pragma once
// The desktop's data folders moved into a temporary folder for a test's
// lifetime: XDG_DATA_HOME (this user's, where menu entries are written) and
// XDG_DATA_DIRS (one system folder), both searched for application entries.
// The former values come back when it goes. Set before QStandardPaths is
// asked; QStandardPaths reads the variables on every call.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace VelmoraTest {

class TXdgData {
public:
    TXdgData();
    ~TXdgData();
    TXdgData(const TXdgData &) = delete;
    TXdgData &operator=(const TXdgData &) = delete;

    QString Home() const { return FDir.path() + QStringLiteral("/home"); }
    QString System() const { return FDir.path() + QStringLiteral("/system"); }
    QString UserApplications() const { return Home() + QStringLiteral("/applications"); }
    QString SystemApplications() const { return System() + QStringLiteral("/applications"); }
    // Writes `text` as the file `name` (it may hold a sub-folder) of a data
    // folder's "applications"; returns its path.
    static QString PutEntry(const QString &dataFolder, const QString &name, const QByteArray &text);

private:
    QTemporaryDir FDir;
    QByteArray FOldHome;
    QByteArray FOldDirs;
    bool FHadHome;
    bool FHadDirs;
};

} // namespace VelmoraTest
