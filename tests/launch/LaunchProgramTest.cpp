// `velmora run` as a program runner: which chain it takes, that it starts a
// chain nobody runs, that the program's exit status and children come back
// to the caller, that many connections of one program all arrive, and the
// LD_PRELOAD fallback with what it lets escape.
#include "tests/launch/LaunchFixture.h"

#include <filesystem>

namespace {

using namespace VelmoraTest;

class LaunchProgram : public LaunchTest {
protected:
    std::vector<std::string> Curl() const { return {"curl", "-sS", "--max-time", "10", Url()}; }

    // Only `address` reached the destination, `count` times at least.
    void ExpectOnlyFrom(const std::string &address, int count = 1) {
        const auto peers = Destination().Peers();
        EXPECT_GE(Destination().CountFrom(address), count);
        EXPECT_EQ(Destination().CountFrom(address), Destination().Count())
            << "other peers reached the destination";
        EXPECT_EQ(Destination().CountFrom(ClientAddress()), 0);
    }
};

TEST_F(LaunchProgram, ExitStatusOfTheProgramComesBack) {
    const TRunResult seven = VelmoraRun({"--chain", "World", "sh", "-c", "exit 7"});
    EXPECT_EQ(seven.ExitCode, 7) << seven.Err;
    const TRunResult zero = VelmoraRun({"--chain", "World", "true"});
    EXPECT_EQ(zero.ExitCode, 0) << zero.Err;
    // Killed by a signal: 128 + its number.
    const TRunResult killed = VelmoraRun({"--chain", "World", "sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(killed.ExitCode, 128 + 15) << killed.Err;
}

TEST_F(LaunchProgram, ChildrenStayRedirectedAndAreWaitedFor) {
    StartHeadless();
    const std::string curl = "curl -sS --max-time 10 " + Url();
    const TRunResult waited =
        VelmoraRun({"--chain", "World", "sh", "-c", curl + " & " + curl + " & wait"});
    EXPECT_EQ(waited.ExitCode, 0) << waited.Err;
    EXPECT_EQ(waited.Out, std::string(TDestination::Body) + TDestination::Body);
    ExpectOnlyFrom(LastHop(), 2);

    // A child that connects only after the program itself has ended: velmora
    // run is still there for it, and the connection still takes the chain.
    ResetCounters();
    const std::string late = "(sleep 1; exec python3 " + Client().Bin("name_client.py") +
                             " --name " + Name + " 80 >/dev/null 2>&1) & exit 0";
    const TRunResult orphan = VelmoraRun({"--chain", "World", "sh", "-c", late});
    EXPECT_EQ(orphan.ExitCode, 0) << orphan.Err;
    EXPECT_EQ(Destination().CountFrom(LastHop()), 1)
        << "velmora run ended before the program's last child";
    ExpectOnlyFrom(LastHop());
    EXPECT_EQ(DnsQueries(), 0);
}

TEST_F(LaunchProgram, LaunchAfterLaunchSucceedsAndLeavesNothingBehind) {
    StartHeadless();
    // Two hundred launches in a row from one shell, each of which must run
    // its program; every launch sets its namespace up anew.
    const std::string script = "i=0; while [ $i -lt 200 ]; do i=$((i+1)); " +
                               Client().Bin("velmora") +
                               " run --chain World true || echo \"launch $i failed\"; done";
    const TRunResult r = RunInClient({"sh", "-c", script}, false, 170000);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, "") << r.Err;
    // The running instance keeps its hand-off and control sockets there
    // (velmora/launch.sock, velmora/control.sock); the launches themselves
    // leave nothing.
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(Client().RuntimeDir())) {
        const std::string name =
            std::filesystem::relative(entry.path(), Client().RuntimeDir()).string();
        if (name != "velmora" && name != "velmora/launch.sock" && name != "velmora/control.sock")
            left.push_back(name);
    }
    EXPECT_TRUE(left.empty()) << "left in XDG_RUNTIME_DIR: " << left.front() << " and "
                              << left.size() - 1 << " more";
}

TEST_F(LaunchProgram, ThousandConnectionsOfOneProgramAllArrive) {
    StartHeadless();
    const TRunResult r = VelmoraRun({"--chain", "World", Client().Bin("static-client"), "--connect",
                                     World(), "80", "--count", "1000"},
                                    false, 170000);
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_EQ(ClientLine(r.Out, "tcp"), "1000/1000") << r.Out;
    EXPECT_EQ(Destination().CountFrom(LastHop()), 1000);
    ExpectOnlyFrom(LastHop(), 1000);
}

TEST_F(LaunchProgram, ChainByNameByPortOrByTheProgramList) {
    StartHeadless();
    std::vector<std::string> byName{"--chain", "World"};
    byName.insert(byName.end(), {"curl", "-sS", "--max-time", "10", Url()});
    const TRunResult world = VelmoraRun(byName);
    EXPECT_EQ(world.Out, TDestination::Body) << world.Err;
    ExpectOnlyFrom(LastHop());

    // Spare is microsocks alone: the destination sees the world address.
    ResetCounters();
    const TRunResult byPort = VelmoraRun(
        {"--chain", std::to_string(SpareChainPort), "curl", "-sS", "--max-time", "10", Url()});
    EXPECT_EQ(byPort.Out, TDestination::Body) << byPort.Err;
    ExpectOnlyFrom(World());

    // The program list names "CURL" with the Spare chain.
    ResetCounters();
    const TRunResult listed = VelmoraRun({"curl", "-sS", "--max-time", "10", Url()});
    EXPECT_EQ(listed.Out, TDestination::Body) << listed.Err;
    ExpectOnlyFrom(World());
}

TEST_F(LaunchProgram, UnlistedProgramWithoutChainIsRefusedWithTheChains) {
    const TRunResult r = VelmoraRun({"sh", "-c", "curl -sS --max-time 10 " + Url()});
    EXPECT_EQ(r.ExitCode, 2);
    for (const char *text : {"--chain", "World", "Spare", "Broken"})
        EXPECT_NE(r.Err.find(text), std::string::npos) << text << " missing in: " << r.Err;
    EXPECT_EQ(Destination().Count(), 0) << "the program ran";
    EXPECT_EQ(DnsQueries(), 0);
}

TEST_F(LaunchProgram, ChainNobodyRunsIsStartedForTheLaunch) {
    // No velmora --headless: velmora run carries the chain itself, and
    // --verbose shows its activity.
    std::vector<std::string> args{"--chain", "World", "--verbose"};
    const std::vector<std::string> curl = Curl();
    args.insert(args.end(), curl.begin(), curl.end());
    const TRunResult r = VelmoraRun(args);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, TDestination::Body);
    EXPECT_NE(r.Err.find("Request connect to " + std::string(Name) + ":80"), std::string::npos)
        << r.Err;
    ExpectOnlyFrom(LastHop());
    EXPECT_EQ(DnsQueries(), 0);

    // A chain with a proxy whose check failed is not started, and the
    // program does not run at all.
    ResetCounters();
    std::vector<std::string> broken{"--chain", "Broken"};
    broken.insert(broken.end(), curl.begin(), curl.end());
    const TRunResult refused = VelmoraRun(broken);
    EXPECT_EQ(refused.ExitCode, 1) << refused.Err;
    EXPECT_NE(refused.Err.find("Broken"), std::string::npos) << refused.Err;
    EXPECT_NE(refused.Err.find(std::to_string(ClosedPort)), std::string::npos) << refused.Err;
    EXPECT_EQ(Destination().Count(), 0) << "the program ran";
}

TEST_F(LaunchProgram, PreloadCarriesCurlAndLetsAStaticProgramEscapeAsItWarns) {
    StartHeadless();
    std::vector<std::string> args{"--preload", "--chain", "World"};
    const std::vector<std::string> curl = Curl();
    args.insert(args.end(), curl.begin(), curl.end());
    const TRunResult carried = VelmoraRun(args);
    EXPECT_EQ(carried.ExitCode, 0) << carried.Err;
    EXPECT_EQ(carried.Out, TDestination::Body);
    ExpectOnlyFrom(LastHop());
    EXPECT_EQ(DnsQueries(), 0) << "the name was looked up outside the chain";
    for (const char *text : {"static", "io_uring", "UDP"})
        EXPECT_NE(carried.Err.find(text), std::string::npos)
            << "the warning does not name " << text << ": " << carried.Err;

    // What the warning says: a statically linked program is not reached.
    ResetCounters();
    const TRunResult escaped =
        VelmoraRun({"--preload", "--chain", "World", Client().Bin("static-client"), "--dns",
                    World(), Name, "--connect", World(), "80"});
    EXPECT_EQ(ClientLine(escaped.Out, "tcp"), "1/1") << escaped.Out << escaped.Err;
    EXPECT_GE(Destination().CountFrom(ClientAddress()), 1) << "the static client was carried";
    EXPECT_GT(Sink().Count(), 0);
}

} // namespace
