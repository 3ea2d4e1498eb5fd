// The command line of the real program: import, list, check and chain add,
// each against its own data folder.
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/Process.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace VelmoraTest;

class CliTest : public ::testing::Test {
protected:
    QTemporaryDir Home;

    struct TResult {
        int Status;
        QStringList Lines;
    };

    TResult Run(const std::vector<std::string> &args) {
        TVelmoraProcess p(args, Home.path());
        const int status = p.WaitExit(60000);
        // Let the reader see the end of the output.
        p.WaitForLine(QStringLiteral("\x01never"), 200);
        return {status, p.Lines()};
    }

    QString File(const QString &name, const QByteArray &text) {
        const QString path = Home.path() + "/" + name;
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return path;
    }

    QByteArray TableBytes() {
        QByteArray all;
        const QString folder = Home.path() + "/VelmoraAnonymizer/";
        for (const char *name : {"Proxies.cds", "ChainedProxies.cds", "ChainedProxyProxies.cds"}) {
            QFile f(folder + name);
            f.open(QIODevice::ReadOnly);
            all += f.readAll();
        }
        return QCryptographicHash::hash(all, QCryptographicHash::Sha256);
    }
};

TEST_F(CliTest, ImportListAndChainAdd) {
    const auto imported =
        Run({"import", File("list.txt", "192.0.2.10:1080\n\n192.0.2.11\n:3128\n").toStdString()});
    EXPECT_EQ(imported.Status, 0);
    EXPECT_TRUE(imported.Lines.contains("Added 3 proxies"))
        << imported.Lines.join("\n").toStdString();

    // A bad line anywhere adds nothing at all.
    const QByteArray before = TableBytes();
    const auto bad =
        Run({"import", File("bad.txt", "198.51.100.1:80\n198.51.100.2:80:1\n").toStdString()});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_TRUE(bad.Lines.contains("'80:1' is not a valid integer value"));
    EXPECT_EQ(TableBytes(), before);

    // Schemes set the type; lines already listed or repeated are counted, not added.
    const auto schemes = Run(
        {"import", File("schemes.txt", "SOCKS5://198.51.100.5:1080\n192.0.2.10:1080\n"
                                       "http://198.51.100.6:3128/\nsocks5://198.51.100.5:1080\n")
                       .toStdString()});
    EXPECT_EQ(schemes.Status, 0);
    EXPECT_TRUE(schemes.Lines.contains("Added 2 proxies"))
        << schemes.Lines.join("\n").toStdString();
    EXPECT_TRUE(schemes.Lines.contains("2 duplicate lines were not added: 1 already in the list, "
                                       "1 repeated in the list given."))
        << schemes.Lines.join("\n").toStdString();

    const auto list = Run({"list", "proxies"});
    ASSERT_EQ(list.Status, 0);
    ASSERT_GE(list.Lines.size(), 6);
    EXPECT_EQ(list.Lines[0], "UID\tIP/Host\tPort\tStatus\tType\tSpeed\tLast Checked");
    EXPECT_EQ(list.Lines[1], "1\t192.0.2.10\t1080\tNot Checked\tUnknown\t\t");
    EXPECT_EQ(list.Lines[2], "2\t192.0.2.11\t0\tNot Checked\tUnknown\t\t");
    EXPECT_EQ(list.Lines[3], "3\t\t3128\tNot Checked\tUnknown\t\t");
    EXPECT_EQ(list.Lines[4], "4\t198.51.100.5\t1080\tNot Checked\tSOCKS 5\t\t");
    EXPECT_EQ(list.Lines[5], "5\t198.51.100.6\t3128\tNot Checked\tHTTP\t\t");

    // Errors write nothing: a duplicate item, an unknown proxy, a bad port.
    const QByteArray beforeChains = TableBytes();
    const auto dup = Run({"chain", "add", "Twice", "9050", "1", "1"});
    EXPECT_EQ(dup.Status, 1);
    EXPECT_TRUE(dup.Lines.contains("Proxy already exists in chain"));
    EXPECT_EQ(Run({"chain", "add", "X", "9050", "42"}).Status, 1);
    EXPECT_TRUE(Run({"chain", "add", "X", "90x", "1"})
                    .Lines.contains("'90x' is not a valid integer value"));
    EXPECT_EQ(TableBytes(), beforeChains);

    const auto added = Run({"chain", "add", "Work", "9050", "3", "1"});
    EXPECT_EQ(added.Status, 0) << added.Lines.join("\n").toStdString();
    // No Velmora runs on this data folder: the table as stored, and a word
    // on standard error that the live state is unknown.
    const auto chains = Run({"list", "chains"});
    EXPECT_EQ(chains.Lines,
              QStringList({"no running Velmora: live state unknown", "UID\tName\tPort\tProxies",
                           "1\tDefault\t1080\t", "2\tWork\t9050\t3,1"}));

    const auto usage = Run({"list", "things"});
    EXPECT_EQ(usage.Status, 2);
}

// --help prints the usage on standard output with status 0; every form it
// names is also in the manual page and the user guide, so the three do not
// drift apart.
TEST_F(CliTest, HelpNamesEveryFormAndTheDocumentsCoverThem) {
    const auto help = Run({"--help"});
    EXPECT_EQ(help.Status, 0);
    ASSERT_FALSE(help.Lines.isEmpty());
    EXPECT_TRUE(help.Lines[0].startsWith("usage: velmora ")) << help.Lines[0].toStdString();
    EXPECT_TRUE(help.Lines.contains("man velmora tells more."));

    auto read = [](const char *name) {
        QFile f(QStringLiteral(VELMORA_SOURCE_DIR "/") + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
        return QString::fromUtf8(f.readAll());
    };
    // The manual page escapes its dashes.
    const QString manual = read("desktop/velmora.1").replace("\\-", "-");
    const QString guide = read("readme.txt");
    int forms = 0;
    for (QString line : help.Lines) {
        line = line.trimmed();
        if (line.startsWith("usage: "))
            line.remove(0, 7);
        if (!line.startsWith("velmora "))
            continue;
        ++forms;
        // "velmora chain start|stop|restart NAME|PORT" -> "chain", "start".
        const QStringList words = line.split(' ', Qt::SkipEmptyParts);
        const QString command = words[1];
        EXPECT_TRUE(manual.contains(command)) << command.toStdString() << " not in velmora.1";
        EXPECT_TRUE(guide.contains("velmora " + command))
            << command.toStdString() << " not in readme.txt";
        if (command == "chain" && words.size() > 2) {
            for (const QString &verb : words[2].split('|')) {
                EXPECT_TRUE(manual.contains(verb)) << verb.toStdString() << " not in velmora.1";
                EXPECT_TRUE(guide.contains(verb)) << verb.toStdString() << " not in readme.txt";
            }
        }
    }
    EXPECT_GE(forms, 10);

    const auto unknown = Run({"--frobnicate"});
    EXPECT_EQ(unknown.Status, 2);
    EXPECT_EQ(unknown.Lines.value(0), QStringLiteral("velmora: unknown argument \"--frobnicate\""));
}

TEST_F(CliTest, CheckReportsEachResultThenDone) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is needed";
    TMicrosocksPeer socks5;
    VelmoraTest::TLoopbackServer page(VelmoraTest::HttpPageBody("127.0.0.1"));
    const uint16_t closed = FreeLoopbackPort();
    Run({"import",
         File(
             "l.txt",
             QStringLiteral("127.0.0.1:%1\n127.0.0.1:%2\n").arg(socks5.Port()).arg(closed).toUtf8())
             .toStdString()});
    ::setenv("VELMORA_CHECK_URL", ("http://127.0.0.1:" + std::to_string(page.Port()) + "/").c_str(),
             1);
    const auto check = Run({"check", "--all"});
    ::unsetenv("VELMORA_CHECK_URL");
    EXPECT_EQ(check.Status, 0);
    ASSERT_EQ(check.Lines.size(), 3) << check.Lines.join("\n").toStdString();
    EXPECT_EQ(check.Lines.last(), "Check done");
    QStringList results = check.Lines.mid(0, 2);
    results.sort();
    const QStringList ok = results[0].split('\t');
    ASSERT_EQ(ok.size(), 5);
    EXPECT_EQ(ok[0], "1");
    EXPECT_EQ(ok[1], QString("127.0.0.1:%1").arg(socks5.Port()));
    EXPECT_EQ(ok[2], "OK");
    EXPECT_EQ(ok[3], "SOCKS 5");
    EXPECT_FALSE(ok[4].isEmpty());
    EXPECT_TRUE(results[1].startsWith(QString("2\t127.0.0.1:%1\tTIME OUT\t").arg(closed)))
        << results[1].toStdString();

    const auto list = Run({"list", "proxies"});
    EXPECT_TRUE(
        list.Lines[1].startsWith(QString("1\t127.0.0.1\t%1\tOK\tSOCKS 5\t").arg(socks5.Port())));
}

// A program killed in the middle of a long check leaves a table file that
// loads, holding the results that came in more than a second before.
TEST_F(CliTest, KilledMidCheckLeavesAReadableFileWithTheEarlierResults) {
    // A listener that never accepts: proxies on it answer nothing.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr *>(&address), &length);
    const int silentPort = ntohs(address.sin_port);
    const uint16_t closed = FreeLoopbackPort();

    const QString folder = Home.path() + "/VelmoraAnonymizer/";
    {
        TdmProxyData store(folder);
        store.LoadData();
        store.SetTimeout(60);
        for (int i = 0; i < 100; ++i)
            store.AddProxy(QStringLiteral("127.0.0.1"), closed, TProxyType::ptSOCKS5);
        for (int i = 0; i < 100; ++i)
            store.AddProxy(QStringLiteral("127.0.0.1"), silentPort, TProxyType::ptSOCKS5);
        store.SaveData();
    }
    ::setenv("VELMORA_CHECK_URL", "http://127.0.0.1:9/", 1);
    TVelmoraProcess check({"check", "--all"}, Home.path());
    ::unsetenv("VELMORA_CHECK_URL");
    // The refused ones answer at once; the silent ones hold the batch open.
    ASSERT_TRUE(WaitFor([&] { return check.Lines().filter("\tTIME OUT\t").size() == 100; }, 20000))
        << check.Lines().join("\n").toStdString();
    ::usleep(1600 * 1000); // past the next timed save
    ASSERT_EQ(::kill(check.Pid(), SIGKILL), 0);
    check.WaitExit();
    ::close(silent);

    TdmProxyData after(folder);
    after.LoadData(); // throws if the file were torn
    std::vector<std::unique_ptr<TProxData>> rows;
    after.GetAllProxyRecords(rows);
    ASSERT_EQ(rows.size(), 200u);
    int timedOut = 0;
    for (const auto &row : rows) {
        if (row->FPort == closed)
            timedOut += row->FStatus == TProxyStatus::psUnavailable;
        else
            EXPECT_EQ(row->FStatus, TProxyStatus::psUnknown) << row->FUID;
    }
    EXPECT_EQ(timedOut, 100);
    // The torn temporary file of the write in progress may stay; the table is whole.
}

// Where user namespaces are switched off, a launch stops before the program
// runs and says why and how to allow them. The setting is switched off only
// inside a user namespace of the test's own (the machine's stays as it is).
TEST_F(CliTest, RunWhereUserNamespacesAreRefusedNamesTheCauseAndTheFix) {
    {
        const QString folder = Home.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        TdmProxyData store(folder);
        store.LoadData();
        SeedChain(store, "Work", 1, {SeedProxy(store, 1, TProxyType::ptSOCKS5)});
    }
    if (!ProgramAvailable("unshare"))
        GTEST_SKIP() << "unshare is not installed";
    const std::string marker = Home.path().toStdString() + "/program-ran";
    // The launch runs as an ordinary user (root of the machine would be
    // asked whom to run the program as), with a copy of velmora it may read.
    const std::string home = Home.path().toStdString(), velmora = home + "/velmora";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(TVelmoraProcess::Binary()),
                            QString::fromStdString(velmora)));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(home + "/runtime")));
    ASSERT_EQ(RunProgram({"chown", "-R", "65534:65534", home}, 10000).ExitCode, 0);
    ASSERT_EQ(::chmod(home.c_str(), 0755), 0);
    // Runs the launch in a user namespace of its own, after `setting`.
    const auto launch = [&](const std::string &setting, std::string &output) {
        TProcess::TOptions options;
        options.Output = TProcess::TOutput::Merged;
        options.Env = {"XDG_DATA_HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                       "XDG_RUNTIME_DIR=" + home + "/runtime", "HOME=" + home};
        TProcess p({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "unshare",
                    "--user", "--map-root-user", "sh", "-c", setting + " && exec \"$0\" \"$@\"",
                    velmora, "run", "--chain", "Work", "touch", marker},
                   options);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(p.OutFd(), buffer, sizeof buffer)) > 0)
            output.append(buffer, static_cast<size_t>(n));
        return p.WaitExit(30000);
    };
    std::string output;
    EXPECT_EQ(launch("echo 0 >/proc/sys/user/max_user_namespaces", output), 1) << output;
    EXPECT_NE(output.find("Cannot make a user namespace"), std::string::npos) << output;
    EXPECT_NE(output.find("user.max_user_namespaces = 0"), std::string::npos) << output;
    EXPECT_NE(output.find("sudo sysctl -w user.max_user_namespaces="), std::string::npos) << output;
    EXPECT_NE(output.find("--preload"), std::string::npos) << output;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(marker)));

    // The control: the same launch where the setting allows them runs it.
    std::string allowed;
    EXPECT_EQ(launch("true", allowed), 0) << allowed;
    EXPECT_TRUE(QFile::exists(QString::fromStdString(marker))) << allowed;
}

} // namespace
