// What a launched program must not reach of this machine beyond its
// network: the sockets of the user's runtime folder (the session bus,
// Velmora's own control socket), the system bus, other sockets in /run and
// /tmp; nor the variables that name them; nor root's powers when root
// starts `velmora run`. And what it keeps: the X display, DNS over TCP on
// its own loopback, the user's limit of open files. Each probe is also run
// outside `velmora run`, where it must see what is hidden inside.
#include "tests/launch/LaunchFixture.h"
#include "tests/support/Peers.h"

#include <filesystem>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace VelmoraTest;
namespace fs = std::filesystem;

// A listening Unix socket anyone may connect to (a connection waits in its
// backlog); removed with its folder when the test made that.
class TUnixListener {
public:
    explicit TUnixListener(const std::string &path) : FPath(path) {
        const std::string folder = fs::path(path).parent_path();
        if (!fs::exists(folder)) {
            fs::create_directories(folder);
            FMadeFolder = folder;
        }
        FSocket = TSocket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (!FSocket.Valid() ||
            ::bind(FSocket.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::chmod(path.c_str(), 0666) != 0 || ::listen(FSocket.Fd(), 16) != 0)
            throw std::runtime_error("cannot listen on " + path);
    }
    ~TUnixListener() {
        ::unlink(FPath.c_str());
        if (!FMadeFolder.empty())
            fs::remove(FMadeFolder);
    }

private:
    std::string FPath, FMadeFolder;
    TSocket FSocket;
};

// Connects to every path given (as a stream, else as a packet socket) and
// prints "PATH reached" or "PATH refused REASON"; then the value of every variable named by VARS.
const std::string kSocketProbe = R"(
import errno, os, socket, sys
def reach(p, kind):
    try:
        socket.socket(socket.AF_UNIX, kind).connect(p)
        return "reached"
    except OSError as e:
        return "wrong type" if e.errno == errno.EPROTOTYPE else "refused " + e.strerror
for p in sys.argv[1:]:
    seen = reach(p, socket.SOCK_STREAM)
    print(p, reach(p, socket.SOCK_SEQPACKET) if seen == "wrong type" else seen)
for v in os.environ.get("VARS", "").split():
    print("env", v, os.environ.get(v, "-"))
)";

class LaunchConfinement : public LaunchTest {
protected:
    // `velmora run ARGS...` with variables of its own ("NAME=value").
    TRunResult VelmoraRunWith(const std::vector<std::string> &variables,
                              const std::vector<std::string> &args, bool asRoot = false) {
        std::vector<std::string> command{"env"};
        command.insert(command.end(), variables.begin(), variables.end());
        command.insert(command.end(), {Client().Bin("velmora"), "run"});
        command.insert(command.end(), args.begin(), args.end());
        return RunInClient(command, asRoot);
    }
};

TEST_F(LaunchConfinement, HostSocketsAndTheirVariablesAreHiddenFromTheProgram) {
    StartHeadless(); // its control and launch sockets in the runtime folder
    const std::string agents = TTopology::MakeTempFolder("agent");
    fs::permissions(agents, fs::perms::all);
    const std::string runtime = Client().RuntimeDir();
    const std::vector<std::string> paths{
        runtime + "/bus",                                   // the session bus
        runtime + "/velmora/control.sock",                  // Velmora's own
        runtime + "/velmora/launch.sock",                   //
        "/run/dbus/system_bus_socket",                      // the system bus
        "/run/velmora-probe-" + std::to_string(::getpid()), // a service in /run
        agents + "/agent.1",                                // an agent in /tmp
    };
    std::vector<std::unique_ptr<TUnixListener>> listeners;
    for (const std::string &path : paths)
        if (path.find("/velmora/") == std::string::npos && !fs::exists(path))
            listeners.push_back(std::make_unique<TUnixListener>(path));
    const std::vector<std::string> variables{
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
        "SSH_AUTH_SOCK=" + agents + "/agent.1",
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket",
        "VARS=DBUS_SESSION_BUS_ADDRESS SSH_AUTH_SOCK DBUS_SYSTEM_BUS_ADDRESS PATH"};
    std::vector<std::string> probe{"python3", "-c", kSocketProbe};
    probe.insert(probe.end(), paths.begin(), paths.end());

    // Control: outside, every socket answers and every variable is there.
    std::vector<std::string> outside{"env"};
    outside.insert(outside.end(), variables.begin(), variables.end());
    outside.insert(outside.end(), probe.begin(), probe.end());
    const TRunResult direct = RunInClient(outside);
    for (const std::string &path : paths)
        EXPECT_EQ(ClientLine(direct.Out, path), "reached") << direct.Out << direct.Err;
    EXPECT_EQ(ClientLines(direct.Out, "env").size(), 4U) << direct.Out;
    EXPECT_EQ(direct.Out.find(" -\n"), std::string::npos) << direct.Out;

    std::vector<std::string> args{"--chain", "World"};
    args.insert(args.end(), probe.begin(), probe.end());
    const TRunResult inside = VelmoraRunWith(variables, args);
    EXPECT_EQ(inside.ExitCode, 0) << inside.Err;
    for (const std::string &path : paths)
        EXPECT_EQ(ClientLine(inside.Out, path).rfind("refused", 0), 0U) << path << " is in reach:\n"
                                                                        << inside.Out << inside.Err;
    for (const char *name :
         {"DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK", "DBUS_SYSTEM_BUS_ADDRESS"})
        EXPECT_EQ(ClientLine(inside.Out, std::string("env ") + name), "-") << inside.Out;
    EXPECT_NE(ClientLine(inside.Out, "env PATH"), "-") << inside.Out;
    listeners.clear();
    fs::remove_all(agents);
}

TEST_F(LaunchConfinement, TheDisplayAndSoundSocketsOfTheRuntimeFolderStayUnlessNoSound) {
    const std::string runtime = Client().RuntimeDir();
    struct TSocketCase {
        std::string Path;
        bool Sound;
    };
    const std::vector<TSocketCase> sockets{{runtime + "/wayland-0", false},
                                           {runtime + "/pulse/native", true},
                                           {runtime + "/pipewire-0", true},
                                           {runtime + "/bus", false}};
    std::vector<std::unique_ptr<TUnixListener>> listeners;
    std::vector<std::string> probe{"python3", "-c", kSocketProbe};
    for (const TSocketCase &c : sockets) {
        listeners.push_back(std::make_unique<TUnixListener>(c.Path));
        probe.push_back(c.Path);
    }
    RunProgram({"chown", "-R", std::to_string(TClientSide::UserId), runtime}, 10000);
    for (const bool sound : {true, false}) {
        SCOPED_TRACE(sound ? "with sound" : "--no-sound");
        std::vector<std::string> args{"--chain", "World"};
        if (!sound)
            args.push_back("--no-sound");
        args.insert(args.end(), probe.begin(), probe.end());
        const TRunResult r = VelmoraRun(args);
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        for (const TSocketCase &c : sockets) {
            const bool kept = c.Path != runtime + "/bus" && (sound || !c.Sound);
            const std::string seen = ClientLine(r.Out, c.Path);
            EXPECT_EQ(seen == "reached", kept) << c.Path << ": " << seen << "\n" << r.Err;
        }
    }
}

TEST_F(LaunchConfinement, AnX11ClientReachesTheDisplay) {
    if (!ProgramAvailable("Xvfb") || !ProgramAvailable("xdpyinfo"))
        GTEST_SKIP() << "Xvfb or xdpyinfo is missing (see scripts/deps.sh)";
    // Xvfb picks a free display and writes its number.
    TProcess::TOptions options;
    TProcess xvfb({"Xvfb", "-displayfd", "1", "-nolisten", "tcp"}, options);
    std::string number;
    char c;
    while (::read(xvfb.OutFd(), &c, 1) == 1 && c != '\n')
        number += c;
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    const std::string display = "DISPLAY=:" + number;
    const std::vector<std::string> xdpyinfo{"env", display, "xdpyinfo"};
    // Control: outside, and to a display that does not exist inside.
    const TRunResult direct = RunInClient(xdpyinfo);
    EXPECT_EQ(direct.ExitCode, 0) << direct.Err;
    const TRunResult none =
        VelmoraRun({"--chain", "World", "env", "DISPLAY=:" + number + "9", "xdpyinfo"});
    EXPECT_NE(none.ExitCode, 0);

    std::vector<std::string> args{"--chain", "World"};
    args.insert(args.end(), xdpyinfo.begin(), xdpyinfo.end());
    const TRunResult inside = VelmoraRun(args);
    EXPECT_EQ(inside.ExitCode, 0) << inside.Err;
    EXPECT_NE(inside.Out.find("name of display:    :" + number), std::string::npos) << inside.Out;
    xvfb.Stop();
}

TEST_F(LaunchConfinement, StartedByRootTheProgramRunsAsTheUserWhoAsked) {
    const std::string user = std::to_string(TClientSide::UserId);
    // Control: root's own programs run as root.
    EXPECT_EQ(RunInClient({"id", "-u"}, true).Out, "0\n");
    struct TCase {
        const char *What;
        bool AsRoot;
        std::vector<std::string> Variables, Options;
        std::string Uid; // empty: refused
    };
    const TCase cases[] = {
        {"root without sudo", true, {}, {}, ""},
        {"root through sudo", true, {"SUDO_UID=" + user, "SUDO_GID=" + user}, {}, user},
        {"root naming the user", true, {}, {"--user", "nobody"}, user},
        {"root through sudo, --preload",
         true,
         {"SUDO_UID=" + user, "SUDO_GID=" + user},
         {"--preload"},
         user},
        {"root naming root", true, {}, {"--user", "root"}, ""},
        {"sudo from root", true, {"SUDO_UID=0", "SUDO_GID=0"}, {}, ""},
        {"root with a broken SUDO_UID", true, {"SUDO_UID=x" + user, "SUDO_GID=" + user}, {}, ""},
        {"root naming nobody known", true, {}, {"--user", "no-such-user-here"}, ""},
        {"a user naming root", false, {}, {"--user", "root"}, ""},
        {"a user naming itself", false, {}, {"--user", user}, user},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<std::string> args = c.Options;
        args.insert(args.end(), {"--chain", "World", "sh", "-c", "echo uid $(id -u) $(id -g)"});
        const TRunResult r = VelmoraRunWith(c.Variables, args, c.AsRoot);
        if (c.Uid.empty()) {
            EXPECT_EQ(r.ExitCode, 2) << r.Out << r.Err;
            EXPECT_EQ(r.Out, "");
            EXPECT_NE(r.Err.find("velmora: run: "), std::string::npos) << r.Err;
        } else {
            EXPECT_EQ(r.ExitCode, 0) << r.Err;
            EXPECT_EQ(ClientLine(r.Out, "uid"), c.Uid + " " + c.Uid) << r.Out << r.Err;
        }
    }
    const TRunResult refused = VelmoraRun({"--chain", "World", "true"}, true);
    EXPECT_NE(refused.Err.find("start it with sudo from that user, or name one with --user NAME"),
              std::string::npos)
        << refused.Err;
}

TEST_F(LaunchConfinement, DnsOverTcpIsAnsweredOnEveryAddress) {
    // One query for the name by TCP to ADDRESS:53; prints the first A
    // record of the answer, or why there is none.
    const std::string query = R"(
import socket, struct, sys
name, address = sys.argv[1], sys.argv[2]
q = struct.pack(">HHHHHH", 0x1234, 0x0100, 1, 0, 0, 0)
q += b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
q += struct.pack(">HH", 1, 1)
try:
    s = socket.create_connection((address, 53), timeout=10)
    s.sendall(struct.pack(">H", len(q)) + q)
    data = b""
    while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
        more = s.recv(4096)
        if not more:
            break
        data += more
    print("answer", socket.inet_ntoa(data[-4:]) if len(data) > 2 + len(q) else "empty")
except OSError as e:
    print("answer failed", e.strerror)
)";
    for (const char *address : {"127.0.0.1", "192.0.2.53"}) {
        SCOPED_TRACE(address);
        const TRunResult r =
            VelmoraRun({"--chain", "World", "python3", "-c", query, Name, address});
        EXPECT_TRUE(InFakeRange(ClientLine(r.Out, "answer"))) << r.Out << r.Err;
    }
    EXPECT_EQ(DnsQueries(), 0);
}

TEST_F(LaunchConfinement, ProgramsGetTheUsersLimitOfOpenFiles) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= 300)
        GTEST_SKIP() << "the hard limit leaves no room above the test's soft one";
    // The user's soft limit is 300; velmora raises its own to the hard one.
    const auto lowered = [&](const std::vector<std::string> &options) {
        std::string line = "ulimit -Sn 300 && exec " + Client().Bin("velmora") + " run";
        for (const std::string &o : options)
            line += " " + o;
        return RunInClient({"sh", "-c", line + " --chain World sh -c 'echo limit $(ulimit -Sn)'"});
    };
    // Control: the hard limit, which a program would get from velmora's raise.
    const TRunResult hard = RunInClient({"sh", "-c", "echo limit $(ulimit -Hn)"});
    EXPECT_NE(ClientLine(hard.Out, "limit"), "300");
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{}, std::vector<std::string>{"--preload"}}) {
        SCOPED_TRACE(options.empty() ? "namespaces" : "--preload");
        if (!options.empty() && !fs::exists("/usr/lib/x86_64-linux-gnu/libproxychains.so.4"))
            continue;
        const TRunResult r = lowered(options);
        EXPECT_EQ(ClientLine(r.Out, "limit"), "300") << r.Out << r.Err;
    }
}

} // namespace
