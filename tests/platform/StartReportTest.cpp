// What `velmora run` tells its starter about the program's start, through
// the descriptor the starter names in the environment.
#include "platform/StartReport.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket pair whose one end is named in the variable, as the window
// passes it.
struct TStarter {
    TStarter() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, Fds), 0);
        ::setenv(StartReportVariable, std::to_string(Fds[1]).c_str(), 1);
    }
    ~TStarter() {
        if (Fds[0] >= 0)
            ::close(Fds[0]); // the other end is the report's to close
        ::unsetenv(StartReportVariable);
    }
    std::string Heard() {
        std::string text;
        char buffer[256];
        ssize_t n;
        while ((n = ::recv(Fds[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    int Fds[2] = {-1, -1};
};

} // namespace

TEST(StartReport, TellsTheStarterOnceAndHidesItsDescriptorFromThePrograms) {
    const struct {
        bool Started;
        std::string Reason, Heard;
    } cases[] = {
        {true, "", "started\n"},
        {false, "Cannot run \"nope\": No such file or directory",
         "failed Cannot run \"nope\": No such file or directory\n"},
        {false, "two lines", "failed two lines\n"},
    };
    for (const auto &c : cases) {
        TStarter starter;
        TStartReport report = TStartReport::FromEnvironment();
        EXPECT_EQ(std::getenv(StartReportVariable), nullptr); // the program does not see it
        EXPECT_EQ(::fcntl(starter.Fds[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        if (c.Started)
            report.Started();
        else if (c.Reason == "two lines")
            report.Failed("two\nlines"); // one line, whatever the reason
        else
            report.Failed(c.Reason);
        report.Started(); // later words are not sent
        EXPECT_EQ(starter.Heard(), c.Heard);
        EXPECT_EQ(::fcntl(starter.Fds[1], F_GETFD), -1); // closed: the starter sees the end
        EXPECT_EQ(TStartReport::Reason(c.Heard), c.Reason);
    }
}

TEST(StartReport, ABadOrMissingVariableOrAGoneStarterHarmsNothing) {
    for (const char *value : {"", "x", "1", "3x", "999999"}) {
        ::setenv(StartReportVariable, value, 1);
        TStartReport report = TStartReport::FromEnvironment();
        EXPECT_EQ(std::getenv(StartReportVariable), nullptr) << value;
        report.Started(); // writes nowhere; standard output stays open
        EXPECT_NE(::fcntl(1, F_GETFD), -1) << value;
    }
    {
        // The starter has gone: no SIGPIPE ends this process.
        TStarter starter;
        ::close(starter.Fds[0]);
        starter.Fds[0] = -1;
        TStartReport::FromEnvironment().Failed("late");
    }
    // What the starter makes of an end without a word, or of noise.
    for (const char *text : {"", "start", "failed \n"})
        EXPECT_EQ(TStartReport::Reason(text), "velmora run ended before the program started");
}
