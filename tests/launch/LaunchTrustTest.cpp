// What `velmora run` trusts: only a chain it runs itself or one the running
// instance confirms through its hand-off socket. A SOCKS server of another
// user, or one of the same user like `ssh -D`, on the chain's port gets
// nothing from the launch (plain, --preload, or as the Anonymize page's
// Launch and the menu entries run it), and the refusal names the port and,
// where it is visible, the process. The launched program holds no
// descriptor beyond 0-2.
#include "tests/launch/LaunchFixture.h"

#include <sstream>

namespace {

using namespace VelmoraTest;

class LaunchTrust : public LaunchTest {
protected:
    std::vector<std::string> Curl() const { return {"curl", "-sS", "--max-time", "10", Url()}; }

    // microsocks on 127.0.0.1:port of the client namespace, as root (another
    // user than the launches') or as the launches' own user.
    std::unique_ptr<TProcess> Squatter(uint16_t port, bool asRoot) {
        auto squatter = std::make_unique<TProcess>(
            Client().Command({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)}, asRoot),
            TProcess::TOptions{TProcess::TOutput::Capture});
        EXPECT_TRUE(WaitAcceptingIn(Net().Client(), "127.0.0.1", port, 10000))
            << "the squatter does not listen on " << port;
        return squatter;
    }
};

TEST_F(LaunchTrust, ASocksServerOnTheChainPortGetsNothingAndIsNamed) {
    struct TLaunch {
        const char *What;
        std::vector<std::string> Args;
        uint16_t Port;
    };
    // The page's Launch and a menu entry run "velmora run --chain CHAIN
    // PROGRAM" for a row of the program list (CURL: the Spare chain).
    const std::vector<TLaunch> launches{
        {"plain", {"--chain", "World"}, WorldChainPort},
        {"--preload", {"--preload", "--chain", "World"}, WorldChainPort},
        {"as the page's Launch runs it", {"--chain", "Spare"}, SpareChainPort}};
    struct TSquatterKind {
        bool AsRoot;
        const char *Holder; // how the refusal names it
    };
    const std::vector<TSquatterKind> kinds{{true, "a process of uid 0 that could not be named"},
                                           {false, "microsocks (process "}};
    for (const TSquatterKind &kind : kinds) {
        for (const TLaunch &launch : launches) {
            SCOPED_TRACE(std::string(launch.What) + (kind.AsRoot ? ", root's" : ", own"));
            auto squatter = Squatter(launch.Port, kind.AsRoot);
            // The control: the squatter is a working SOCKS 5 server, which the
            // old detection (a greeting answered) took for the chain.
            ResetCounters();
            const TRunResult direct =
                RunInClient({"curl", "-sS", "--max-time", "10", "--socks5-hostname",
                             "127.0.0.1:" + std::to_string(launch.Port), Url()});
            EXPECT_EQ(direct.Out, TDestination::Body) << direct.Err;
            EXPECT_GE(Destination().CountFrom(ClientAddress()), 1);

            ResetCounters();
            std::vector<std::string> args = launch.Args;
            const std::vector<std::string> curl = Curl();
            args.insert(args.end(), curl.begin(), curl.end());
            const TRunResult r = VelmoraRun(args);
            EXPECT_EQ(r.ExitCode, 1) << r.Err;
            EXPECT_EQ(r.Out, "") << "the program ran";
            for (const std::string &text :
                 {"Port " + std::to_string(launch.Port), std::string(kind.Holder),
                  std::string("nothing was run")})
                EXPECT_NE(r.Err.find(text), std::string::npos) << text << " missing: " << r.Err;
            EXPECT_EQ(Destination().Count(), 0) << "the squatter carried the request";
            EXPECT_EQ(DnsQueries(), 0);
            squatter->Stop();
        }
    }
}

// With an instance running: a chain it does not run (Broken: a proxy whose
// check failed) whose port a squatter holds is refused the same way, not
// relayed to the squatter.
TEST_F(LaunchTrust, AChainTheInstanceDoesNotRunIsNotTakenFromItsPort) {
    StartHeadless();
    auto squatter = Squatter(BrokenChainPort, false);
    std::vector<std::string> args{"--chain", "Broken"};
    const std::vector<std::string> curl = Curl();
    args.insert(args.end(), curl.begin(), curl.end());
    const TRunResult r = VelmoraRun(args);
    EXPECT_EQ(r.ExitCode, 1) << r.Err;
    EXPECT_NE(r.Err.find("Port " + std::to_string(BrokenChainPort)), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("microsocks (process "), std::string::npos) << r.Err;
    EXPECT_EQ(Destination().Count(), 0);
}

// Root launching for a user (through sudo) trusts that user's instance, and
// only that user's: the same launch for another user finds the folder not
// its own and runs nothing.
TEST_F(LaunchTrust, RootLaunchingForAUserUsesThatUsersInstance) {
    StartHeadless(); // the user's, holding the World chain's port
    const auto asRootFor = [&](const std::string &uid) {
        std::vector<std::string> command{
            "env",  "SUDO_UID=" + uid, "SUDO_GID=" + uid, Client().Bin("velmora"), "run", "--chain",
            "World"};
        const std::vector<std::string> curl = Curl();
        command.insert(command.end(), curl.begin(), curl.end());
        return RunInClient(command, true);
    };
    const TRunResult forUser = asRootFor(std::to_string(TClientSide::UserId));
    EXPECT_EQ(forUser.ExitCode, 0) << forUser.Err;
    EXPECT_EQ(forUser.Out, TDestination::Body);
    EXPECT_EQ(Destination().CountFrom(LastHop()), 1);

    ResetCounters();
    const TRunResult forAnother = asRootFor("1");
    EXPECT_EQ(forAnother.ExitCode, 1) << forAnother.Err;
    EXPECT_NE(forAnother.Err.find("is not safe"), std::string::npos) << forAnother.Err;
    EXPECT_EQ(forAnother.Out, "");
    EXPECT_EQ(Destination().Count(), 0);
}

// The probe is the static client, which lists what it holds; being
// statically linked, it opens nothing of the preloaded library's either.
TEST_F(LaunchTrust, TheProgramHoldsOnlyItsStandardDescriptors) {
    // The control: the probe sees a descriptor handed down to it.
    const TRunResult leaked = RunInClient(
        {"sh", "-c", "exec 7</dev/null; exec " + Client().Bin("static-client") + " --fds"});
    const std::string seen = ClientLine(leaked.Out, "fds");
    EXPECT_NE((" " + seen + " ").find(" 7 "), std::string::npos) << leaked.Out << leaked.Err;

    const auto probe = [&](const char *what, std::vector<std::string> args) {
        const std::vector<std::string> fds = StaticClient({"--fds"});
        args.insert(args.end(), fds.begin(), fds.end());
        const TRunResult r = VelmoraRun(args);
        EXPECT_EQ(r.ExitCode, 0) << what << ": " << r.Err;
        EXPECT_EQ(ClientLine(r.Out, "fds"), "0 1 2") << what << ": " << r.Out << r.Err;
    };
    probe("a chain of its own", {"--chain", "World"});
    probe("a chain of its own, --preload", {"--preload", "--chain", "World"});
    StartHeadless();
    probe("the instance's chain", {"--chain", "World"});
    probe("the instance's chain, --preload", {"--preload", "--chain", "World"});
}

} // namespace
