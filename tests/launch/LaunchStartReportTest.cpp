// What `velmora run` tells the one who started it (the window) about the
// program's start, through the descriptor named in VELMORA_START_FD: one
// line, "started" once the program runs in its network, or "failed " and
// the reason; the program itself sees neither the descriptor nor the
// variable.
#include "platform/StartReport.h"
#include "tests/launch/LaunchFixture.h"

namespace {

using namespace VelmoraTest;

class LaunchStartReport : public LaunchTest {
protected:
    // `velmora run ARGS...` with its report on descriptor 7, which is the
    // run's standard error (or without the variable: the negative control).
    TRunResult Run(const std::vector<std::string> &args, bool report = true) {
        std::string line = report ? std::string(StartReportVariable) + "=7 " : std::string();
        line += "exec " + Client().Bin("velmora") + " run";
        for (const std::string &a : args)
            line += " '" + a + "'";
        return RunInClient({"bash", "-c", line + " 7>&2"});
    }
    static bool HasLine(const std::string &text, const std::string &line) {
        return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
    }
};

} // namespace

TEST_F(LaunchStartReport, StartedOnlyWhenTheProgramRunsElseTheReason) {
    // The program looks for descriptor 7 and the variable in itself.
    const std::string probe = "ls /proc/self/fd | grep -qx 7 && echo fd-seen; "
                              "env | grep -q " +
                              std::string(StartReportVariable) + " && echo variable-seen; echo ran";
    const TRunResult good = Run({"--chain", "World", "sh", "-c", probe});
    EXPECT_EQ(good.ExitCode, 0) << good.Err;
    EXPECT_EQ(good.Out, "ran\n");
    EXPECT_TRUE(HasLine(good.Err, "started")) << good.Err;
    // Control: the probe sees both when they are handed down as they are.
    const TRunResult direct = RunInClient(
        {"bash", "-c", std::string(StartReportVariable) + "=7 sh -c '" + probe + "' 7>&2"});
    EXPECT_EQ(direct.Out, "fd-seen\nvariable-seen\nran\n") << direct.Err;

    const struct {
        std::vector<std::string> Args;
        std::string Line;
    } failures[] = {
        {{"--chain", "World", "velmora-no-such-program"},
         "failed Cannot run \"velmora-no-such-program\": No such file or directory"},
        {{"--chain", "Broken", "true"},
         "failed Chain \"Broken\" does not run and cannot be "
         "started for the program: some proxy items not working"},
        {{"--chain", "Nope", "true"}, "failed run: there is no chain named \"Nope\""},
    };
    for (const auto &f : failures) {
        const TRunResult r = Run(f.Args);
        EXPECT_NE(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Err.find("started\n"), std::string::npos) << r.Err;
        EXPECT_NE(("\n" + r.Err).find("\n" + f.Line), std::string::npos) << r.Err;
    }

    // Control: without the variable nothing is written to descriptor 7.
    const TRunResult silent = Run({"--chain", "World", "true"}, false);
    EXPECT_EQ(silent.ExitCode, 0) << silent.Err;
    EXPECT_FALSE(HasLine(silent.Err, "started")) << silent.Err;
}
