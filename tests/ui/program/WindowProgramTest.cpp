// The real program with its window (offscreen): started from the folder that
// holds Style.vsf, it opens the window and runs the chains that the command
// line made; without a display it runs headless; SIGTERM closes the window; a
// second start brings the running window forward; --log FILE appends the
// activity to FILE.
#include "tests/support/Peers.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/VelmoraProcess.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace VelmoraTest;

// Sets or removes an environment variable for the test's lifetime.
class TEnv {
public:
    TEnv(const char *name, const char *value) : FName(name) {
        if (const char *old = std::getenv(name))
            FOld = old, FHad = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~TEnv() {
        if (FHad)
            ::setenv(FName, FOld.c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char *FName;
    std::string FOld;
    bool FHad = false;
};

int RunToEnd(const std::vector<std::string> &args, const QString &home) {
    TVelmoraProcess p(args, home);
    return p.WaitExit(60000);
}

// SOCKS 5 CONNECT to 127.0.0.1:dest through the chain, then a round trip.
std::string RoundTrip(uint16_t chainPort, uint16_t dest, const std::string &text) {
    const int fd = ConnectLoopback(chainPort);
    if (fd < 0)
        return "no connection";
    std::string result = "handshake failed";
    if (Socks5Handshake(fd, dest) == 0) {
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        std::string back(text.size(), '\0');
        const ssize_t got = ::recv(fd, back.data(), back.size(), MSG_WAITALL);
        result = got > 0 ? back.substr(0, size_t(got)) : "no answer";
    }
    ::close(fd);
    return result;
}

} // namespace

TEST(WindowProgram, OpensTheWindowAndRunsAChainMadeOnTheCommandLine) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is needed";
    TMicrosocksPeer hop;
    TEchoServer echo;
    VelmoraTest::TLoopbackServer page(VelmoraTest::HttpBody());
    QTemporaryDir home;
    const QString list = home.filePath("list.txt");
    {
        QFile f(list);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("127.0.0.1:%1\n").arg(hop.Port()).toUtf8());
    }
    ASSERT_EQ(RunToEnd({"import", list.toStdString()}, home.path()), 0);
    {
        const std::string url = "http://127.0.0.1:" + std::to_string(page.Port()) + "/";
        TEnv checkURL("VELMORA_CHECK_URL", url.c_str());
        ASSERT_EQ(RunToEnd({"check", "--all"}, home.path()), 0);
    }
    const uint16_t chainPort = FreeLoopbackPort();
    ASSERT_EQ(RunToEnd({"chain", "add", "Work", std::to_string(chainPort), "1"}, home.path()), 0);

    // The window needs Style.vsf in the working directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(VELMORA_SOURCE_DIR));
    TEnv platform("QT_QPA_PLATFORM", "offscreen");
    TVelmoraProcess window({}, home.path());
    QDir::setCurrent(previous);

    ASSERT_TRUE(WaitAccepting(chainPort, 20000)) << window.Lines().join('\n').toStdString();
    EXPECT_EQ(RoundTrip(chainPort, echo.Port(), "through the window's chain"),
              "through the window's chain");
    // SIGTERM ends the program as Quit does: an open connection through the
    // chain raises no close question that would hold the window up.
    const int held = Socks5Connect(chainPort, echo.Port());
    EXPECT_GE(held, 0);
    EXPECT_EQ(window.Terminate(20000), 0); // closes the window, which stops the chain
    EXPECT_FALSE(WaitAccepting(chainPort, 200));
    if (held >= 0)
        ::close(held);
}

TEST(WindowProgram, WithoutADisplayItRunsHeadless) {
    QTemporaryDir home;
    TEnv display("DISPLAY", nullptr);
    TEnv wayland("WAYLAND_DISPLAY", nullptr);
    TEnv platform("QT_QPA_PLATFORM", nullptr);
    TVelmoraProcess p({}, home.path());
    EXPECT_TRUE(p.WaitForLine(QStringLiteral("Services started")))
        << p.Lines().join('\n').toStdString();
    EXPECT_EQ(p.Terminate(), 0);
}

// One instance per user: with the window open, a second start brings it
// forward and ends, --headless refuses to start, and the command line sees
// the window's chains.
TEST(WindowProgram, ASecondStartBringsTheRunningWindowForward) {
    QTemporaryDir home;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(VELMORA_SOURCE_DIR));
    TEnv platform("QT_QPA_PLATFORM", "offscreen");
    TVelmoraProcess window({}, home.path());
    QDir::setCurrent(previous);

    const auto listChains = [&] {
        TVelmoraProcess list({"list", "chains"}, home.path());
        list.WaitExit(30000);
        list.WaitForLine(QStringLiteral("\x01never"), 200); // the rest of the output
        return list.Lines();
    };
    ASSERT_TRUE(WaitFor([&] { return listChains().value(0).endsWith("\tState"); }, 30000))
        << window.Lines().join('\n').toStdString();

    TVelmoraProcess second({}, home.path());
    EXPECT_EQ(second.WaitExit(30000), 0);
    EXPECT_TRUE(second.WaitForLine(
        QStringLiteral("Velmora is already running (process %1): its window was brought forward")
            .arg(window.Pid())))
        << second.Lines().join('\n').toStdString();

    TVelmoraProcess headless({"--headless"}, home.path());
    EXPECT_EQ(headless.WaitExit(30000), 1);
    EXPECT_TRUE(headless.WaitForLine(
        QStringLiteral("Velmora is already running (process %1, with its window)")
            .arg(window.Pid())))
        << headless.Lines().join('\n').toStdString();

    EXPECT_TRUE(Accepting(9999)); // the window's own services go on
    EXPECT_EQ(window.Terminate(20000), 0);
}

// A window started while a headless Velmora runs says so (on standard error
// and in a message box) instead of opening a second set of services.
TEST(WindowProgram, AStartBesideAHeadlessOneSaysItRunsWithoutAWindow) {
    QTemporaryDir home;
    TVelmoraProcess headless({"--headless"}, home.path());
    ASSERT_TRUE(headless.WaitForLine(QStringLiteral("Services started")))
        << headless.Lines().join('\n').toStdString();

    TEnv platform("QT_QPA_PLATFORM", "offscreen");
    TVelmoraProcess window({}, home.path());
    EXPECT_TRUE(window.WaitForLine(
        QStringLiteral("Velmora is already running without a window (process %1)")
            .arg(headless.Pid())))
        << window.Lines().join('\n').toStdString();
    window.Terminate(5000); // the message box waits for a click
    EXPECT_FALSE(window.Lines().join('\n').contains(QStringLiteral("Could not bind")));
    EXPECT_EQ(headless.Terminate(), 0);
}

// velmora --log FILE: the activity panel's lines, each with its time in
// front, are appended to FILE (after what it held); the usage names the form.
TEST(WindowProgram, LogOptionAppendsTheActivityWithItsTime) {
    QTemporaryDir home;
    const QString log = home.filePath("activity-run.log");
    {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("an earlier line\n");
    }
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(VELMORA_SOURCE_DIR));
    TEnv platform("QT_QPA_PLATFORM", "offscreen");
    TVelmoraProcess window({"--log", log.toStdString()}, home.path());
    QDir::setCurrent(previous);

    const auto lines = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    };
    ASSERT_TRUE(WaitFor([&] { return lines().join('\n').contains("Services started"); }, 30000))
        << lines().join('\n').toStdString() << "\n"
        << window.Lines().join('\n').toStdString();
    EXPECT_EQ(window.Terminate(20000), 0);

    const QStringList written = lines();
    ASSERT_GE(written.size(), 2);
    EXPECT_EQ(written[0], QStringLiteral("an earlier line"));
    static const QRegularExpression timed(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\S"));
    for (qsizetype i = 1; i < written.size(); ++i)
        EXPECT_TRUE(timed.match(written[i]).hasMatch()) << written[i].toStdString();

    TVelmoraProcess usage({"--no-such-option"}, home.path());
    EXPECT_NE(usage.WaitExit(30000), 0);
    EXPECT_TRUE(usage.WaitForLine(QStringLiteral("velmora --log FILE")))
        << usage.Lines().join('\n').toStdString();
}
