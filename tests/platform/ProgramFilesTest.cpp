// The files that come with the program: the folders searched and their
// order (working directory, this user's data folder, the system's, the
// installation's), each folder once, and the first readable file winning.
#include "platform/ProgramFiles.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/XdgData.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

// Makes the working directory a folder of the test's own while it lives.
class TWorkingDir {
public:
    explicit TWorkingDir(const QString &path) : FOld(QDir::currentPath()) {
        QDir().mkpath(path);
        QDir::setCurrent(path);
    }
    ~TWorkingDir() { QDir::setCurrent(FOld); }

private:
    QString FOld;
};

QString Put(const QString &folder, const QString &name, const QByteArray &text = "x") {
    QDir().mkpath(folder);
    QFile file(folder + "/" + name);
    file.open(QIODevice::WriteOnly);
    file.write(text);
    return QDir::cleanPath(file.fileName());
}

} // namespace

TEST(ProgramFiles, FoldersAreSearchedWorkingDirectoryUserSystemThenTheInstallation) {
    TXdgData xdg;
    QTemporaryDir other;
    const QString second = other.path() + "/second";
    qputenv("XDG_DATA_DIRS", QFile::encodeName(xdg.System() + ":" + second));
    TWorkingDir cwd(other.path() + "/work");

    const QStringList folders = TProgramFiles::Folders();
    ASSERT_GE(folders.size(), 4);
    EXPECT_EQ(folders[0], QDir::cleanPath(other.path() + "/work"));
    EXPECT_EQ(folders[1], QDir::cleanPath(xdg.Home() + "/velmora"));
    EXPECT_EQ(folders[2], QDir::cleanPath(xdg.System() + "/velmora"));
    EXPECT_EQ(folders[3], QDir::cleanPath(second + "/velmora"));
    // Then the installation's data, beside the running program and where it
    // was built to go.
    EXPECT_TRUE(folders.last().endsWith("/velmora")) << folders.last().toStdString();
    for (const QString &folder : folders)
        EXPECT_TRUE(QDir::isAbsolutePath(folder)) << folder.toStdString();
    EXPECT_EQ(folders.size(), QSet<QString>(folders.begin(), folders.end()).size());
}

TEST(ProgramFiles, AFolderNamedTwiceIsSearchedOnce) {
    TXdgData xdg;
    TWorkingDir cwd(xdg.Home() + "/velmora"); // the user's data folder is also the working one
    const QStringList folders = TProgramFiles::Folders();
    EXPECT_EQ(folders.count(QDir::cleanPath(xdg.Home() + "/velmora")), 1)
        << folders.join(", ").toStdString();
}

TEST(ProgramFiles, TheFirstFolderHoldingTheFileWins) {
    TXdgData xdg;
    QTemporaryDir other;
    TWorkingDir cwd(other.path());
    const QString name = TProgramFiles::HelpFile;

    // Nowhere yet (the test's own folders only: an installed copy of the
    // program on this machine is not to be found).
    const QStringList own{other.path(), xdg.Home() + "/velmora", xdg.System() + "/velmora"};
    EXPECT_TRUE(TProgramFiles::Locate(name, own).isEmpty());

    const QString system = Put(xdg.System() + "/velmora", name);
    EXPECT_EQ(TProgramFiles::Locate(name, own), system);
    EXPECT_EQ(TProgramFiles::Locate(name), system); // the standard folders see it too

    const QString user = Put(xdg.Home() + "/velmora", name);
    EXPECT_EQ(TProgramFiles::Locate(name), user);

    const QString here = Put(other.path(), name);
    EXPECT_EQ(TProgramFiles::Locate(name), here);
    // Each name is looked for on its own.
    EXPECT_EQ(TProgramFiles::Locate(TProgramFiles::ThemeFile, own), QString());
}

TEST(ProgramFiles, AFolderOfTheFilesNameIsNotTheFile) {
    QTemporaryDir first, second;
    QDir(first.path()).mkdir(TProgramFiles::ThemeFile);
    const QString file = Put(second.path(), TProgramFiles::ThemeFile);
    EXPECT_EQ(TProgramFiles::Locate(TProgramFiles::ThemeFile, {first.path(), second.path()}), file);
}

TEST(ProgramFiles, FoldersSetByATestReplaceTheStandardOnesUntilReset) {
    QTemporaryDir only;
    const QString file = Put(only.path(), TProgramFiles::ThemeFile);
    TProgramFiles::SetFolders(QStringList{only.path()});
    EXPECT_EQ(TProgramFiles::Folders(), QStringList{only.path()});
    EXPECT_EQ(TProgramFiles::Locate(TProgramFiles::ThemeFile), file);
    TProgramFiles::SetFolders(std::nullopt);
    EXPECT_GE(TProgramFiles::Folders().size(), 3);
}
