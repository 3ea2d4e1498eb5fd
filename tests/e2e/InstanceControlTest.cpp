// One running Velmora per user, steered from the command line through its
// control socket: `velmora list chains` with the live state, `velmora chain
// start|stop|restart|test`, a second start refused, a stale socket replaced,
// and a socket that another user can neither reach nor use.
#include "store/dmProxyData.h"
#include "tests/support/CheckTestSupport.h"
#include "tests/support/Peers.h"
#include "tests/support/Process.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace VelmoraTest;

// Standard output as lines.
QStringList Lines(const std::string &text) {
    QStringList lines = QString::fromStdString(text).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The command line of a Python script with its arguments, as `user` (a
// setpriv prefix) when given.
std::vector<std::string> PythonAs(const std::vector<std::string> &user, const std::string &script,
                                  const std::vector<std::string> &args) {
    std::vector<std::string> line = user;
    line.insert(line.end(), {"/usr/bin/python3", "-c", script});
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

// A stand-in for the instance: a Unix stream socket at `path` that writes
// whatever one client sends into `received` and answers "o fake answer",
// "end 0". Run as `user` (a setpriv prefix) when given.
class TFakeControlServer {
public:
    TFakeControlServer(const std::string &path, const std::string &received,
                       const std::vector<std::string> &user = {}) {
        static const std::string script =
            "import os,socket,sys\n"
            "s=socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
            "s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o666); s.listen(1)\n"
            "c,_=s.accept(); data=c.recv(4096)\n"
            "open(sys.argv[2],'w').write(data.decode())\n"
            "c.sendall(b'o fake answer\\nend 0\\n'); c.close()\n";
        ::unlink(path.c_str());
        FProcess = std::make_unique<TProcess>(PythonAs(user, script, {path, received}),
                                              TProcess::TOptions{});
        struct stat st {};
        for (int i = 0; i < 500 && ::lstat(path.c_str(), &st) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

private:
    std::unique_ptr<TProcess> FProcess;
};

std::string ReadText(const std::string &path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("(none)");
}

class InstanceControl : public ::testing::Test {
protected:
    QTemporaryDir Home;
    uint16_t WorkPort = FreeLoopbackPort();
    uint16_t HomePort = FreeLoopbackPort();
    int32_t Proxy = 0;

    QString Folder() const { return Home.path() + "/VelmoraAnonymizer/"; }
    QString Runtime() const { return TVelmoraProcess::RuntimeDir(Home.path()); }
    std::string SocketPath() const { return (Runtime() + "/velmora/control.sock").toStdString(); }

    // Chains "Work" and "Home" through one microsocks hop (status "OK").
    void Seed(uint16_t hopPort) {
        TdmProxyData::ProvisionDataFolder(Folder());
        TdmProxyData store(Folder());
        store.LoadData();
        Proxy = SeedProxy(store, hopPort, TProxyType::ptSOCKS5);
        SeedChain(store, "Work", WorkPort, {Proxy});
        SeedChain(store, "Home", HomePort, {Proxy});
    }

    // The command line on this test's data and runtime folders, as `user`
    // (a setpriv prefix) when given.
    TRunResult Velmora(const std::vector<std::string> &args,
                       const std::vector<std::string> &user = {},
                       const QString &dataHome = QString()) {
        const std::string data = (dataHome.isEmpty() ? Home.path() : dataHome).toStdString();
        std::vector<std::string> command = user;
        for (const std::string &a :
             {std::string("env"), "HOME=" + data, "XDG_DATA_HOME=" + data,
              "XDG_CONFIG_HOME=" + data + "/config", "XDG_RUNTIME_DIR=" + Runtime().toStdString(),
              TVelmoraProcess::Binary()})
            command.push_back(a);
        command.insert(command.end(), args.begin(), args.end());
        return RunProgram(command, 60000);
    }

    // The State column of the chain named `name` in `velmora list chains`.
    QString StateOf(const QString &name) {
        for (const QString &row : Lines(Velmora({"list", "chains"}).Out)) {
            const QStringList fields = row.split('\t');
            if (fields.size() == 5 && fields[1] == name)
                return fields[4];
        }
        return "(no state)";
    }

    std::unique_ptr<TVelmoraProcess> StartHeadless() {
        bool started = false;
        auto velmora = TVelmoraProcess::StartHeadless(Home.path(), started);
        EXPECT_TRUE(started) << velmora->Lines().join("\n").toStdString();
        return velmora;
    }
};

#define REQUIRE_MICROSOCKS()                                                                       \
    if (!TMicrosocksPeer::Available())                                                             \
    GTEST_SKIP() << "microsocks is needed"

TEST_F(InstanceControl, ListAndSteerTheChainsOfTheRunningInstance) {
    REQUIRE_MICROSOCKS();
    TMicrosocksPeer hop;
    Seed(hop.Port());
    auto velmora = StartHeadless();

    const TRunResult list = Velmora({"list", "chains"});
    EXPECT_EQ(list.ExitCode, 0) << list.Err;
    EXPECT_EQ(list.Err, "");
    const QStringList rows = Lines(list.Out);
    ASSERT_EQ(rows.size(), 4) << list.Out;
    EXPECT_EQ(rows[0], "UID\tName\tPort\tProxies\tState");
    EXPECT_EQ(rows[2], QString("2\tWork\t%1\t%2\trunning").arg(WorkPort).arg(Proxy));
    EXPECT_EQ(rows[3], QString("3\tHome\t%1\t%2\trunning").arg(HomePort).arg(Proxy));

    const TRunResult stop = Velmora({"chain", "stop", "Work"});
    EXPECT_EQ(stop.ExitCode, 0) << stop.Err;
    EXPECT_EQ(stop.Out,
              QString("Chain \"Work\" on port %1: stopped\n").arg(WorkPort).toStdString());
    EXPECT_FALSE(Accepting(WorkPort));
    EXPECT_EQ(StateOf("Work"), "stopped");
    EXPECT_EQ(StateOf("Home"), "running");

    // Names as `velmora run --chain` takes them: any letter case, or the port.
    const TRunResult start = Velmora({"chain", "start", "work", "Home"});
    EXPECT_EQ(start.ExitCode, 0) << start.Err;
    EXPECT_EQ(Lines(start.Out),
              QStringList({QString("Chain \"Work\" on port %1: running").arg(WorkPort),
                           QString("Chain \"Home\" on port %1: running").arg(HomePort)}));
    EXPECT_TRUE(WaitAccepting(WorkPort, 5000));
    const TRunResult restart = Velmora({"chain", "restart", std::to_string(WorkPort)});
    EXPECT_EQ(restart.ExitCode, 0) << restart.Err;
    EXPECT_EQ(StateOf("Work"), "running");
    // Each change is a line of the instance's own output too.
    EXPECT_TRUE(velmora->WaitForLine(QString("Chain \"Work\" on port %1: stopped").arg(WorkPort)));

    // One unknown name and nothing is done.
    const TRunResult unknown = Velmora({"chain", "stop", "Work", "Nope"});
    EXPECT_EQ(unknown.ExitCode, 1);
    EXPECT_NE(unknown.Err.find("there is no chain named \"Nope\""), std::string::npos)
        << unknown.Err;
    EXPECT_EQ(StateOf("Work"), "running");
    EXPECT_EQ(Velmora({"chain", "stop"}).ExitCode, 2);

    // A chain that cannot start says why, and so does the exit status.
    {
        TdmProxyData store(Folder());
        store.LoadData();
        SeedChain(store, "Clash", WorkPort, {Proxy});
    }
    ::kill(velmora->Pid(), SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return velmora->Lines().count("Services started") == 2; }, 15000));
    const TRunResult clash = Velmora({"chain", "start", "Clash"});
    EXPECT_EQ(clash.ExitCode, 1);
    EXPECT_EQ(clash.Out, QString("Chain \"Clash\" on port %1: not started (port %1 is also "
                                 "chain Work's)\n")
                             .arg(WorkPort)
                             .toStdString());

    // The other commands work beside the running instance.
    EXPECT_EQ(Velmora({"list", "proxies"}).ExitCode, 0);
    const TRunResult added =
        Velmora({"chain", "add", "Later", std::to_string(FreeLoopbackPort()), "1"});
    EXPECT_EQ(added.ExitCode, 0) << added.Err;
    EXPECT_EQ(StateOf("Later"), "stopped"); // not read by the instance yet
    EXPECT_EQ(velmora->Terminate(), 0);
}

// The command line changes the store beside a headless instance (a new
// chain, a proxy checked again); a start from the command line starts the
// chain as stored now.
TEST_F(InstanceControl, AStartReadsWhatTheCommandLineStoredMeanwhile) {
    REQUIRE_MICROSOCKS();
    TMicrosocksPeer hop;
    Seed(hop.Port());
    auto velmora = StartHeadless();
    const uint16_t newPort = FreeLoopbackPort();
    const TRunResult add =
        Velmora({"chain", "add", "Fresh", std::to_string(newPort), std::to_string(Proxy)});
    ASSERT_EQ(add.ExitCode, 0) << add.Err;
    const TRunResult start = Velmora({"chain", "start", "Fresh"});
    EXPECT_EQ(start.ExitCode, 0) << start.Err;
    EXPECT_EQ(start.Out,
              QString("Chain \"Fresh\" on port %1: running\n").arg(newPort).toStdString());
    EXPECT_EQ(StateOf("Fresh"), "running");
    EXPECT_EQ(velmora->Terminate(), 0);
}

TEST_F(InstanceControl, ChainTestReportsThroughTheRunningInstanceAndIsRecorded) {
    REQUIRE_MICROSOCKS();
    TMicrosocksPeer hop;
    TEchoPage page;
    Seed(hop.Port());
    TCheckURLOverride url(page.URL()); // the instance runs the test
    auto velmora = StartHeadless();

    const TRunResult test = Velmora({"chain", "test", "Work"});
    EXPECT_EQ(test.ExitCode, 0) << test.Err;
    const QStringList lines = Lines(test.Out);
    ASSERT_EQ(lines.size(), 5) << test.Out << test.Err;
    EXPECT_EQ(lines[0], QString("Test of chain \"Work\" (port %1): OK").arg(WorkPort));
    EXPECT_TRUE(lines[1].startsWith(QString("  hop 1 127.0.0.1:%1: ").arg(hop.Port())));
    EXPECT_TRUE(lines[2].startsWith("  total: "));
    EXPECT_EQ(lines[3], "  exit address: 127.0.0.1");
    EXPECT_EQ(lines[4], "  the test page does not show the headers it received: Via and "
                        "X-Forwarded-For not checked");
    EXPECT_EQ(page.Requests(), 1);
    EXPECT_TRUE(velmora->WaitForLine(lines[0]));
    {
        TdmProxyData store(Folder());
        store.LoadData();
        store.LocateChainRecord(2);
        EXPECT_EQ(store.cdsChainedProxies().FieldByName("Status").AsInteger(),
                  int(TProxyStatus::psAvailable));
    }

    // A stop asked for while the chain is under test waits for the test's
    // end: the test is not cut off.
    page.DelayMs = 1000;
    TRunResult during;
    std::thread tester([&] { during = Velmora({"chain", "test", "Work"}); });
    EXPECT_TRUE(WaitFor([&] { return page.Requests() == 2; }, 20000));
    const TRunResult stop = Velmora({"chain", "stop", "Work"});
    tester.join();
    EXPECT_EQ(during.ExitCode, 0) << during.Out << during.Err;
    EXPECT_EQ(Lines(during.Out).value(0),
              QString("Test of chain \"Work\" (port %1): OK").arg(WorkPort));
    EXPECT_EQ(stop.ExitCode, 0) << stop.Err;
    EXPECT_FALSE(Accepting(WorkPort));
    page.DelayMs = 0;

    const TRunResult stopped = Velmora({"chain", "test", "Work"});
    EXPECT_EQ(stopped.ExitCode, 1);
    EXPECT_NE(stopped.Err.find("is stopped"), std::string::npos) << stopped.Err;
    EXPECT_EQ(Velmora({"chain", "test", "Work", "Home"}).ExitCode, 2);
    EXPECT_EQ(page.Requests(), 2);
}

TEST_F(InstanceControl, WithoutAnInstanceTheListHasNoStateAndSteeringFails) {
    Seed(FreeLoopbackPort());
    const TRunResult list = Velmora({"list", "chains"});
    EXPECT_EQ(list.ExitCode, 0);
    EXPECT_EQ(Lines(list.Out).value(0), "UID\tName\tPort\tProxies");
    EXPECT_EQ(Lines(list.Out).value(2), QString("2\tWork\t%1\t%2").arg(WorkPort).arg(Proxy));
    EXPECT_EQ(list.Err, "no running Velmora: live state unknown\n");
    for (const char *verb : {"start", "stop", "restart", "test"}) {
        const TRunResult r = Velmora({"chain", verb, "Work"});
        EXPECT_EQ(r.ExitCode, 1) << verb;
        EXPECT_EQ(r.Err, "Velmora is not running\n") << verb;
    }
}

TEST_F(InstanceControl, ASecondStartIsRefusedWhileTheFirstKeepsServing) {
    Seed(FreeLoopbackPort());
    auto velmora = StartHeadless();
    TVelmoraProcess second({"--headless"}, Home.path());
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_TRUE(second.Lines().contains(
        QString("Velmora is already running (process %1, without a window); steer it with "
                "\"velmora chain ...\"")
            .arg(velmora->Pid())))
        << second.Lines().join("\n").toStdString();
    EXPECT_FALSE(second.Lines().contains("Starting services..."));
    EXPECT_TRUE(Accepting(9999));
    EXPECT_EQ(StateOf("Work"), "running");
    EXPECT_EQ(velmora->Terminate(), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SocketPath())));
}

TEST_F(InstanceControl, AStaleSocketIsReplaced) {
    Seed(FreeLoopbackPort());
    // A socket file left by a run that ended without removing it.
    ASSERT_TRUE(QDir().mkpath(Runtime() + "/velmora"));
    ::chmod((Runtime() + "/velmora").toUtf8().constData(), 0700);
    const std::string path = SocketPath();
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        TSocket stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(::bind(stale.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(QFile::exists(QString::fromStdString(path)));
    EXPECT_EQ(Velmora({"list", "chains"}).Err, "no running Velmora: live state unknown\n");

    // The start goes on, and the instance answers where the old file was.
    auto velmora = StartHeadless();
    EXPECT_EQ(StateOf("Work"), "running");
    EXPECT_EQ(velmora->Terminate(), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));
}

TEST_F(InstanceControl, OnlyItsOwnUserCanSteerIt) {
    REQUIRE_MICROSOCKS();
    TMicrosocksPeer hop;
    Seed(hop.Port());
    auto velmora = StartHeadless();

    struct stat socket {
    }, folder{};
    ASSERT_EQ(::lstat(SocketPath().c_str(), &socket), 0);
    ASSERT_EQ(::lstat((Runtime() + "/velmora").toUtf8().constData(), &folder), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(socket.st_uid, ::geteuid());

    if (::geteuid() != 0 || !ProgramAvailable("setpriv"))
        GTEST_SKIP() << "another user's client needs root and setpriv";
    // The way down to the runtime folder is open; its "velmora" folder is not.
    ::chmod(Home.path().toUtf8().constData(), 0711);
    ::chmod(Runtime().toUtf8().constData(), 0711);
    // The client's own data folder, which "nobody" may write.
    QTemporaryDir elsewhere;
    ::chmod(elsewhere.path().toUtf8().constData(), 0777);
    const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};
    const std::vector<std::string> owner{"setpriv", "--reuid=0"};
    const auto stopAs = [&](const std::vector<std::string> &user) {
        return Velmora({"chain", "stop", "Work"}, user, elsewhere.path());
    };

    // The folder is not the client's own: it sends nothing and says so.
    const TRunResult outside = stopAs(nobody);
    EXPECT_EQ(outside.ExitCode, 1);
    EXPECT_NE(outside.Err.find("The socket folder " + Runtime().toStdString() + "/velmora"),
              std::string::npos)
        << outside.Err;
    EXPECT_TRUE(Accepting(WorkPort));

    // With folder and socket open to everybody, the uid check alone still
    // sends another user's raw client away unanswered.
    ::chmod((Runtime() + "/velmora").toUtf8().constData(), 0711);
    ::chmod(SocketPath().c_str(), 0666);
    const std::string rawStop = "import socket,sys\n"
                                "s=socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
                                "s.connect(sys.argv[1])\n"
                                "try:\n s.sendall(b'stop\\tWork\\n'); d=s.recv(100)\n"
                                "except OSError:\n d=b''\n"
                                "sys.exit(4 if d else 0)\n";
    const TRunResult unanswered = RunProgram(PythonAs(nobody, rawStop, {SocketPath()}), 20000);
    EXPECT_EQ(unanswered.ExitCode, 0) << "another user's request was answered: " << unanswered.Err;
    EXPECT_TRUE(Accepting(WorkPort));

    // The control: the same client as the owner stops the chain (in the
    // folder made private again, as the client insists).
    ::chmod((Runtime() + "/velmora").toUtf8().constData(), 0700);
    EXPECT_EQ(StateOf("Work"), "running");
    const TRunResult allowed = stopAs(owner);
    EXPECT_EQ(allowed.ExitCode, 0) << allowed.Err;
    EXPECT_FALSE(Accepting(WorkPort));
    EXPECT_EQ(velmora->Terminate(), 0);
}

// A socket folder another user could have made, opened to others, or a link:
// the command line sends nothing to the server found there and says what is
// wrong (control and hand-off alike), and the instance does not open its
// sockets there. The control: the same fake server in a private folder of
// this user's gets the request and its answer comes back.
TEST_F(InstanceControl, AnUnsafeSocketFolderIsRefusedByBothSides) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a folder of another user needs root";
    Seed(FreeLoopbackPort());
    const std::string folder = (Runtime() + "/velmora").toStdString();
    const std::string received = Home.path().toStdString() + "/received";
    QTemporaryDir target; // the link's target: a private folder of this user's
    struct TCase {
        const char *What;
        std::function<void()> Make;
        std::string Found; // in the message: the owner and mode found
    };
    const std::vector<TCase> cases{
        {"another user's", [&] { ::chown(folder.c_str(), 65534, 65534); },
         "uid 65534 with mode 0700"},
        {"open to others", [&] { ::chmod(folder.c_str(), 0755); }, "uid 0 with mode 0755"},
        {"a link",
         [&] {
             ::rmdir(folder.c_str());
             ::symlink(target.path().toUtf8().constData(), folder.c_str());
         },
         "a symbolic link of uid 0"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.What);
        ::unlink(folder.c_str());
        QDir(QString::fromStdString(folder)).removeRecursively();
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        c.Make();
        ::unlink(received.c_str());
        TFakeControlServer fake(folder + "/control.sock", received);
        TFakeControlServer fakeHandOff(folder + "/launch.sock", received + ".launch");
        const std::string message = "The socket folder " + folder + " is not safe";
        // Each command with its exit status: the list still shows the stored
        // chains, without their state.
        const std::vector<std::pair<std::vector<std::string>, int>> commands{
            {{"chain", "stop", "Work"}, 1},
            {{"list", "chains"}, 0},
            {{"run", "--chain", "Work", "true"}, 1}};
        for (const auto &[args, status] : commands) {
            const TRunResult r = Velmora(args);
            EXPECT_EQ(r.ExitCode, status) << args[0] << ": " << r.Err;
            EXPECT_NE(r.Err.find(message), std::string::npos) << args[0] << ": " << r.Err;
            EXPECT_NE(r.Err.find(c.Found), std::string::npos) << args[0] << ": " << r.Err;
        }
        EXPECT_EQ(ReadText(received), "(none)") << "the fake server was sent a request";
        EXPECT_EQ(ReadText(received + ".launch"), "(none)");
        // The instance does not serve from there either, and says why.
        auto velmora = StartHeadless();
        const QString lines = velmora->Lines().join("\n");
        EXPECT_TRUE(lines.contains("The control socket could not be opened"))
            << lines.toStdString();
        EXPECT_TRUE(lines.contains("The launch socket could not be opened")) << lines.toStdString();
        EXPECT_TRUE(lines.contains(QString::fromStdString(message))) << lines.toStdString();
        EXPECT_EQ(velmora->Terminate(), 0);
    }

    // The control: the same fake server in a private folder is reached.
    ::unlink(folder.c_str());
    QDir(QString::fromStdString(folder)).removeRecursively();
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    TFakeControlServer fake(folder + "/control.sock", received);
    const TRunResult reached = Velmora({"chain", "stop", "Work"});
    EXPECT_EQ(reached.ExitCode, 0) << reached.Err;
    EXPECT_EQ(reached.Out, "fake answer\n");
    EXPECT_EQ(ReadText(received), "stop\tWork\n");
}

// A server of another user in the client's own private folder (only root
// can put one there): nothing is sent to it, and the client names its uid.
// The control: the same server run as the client's user is reached.
TEST_F(InstanceControl, AServerOfAnotherUserIsNotSpokenTo) {
    if (::geteuid() != 0 || !ProgramAvailable("setpriv"))
        GTEST_SKIP() << "two users need root and setpriv";
    Seed(FreeLoopbackPort());
    const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};
    ::chmod(Home.path().toUtf8().constData(), 0755);
    QDir(Home.path()).mkdir("scratch");
    const std::string scratch = Home.path().toStdString() + "/scratch";
    ::chmod(scratch.c_str(), 0777);
    const std::string runtime = Runtime().toStdString();
    const std::string folder = runtime + "/velmora";
    ::chmod(runtime.c_str(), 0711);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ::chown(folder.c_str(), 65534, 65534);
    ::chmod((Folder() + "proxies.dat").toUtf8().constData(), 0644);
    for (const bool sameUser : {false, true}) {
        SCOPED_TRACE(sameUser ? "server of the client's user" : "server of root");
        const std::string received = scratch + (sameUser ? "/same" : "/root");
        TFakeControlServer fake(folder + "/control.sock", received,
                                sameUser ? nobody : std::vector<std::string>{});
        const TRunResult r =
            Velmora({"chain", "stop", "Work"}, nobody, QString::fromStdString(scratch));
        if (sameUser) {
            EXPECT_EQ(r.Out, "fake answer\n") << r.Err;
            EXPECT_EQ(ReadText(received), "stop\tWork\n");
        } else {
            EXPECT_EQ(r.ExitCode, 1);
            EXPECT_NE(r.Err.find("runs as uid 0"), std::string::npos) << r.Err;
            // The server writes what it got once the client has gone.
            WaitFor([&] { return QFile::exists(QString::fromStdString(received)); }, 10000);
            EXPECT_EQ(ReadText(received), "") << "the request reached the server";
        }
    }
}

// A client that goes away before its answer: the instance says so and goes
// on serving (no death by SIGPIPE).
TEST_F(InstanceControl, AClientThatVanishesMidAnswerLeavesTheInstanceRunning) {
    Seed(FreeLoopbackPort());
    auto velmora = StartHeadless();
    bool reported = false;
    for (int attempt = 0; attempt < 20 && !reported; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const std::string request = "states\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), 0), ssize_t(request.size()));
        ::close(fd);
        reported = velmora->WaitForLine("A control client went away", 1000);
    }
    EXPECT_TRUE(reported) << velmora->Lines().join("\n").toStdString();
    const TRunResult list = Velmora({"list", "chains"});
    EXPECT_EQ(list.Err, "") << "the instance no longer answers";
    EXPECT_EQ(velmora->Terminate(), 0);
}

} // namespace
