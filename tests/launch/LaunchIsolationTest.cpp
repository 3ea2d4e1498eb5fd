// What a launched program must not be able to do: hold capabilities (even
// when velmora run is started by root), see or change the network it was
// put in, reach a loopback service outside it or nscd, or run at all when
// no user namespace can be made. Each check has its control: the same
// command where it can, to show the test would see it.
#include "tests/launch/LaunchFixture.h"
#include "tests/support/LoopbackServer.h"

#include <atomic>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

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
        // Root names the user the program runs as (it refuses to run it as
        // root).
        const std::vector<std::string> user{"--user", std::to_string(TClientSide::UserId)};
        const TRunResult r = VelmoraRun(
            With(asRoot ? user : std::vector<std::string>{}, With({"--chain", "World"}, kProbe)),
            asRoot);
        EXPECT_NE(r.Out.find("CapEff:\t0000000000000000"), std::string::npos) << r.Out << r.Err;
        EXPECT_EQ(r.Out.find("changed"), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find(ClientAddress()), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find("vclient"), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("127.0.0.1"), std::string::npos) << r.Out;
    }
}

TEST_F(LaunchIsolation, LoopbackServicesOutsideAreOutOfReach) {
    // Port 9999 of a running Velmora connects straight to wherever it is
    // asked: reached from the namespace, it would carry the program around
    // the chain.
    StartHeadless();
    const std::vector<std::string> curl{
        "curl", "-sS", "--max-time", "10", "--socks5-hostname", "127.0.0.1:9999", Url()};
    // Control: from the client namespace directly it works, and the
    // destination sees the client's address.
    const TRunResult direct = RunInClient(curl);
    EXPECT_EQ(direct.Out, TDestination::Body) << direct.Err;
    EXPECT_EQ(Destination().CountFrom(ClientAddress()), 1);

    ResetCounters();
    const TRunResult launched = VelmoraRun(With({"--chain", "World"}, curl));
    EXPECT_NE(launched.ExitCode, 0);
    EXPECT_EQ(launched.Out, "");
    EXPECT_EQ(Destination().Count(), 0) << "the program reached port 9999 outside";
    EXPECT_EQ(DnsQueries(), 0);
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

// A stand-in for nscd's socket: reads each request's head (version, type,
// key length: three 32-bit integers), counts the host look-ups among them
// (by name, by address, getaddrinfo, or asking for the hosts cache), and
// closes the connection without an answer, after which the C library looks
// the name up itself. Requests for users and groups are left out: velmora
// run itself, outside the namespace, may ask for those.
class TNscdSocket {
public:
    explicit TNscdSocket(const std::string &path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
            ::chmod(path.c_str(), 0666) < 0 || ::listen(fd, 64) < 0)
            throw std::runtime_error("cannot listen on " + path);
        FServer = std::make_unique<TLoopbackServer>(TSocket(fd), [this](TSocket &client) {
            int32_t head[3] = {};
            client.SetReadTimeout(5000);
            client.ReadExact(head, sizeof head);
            const int32_t type = head[1];
            // GETHOSTBYNAME, ...v6, GETHOSTBYADDR, ...v6; GETFDHST; GETAI
            if ((type >= 4 && type <= 7) || type == 13 || type == 14)
                ++FHostRequests;
        });
    }
    int HostRequests() const { return FHostRequests.load(); }

private:
    std::atomic<int> FHostRequests{0};
    std::unique_ptr<TLoopbackServer> FServer; // last: its threads use the count
};

TEST_F(LaunchIsolation, NameLookUpsNeverReachNscd) {
    // nscd's folder, seen by the command alone (a tmpfs over /run in its
    // own mount namespace), holding the stand-in's socket.
    const std::string folder = Client().Scratch() + "/nscd";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    TNscdSocket nscd(folder + "/socket");
    const std::string prepare =
        "mount -t tmpfs tmpfs /run && mkdir /run/nscd && mount --bind " + folder + " /run/nscd";
    const std::vector<std::string> python = PythonClient({"--name", Name, "80"});

    // Control: run directly, the look-up asks nscd first.
    const TRunResult direct = RunInClient(python, false, 60000, prepare);
    EXPECT_EQ(ClientLine(direct.Out, "tcp"), "1/1") << direct.Out << direct.Err;
    EXPECT_GT(nscd.HostRequests(), 0) << "the stand-in nscd was not asked";

    // Nor does a network namespace alone keep it from nscd: Unix sockets are
    // no network traffic.
    const int asked = nscd.HostRequests();
    RunInClient(With({"unshare", "--user", "--map-root-user", "--net"}, python), false, 60000,
                prepare);
    EXPECT_GT(nscd.HostRequests(), asked) << "nscd was not asked from a bare namespace";

    const int before = nscd.HostRequests();
    const TRunResult launched = RunInClient(
        With({Client().Bin("velmora"), "run", "--chain", "World"}, python), false, 60000, prepare);
    EXPECT_EQ(ClientLine(launched.Out, "tcp"), "1/1") << launched.Out << launched.Err;
    EXPECT_TRUE(InFakeRange(ClientLine(launched.Out, "dns"))) << launched.Out;
    EXPECT_EQ(nscd.HostRequests(), before) << "a name was looked up through nscd";
}

} // namespace
