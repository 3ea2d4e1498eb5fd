// One writer of the data folder: beside a running instance (headless or the
// window) every change of the command line is made by the instance, so its
// next save keeps it; without one, commands take turns on the folder's lock,
// and an instance waits for a command that holds it.
#include "platform/DataFolderLock.h"
#include "store/dmProxyData.h"
#include "tests/support/CheckTestSupport.h"
#include "tests/support/Peers.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <unistd.h>

namespace {

using namespace VelmoraTest;

class OneWriter : public ::testing::Test {
protected:
    QTemporaryDir Home;
    uint16_t WorkPort = FreeLoopbackPort();

    QString Folder() const { return Home.path() + "/VelmoraAnonymizer/"; }

    struct TResult {
        int Status;
        QStringList Lines; // standard output and error
    };
    TResult Run(const std::vector<std::string> &args) {
        TVelmoraProcess p(args, Home.path());
        const int status = p.WaitExit(120000);
        p.WaitForLine(QStringLiteral("\x01never"), 200); // the reader sees the end
        return {status, p.Lines()};
    }
    std::string ListFile(const QString &name, const QByteArray &text) {
        const QString path = Home.path() + "/" + name;
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return path.toStdString();
    }
    // The proxies' addresses as the files hold them now.
    std::set<QString> StoredAddresses() {
        TdmProxyData store(Folder());
        store.LoadData();
        std::set<QString> addresses;
        for (const TDataTable::TRow *row : store.cdsProxies().AllRows())
            addresses.insert(store.cdsProxies().DisplayText(
                *row, store.cdsProxies().FieldIndex(QStringLiteral("IPAddress"))));
        return addresses;
    }
    // Proxy 1 (status OK, through `hopPort`) and the chain "Work" through it.
    void Seed(uint16_t hopPort) {
        TdmProxyData::ProvisionDataFolder(Folder());
        TdmProxyData store(Folder());
        store.LoadData();
        SeedChain(store, "Work", WorkPort, {SeedProxy(store, hopPort, TProxyType::ptSOCKS5)});
    }
    std::unique_ptr<TVelmoraProcess> StartHeadless() {
        bool started = false;
        auto velmora = TVelmoraProcess::StartHeadless(Home.path(), started);
        EXPECT_TRUE(started) << velmora->Lines().join("\n").toStdString();
        return velmora;
    }
    QStringList KeptAside() const {
        return QDir(Folder()).entryList({QStringLiteral("*.changed-*")});
    }
};

TEST_F(OneWriter, AnImportBesideTheInstanceOutlivesTheInstancesNextSave) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is needed";
    TMicrosocksPeer hop;
    TEchoPage page;
    Seed(hop.Port());
    TCheckURLOverride url(page.URL());
    auto velmora = StartHeadless();

    const TResult imported = Run({"import", ListFile("one.txt", "192.0.2.20:1080\n")});
    EXPECT_EQ(imported.Status, 0);
    EXPECT_EQ(imported.Lines, QStringList{"Added 1 proxy"});
    const TResult list = Run({"list", "proxies"});
    EXPECT_TRUE(list.Lines.value(2).startsWith("2\t192.0.2.20\t1080\t"))
        << list.Lines.join("\n").toStdString();

    // The chain test makes the instance save its tables (the chain's status).
    const TResult test = Run({"chain", "test", "Work"});
    EXPECT_EQ(test.Status, 0) << test.Lines.join("\n").toStdString();
    EXPECT_EQ(StoredAddresses(), (std::set<QString>{"127.0.0.1", "192.0.2.20"}));
    // A chain added beside it is the instance's at once: it starts it.
    const TResult added = Run({"chain", "add", "Fresh", std::to_string(FreeLoopbackPort()), "1"});
    EXPECT_EQ(added.Status, 0);
    EXPECT_TRUE(added.Lines.value(0).startsWith("Chain 3 \"Fresh\" on port "))
        << added.Lines.join("\n").toStdString();
    EXPECT_EQ(Run({"chain", "start", "Fresh"}).Status, 0);
    // Its errors and usage come back as the command line gives them itself.
    const TResult unknown = Run({"chain", "add", "X", "9050", "42"});
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_EQ(unknown.Lines, QStringList{"Proxy 42 not found"});
    EXPECT_EQ(Run({"chain", "add", "X"}).Status, 2);
    EXPECT_TRUE(KeptAside().isEmpty()); // the instance was the only writer
    EXPECT_EQ(velmora->Terminate(), 0);
    EXPECT_EQ(StoredAddresses(), (std::set<QString>{"127.0.0.1", "192.0.2.20"}));
}

// What a command used to do beside the instance: write the files itself.
// The instance's next save keeps that version aside and says so.
TEST_F(OneWriter, AFileWrittenBehindTheInstancesBackIsKeptAsideNotLost) {
    Seed(FreeLoopbackPort());
    auto velmora = StartHeadless();
    {
        TdmProxyData behind(Folder());
        behind.LoadData();
        behind.AddProxy(QStringLiteral("203.0.113.7"), 8080, TProxyType::ptHTTP);
        behind.SaveData();
    }
    EXPECT_EQ(Run({"import", ListFile("one.txt", "192.0.2.30:1080\n")}).Status, 0);
    EXPECT_TRUE(velmora->WaitForLine("was changed by another program since Velmora read it"))
        << velmora->Lines().join("\n").toStdString();
    // The other writer rewrote the three main tables; each is kept.
    const QStringList kept = KeptAside();
    ASSERT_EQ(kept.size(), 3) << kept.join(" ").toStdString();
    const auto proxies = std::find_if(kept.begin(), kept.end(), [](const QString &name) {
        return name.startsWith("Proxies.cds.changed-");
    });
    ASSERT_NE(proxies, kept.end()) << kept.join(" ").toStdString();
    QFile keptFile(Folder() + *proxies);
    ASSERT_TRUE(keptFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(keptFile.readAll().contains("203.0.113.7"));
    EXPECT_EQ(velmora->Terminate(), 0);
}

// 20 imports of distinct proxies started together all land, with and
// without an instance (window or headless) running on the folder.
class OneWriterAtOnce : public OneWriter, public ::testing::WithParamInterface<const char *> {};

TEST_P(OneWriterAtOnce, TwentyImportsStartedTogetherAllLand) {
    TdmProxyData::ProvisionDataFolder(Folder());
    std::unique_ptr<TVelmoraProcess> velmora;
    const std::string instance = GetParam();
    if (instance == "--headless") {
        velmora = StartHeadless();
    } else if (instance == "window") {
        // The window needs Style.vsf in its working directory (else it
        // stops at a message box).
        const QString previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(VELMORA_SOURCE_DIR));
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        velmora = std::make_unique<TVelmoraProcess>(std::vector<std::string>{}, Home.path());
        ::unsetenv("QT_QPA_PLATFORM");
        QDir::setCurrent(previous);
        ASSERT_TRUE(WaitFor(
            [&] {
                return Run({"list", "chains"}).Lines.value(0).endsWith("\tState");
            },
            60000))
            << velmora->Lines().join("\n").toStdString();
    }
    std::set<QString> expected;
    std::vector<std::unique_ptr<TVelmoraProcess>> commands;
    for (int i = 1; i <= 20; ++i) {
        const QString address = QStringLiteral("198.51.100.%1").arg(i);
        expected.insert(address);
        commands.push_back(std::make_unique<TVelmoraProcess>(
            std::vector<std::string>{
                "import", ListFile(QStringLiteral("l%1.txt").arg(i), (address + ":1080").toUtf8())},
            Home.path()));
    }
    for (auto &command : commands)
        EXPECT_EQ(command->WaitExit(120000), 0) << command->Lines().join("\n").toStdString();
    EXPECT_EQ(StoredAddresses(), expected);
    if (velmora) {
        // The instance's own save (at its end or at a check) keeps them too.
        EXPECT_EQ(Run({"check", "1"}).Status, 0);
        EXPECT_EQ(velmora->Terminate(30000), 0) << velmora->Lines().join("\n").toStdString();
        EXPECT_EQ(StoredAddresses(), expected);
    }
    EXPECT_TRUE(KeptAside().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Instances, OneWriterAtOnce,
                         ::testing::Values("none", "--headless", "window"));

TEST_F(OneWriter, AnInstanceWaitsForACommandThatHoldsTheFolderThenNamesIt) {
    TdmProxyData::ProvisionDataFolder(Folder());
    auto command = std::make_unique<TDataFolderLock>(Folder());
    ASSERT_TRUE(command->TryLock(TDataFolderLock::TMode::Exclusive, "velmora import"));
    TVelmoraProcess refused({"--headless"}, Home.path());
    EXPECT_EQ(refused.WaitExit(60000), 1);
    EXPECT_TRUE(refused.WaitForLine(QStringLiteral("The data folder \"%1\" is held by process %2 "
                                                   "(velmora import); Velmora did not start.")
                                        .arg(Folder())
                                        .arg(::getpid())))
        << refused.Lines().join("\n").toStdString();

    // One that starts while the command still runs goes on when it ends.
    TVelmoraProcess waiting({"--headless"}, Home.path());
    ::usleep(500000);
    command.reset();
    EXPECT_TRUE(waiting.WaitForLine("Services started"))
        << waiting.Lines().join("\n").toStdString();
    // Now a command cannot have the folder: the instance makes the change.
    TDataFolderLock probe(Folder());
    EXPECT_FALSE(probe.TryLock(TDataFolderLock::TMode::Exclusive, "test"));
    EXPECT_EQ(Run({"import", ListFile("one.txt", "192.0.2.40:1080\n")}).Status, 0);
    EXPECT_EQ(waiting.Terminate(), 0);
    EXPECT_EQ(StoredAddresses(), std::set<QString>{"192.0.2.40"});
}

// A command that only reads does not load between another command's reading
// and writing: it waits for the folder, then reads what that one wrote.
TEST_F(OneWriter, AListWaitsForTheCommandThatHoldsTheFolder) {
    TdmProxyData::ProvisionDataFolder(Folder());
    EXPECT_EQ(Run({"import", ListFile("one.txt", "192.0.2.50:1080\n")}).Status, 0);
    auto command = std::make_unique<TDataFolderLock>(Folder());
    ASSERT_TRUE(command->TryLock(TDataFolderLock::TMode::Exclusive, "velmora import"));
    TVelmoraProcess list({"list", "proxies"}, Home.path());
    EXPECT_EQ(list.WaitExit(1000), -1); // still waiting
    command.reset();
    EXPECT_EQ(list.WaitExit(60000), 0);
    EXPECT_TRUE(list.WaitForLine("1\t192.0.2.50\t1080\t")) << list.Lines().join("\n").toStdString();
}

} // namespace
