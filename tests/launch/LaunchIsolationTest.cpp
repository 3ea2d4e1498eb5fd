// What a launched program must not be able to do: hold capabilities (even
// when velmora run is started by root), see or change the network it was
// put in, or run at all when no user namespace can be made. Each check has
// its control: the same command where it can, to show the test would see it.
#include "tests/launch/LaunchFixture.h"

namespace {

using namespace VelmoraTest;

class LaunchIsolation : public LaunchTest {};

// Prints the effective capabilities and the addresses, then tries to add an
// address to loopback ("changed" when it could).
const std::vector<std::string> kProbe{
    "sh", "-c",
    "grep CapEff /proc/self/status; ip -o addr; ip addr add 10.9.9.9/32 dev lo && echo changed"};

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(LaunchIsolation, ProgramHasNoCapabilitiesAndOnlyLoopback) {
    // Controls: in a user namespace of its own the same probe has every
    // capability and changes its network; run directly it sees the client's
    // address.
    const TRunResult own =
        RunInClient(With({"unshare", "--user", "--map-root-user", "--net"}, kProbe));
    EXPECT_EQ(own.Out.find("CapEff:\t0000000000000000"), std::string::npos) << own.Out;
    EXPECT_NE(own.Out.find("changed"), std::string::npos) << own.Out << own.Err;
    const TRunResult direct = RunInClient(kProbe);
    EXPECT_NE(direct.Out.find(ClientAddress()), std::string::npos) << direct.Out;

    for (const bool asRoot : {false, true}) {
        SCOPED_TRACE(asRoot ? "velmora run started by root" : "velmora run started by nobody");
        const TRunResult r = VelmoraRun(With({"--chain", "World"}, kProbe), asRoot);
        EXPECT_NE(r.Out.find("CapEff:\t0000000000000000"), std::string::npos) << r.Out << r.Err;
        EXPECT_EQ(r.Out.find("changed"), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find(ClientAddress()), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find("vclient"), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("127.0.0.1"), std::string::npos) << r.Out;
    }
}

TEST_F(LaunchIsolation, WithoutUserNamespacesNothingRunsUnredirected) {
    // A user namespace in which no further one may be made.
    const std::vector<std::string> limited{
        "unshare", "--user", "--map-root-user",
        "sh",      "-c",     "echo 0 > /proc/sys/user/max_user_namespaces && exec \"$@\"",
        "sh"};
    const TRunResult control = RunInClient(With(limited, {"unshare", "--user", "true"}));
    ASSERT_NE(control.ExitCode, 0) << "the limit does not hold here";
    // Nor does it keep a program in: run there directly, curl reaches the
    // destination from the client's address.
    const TRunResult leak = RunInClient(With(limited, {"curl", "-sS", "--max-time", "10", Url()}));
    EXPECT_EQ(leak.Out, TDestination::Body) << leak.Err;
    EXPECT_EQ(Destination().CountFrom(ClientAddress()), 1);
    ResetCounters();

    const TRunResult r =
        RunInClient(With(limited, {Client().Bin("velmora"), "run", "--chain", "World", "curl",
                                   "-sS", "--max-time", "10", Url()}));
    EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("namespace"), std::string::npos) << r.Err;
    EXPECT_EQ(Destination().Count(), 0) << "the program ran outside a namespace";
    EXPECT_EQ(DnsQueries(), 0);
}

} // namespace
