// The window as the data folder's one writer: commands of the command line
// run beside it (the real program) hand their changes to it, and changes made
// in the window between and during them are all kept, on disk and on screen.
#include "app/InstanceControl.h"
#include "platform/DataFolderLock.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeSocksChain.h"

#include <QCoreApplication>
#include <QTreeWidget>
#include <cstdlib>
#include <set>

namespace {

using namespace VelmoraTest;

std::set<QString> StoredAddresses(const QString &folder) {
    TdmProxyData store(folder);
    store.LoadData();
    std::set<QString> addresses;
    for (const TDataTable::TRow *row : store.cdsProxies().AllRows())
        addresses.insert(store.cdsProxies().DisplayText(
            *row, store.cdsProxies().FieldIndex(QStringLiteral("IPAddress"))));
    return addresses;
}

// The command's exit status; the window serves it meanwhile (bounded: 60 s).
int Finish(TVelmoraProcess &command) {
    int status = -1;
    for (int wait = 0; wait < 600 && status < 0; ++wait) {
        QCoreApplication::processEvents();
        status = command.WaitExit(100);
    }
    return status;
}

TEST(WindowCommands, ChangesOfTheWindowAndOfCommandsBesideItAreAllKept) {
    TMainFixture f; // the window makes the data folder
    TfrmMain &window = f.Open();
    const QString home = f.Folder().chopped(QStringLiteral("VelmoraAnonymizer/").size());
    // What the window's start does: the folder's lock, then the control socket.
    TDataFolderLock lock(f.Folder());
    ASSERT_TRUE(lock.TryLock(TDataFolderLock::TMode::Shared, QStringLiteral("velmora window")));
    const QByteArray runtime = TVelmoraProcess::RuntimeDir(home).toUtf8();
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    TInstanceControl control(f.Services().ChainMgr(), f.Store(), TInstanceControl::TMode::Window);
    control.OnStoreChanged = [&window] { window.frmeSocksChain()->PopulatechainList(); };
    ASSERT_TRUE(control.Start()) << control.Problem().toStdString();

    std::set<QString> expected;
    for (int i = 1; i <= 5; ++i) {
        const QString theirs = QStringLiteral("198.51.100.%1").arg(i);
        const QString ours = QStringLiteral("203.0.113.%1").arg(i);
        expected.insert(theirs);
        expected.insert(ours);
        const QString list = home + QStringLiteral("/list%1.txt").arg(i);
        QFile file(list);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write((theirs + ":1080\n").toUtf8());
        file.close();
        TVelmoraProcess command({"import", list.toStdString()}, home);
        // The window changes the store while the command runs.
        f.Store().AddProxy(ours, 3128, TProxyType::ptHTTP);
        f.Store().SaveData();
        EXPECT_EQ(Finish(command), 0) << command.Lines().join("\n").toStdString();
    }
    TVelmoraProcess chain({"chain", "add", "FromTheCommandLine", "9311", "1"}, home);
    EXPECT_EQ(Finish(chain), 0) << chain.Lines().join("\n").toStdString();

    EXPECT_EQ(StoredAddresses(f.Folder()), expected);
    EXPECT_EQ(window.lvProxyList()->Model()->rowCount(), 10);
    EXPECT_FALSE(window.frmeSocksChain()
                     ->lvChains()
                     ->findItems(QStringLiteral("FromTheCommandLine"), Qt::MatchExactly)
                     .isEmpty());
    control.Stop();
    if (oldRuntime.isNull())
        ::unsetenv("XDG_RUNTIME_DIR");
    else
        ::setenv("XDG_RUNTIME_DIR", oldRuntime.constData(), 1);
}

} // namespace
