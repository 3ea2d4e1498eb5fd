#include "anonymize/ConfinedProgram.h"

#include "anonymize/HostServices.h"
#include "platform/Error.h"
#include "platform/FdLimit.h"
#include "platform/FdPassing.h"
#include "platform/LoopbackNetwork.h"
#include "platform/Namespace.h"
#include "platform/Netfilter.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Folders of caching resolvers on the host that the C library or its NSS
// modules would ask by Unix socket, around the namespace's own DNS.
const char *const HiddenResolverFolders[] = {"/run/nscd", "/var/run/nscd", "/run/systemd/resolve"};

TSocket Bound(int family, int type, uint16_t port) {
    TSocket s(::socket(family, type | SOCK_CLOEXEC, 0));
    if (!s.Valid())
        throw EVelmoraError(std::string("Cannot make a socket: ") + std::strerror(errno));
    int one = 1;
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto &a = reinterpret_cast<sockaddr_in &>(address);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        length = sizeof a;
    } else {
        ::setsockopt(s.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto &a = reinterpret_cast<sockaddr_in6 &>(address);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        length = sizeof a;
    }
    if (::bind(s.Fd(), reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        (type == SOCK_STREAM && ::listen(s.Fd(), 512) != 0))
        throw EVelmoraError(std::string("Cannot listen in the program's network: ") +
                            std::strerror(errno));
    return s;
}

// IPv4 first on a port of the system's choice, then IPv6 on the same port
// when the namespace has IPv6.
std::vector<TSocket> Pair(int type) {
    std::vector<TSocket> sockets;
    sockets.push_back(Bound(AF_INET, type, 0));
    try {
        sockets.push_back(Bound(AF_INET6, type, sockets.front().LocalPort()));
    } catch (const EVelmoraError &) {
        if (::access("/proc/net/if_inet6", F_OK) == 0)
            throw;
    }
    return sockets;
}

std::string NsswitchText() {
    std::ifstream in("/etc/nsswitch.conf");
    std::ostringstream out;
    std::string line;
    bool replaced = false;
    while (std::getline(in, line)) {
        if (line.rfind("hosts:", 0) == 0) {
            line = "hosts: files dns";
            replaced = true;
        }
        out << line << '\n';
    }
    if (!replaced)
        out << "hosts: files dns\n";
    return out.str();
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    if (!out.flush())
        throw EVelmoraError("Cannot write " + path);
}

// resolv.conf and nsswitch.conf of the namespace, written to a scratch
// folder, mounted, then unlinked (the mounts keep them).
void PrivateResolverFiles() {
    for (const char *folder : HiddenResolverFolders)
        TNamespace::HideFolder(folder);
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string scratch = std::string(runtime && *runtime ? runtime : "/tmp") + "/velmora-XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        scratch = "/tmp/velmora-XXXXXX";
        if (!::mkdtemp(scratch.data()))
            throw EVelmoraError(std::string("Cannot make a scratch folder: ") +
                                std::strerror(errno));
    }
    const std::string resolv = scratch + "/resolv.conf", nsswitch = scratch + "/nsswitch.conf";
    try {
        WriteText(resolv, "# the launched program's own: every query is answered by velmora\n"
                          "nameserver 127.0.0.1\n");
        WriteText(nsswitch, NsswitchText());
        TNamespace::BindFile(resolv, "/etc/resolv.conf");
        TNamespace::BindFile(nsswitch, "/etc/nsswitch.conf");
    } catch (...) {
        ::unlink(resolv.c_str());
        ::unlink(nsswitch.c_str());
        ::rmdir(scratch.c_str());
        throw;
    }
    ::unlink(resolv.c_str());
    ::unlink(nsswitch.c_str());
    ::rmdir(scratch.c_str());
}

// Starts the program by posix_spawn (no copy of this process's memory map):
// signals back to their defaults and unblocked. The holder has dropped its
// capabilities already, so the program gets none. -1 with the reason in
// `failure` when it cannot run.
pid_t SpawnProgram(const std::vector<std::string> &argv,
                   const std::vector<std::string> &environment, std::string &failure) {
    std::vector<char *> args, variables;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &v : environment)
        variables.push_back(const_cast<char *>(v.c_str()));
    variables.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int error =
        ::posix_spawnp(&pid, args[0], nullptr, &attributes, args.data(), variables.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        failure = std::string("Cannot run \"") + args[0] + "\": " + std::strerror(error);
        return -1;
    }
    return pid;
}

pid_t gProgram = -1;

void ForwardSignal(int signal) {
    if (gProgram > 0)
        ::kill(gProgram, signal);
}

// Reaps until no child is left; the program's status as an exit code.
int ReapAll(pid_t program) {
    int code = 127;
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            return code; // ECHILD: everything has ended
        }
        if (pid != program)
            continue;
        gProgram = -1;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

// What the holder is given: the program, its environment, the mounts that
// hide the host's services and whom to become.
struct THolderWork {
    std::vector<std::string> Argv;
    std::vector<std::string> Environment;
    THostServices::TPlan Hidden;
    std::optional<TRunAsUser> User;
    pid_t Parent = -1;
};

// Becomes the user the program is for; the parent-death signal, which a
// change of user clears, is set again.
void BecomeUser(const THolderWork &work) {
    if (!work.User)
        return;
    if (!work.User->Become())
        throw EVelmoraError("Cannot become user " + std::to_string(work.User->Uid) + ": " +
                            std::strerror(errno));
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != work.Parent)
        ::_exit(1);
}

// Makes the namespace and hands its listeners to this process; ends the
// holder with the reason when it cannot.
void MakeNetwork(int control, const THolderWork &work) {
    // The step under way, named in the message of its failure.
    const char *step = "becoming the user";
    try {
        BecomeUser(work);
        step = "entering a network namespace of its own";
        TNamespace::EnterPrivateNetwork();
        step = "setting up its loopback";
        try {
            TLoopbackNetwork::Configure();
        } catch (const EVelmoraError &e) {
            // Where a rule (AppArmor) lets the namespace be made but gives
            // it no rights, this is where it shows.
            const std::string blocker = TNamespace::UserNamespaceBlocker();
            if (blocker.empty())
                throw;
            throw ENamespaceRefused(std::string(e.what()) + ". " + blocker);
        }
        step = "opening its listeners";
        std::vector<TSocket> tcp = Pair(SOCK_STREAM);
        std::vector<TSocket> udp = Pair(SOCK_DGRAM);
        step = "loading its netfilter rules";
        TNetfilter::Load(TConfinedProgram::Rules(tcp.front().LocalPort(), udp.front().LocalPort()));
        step = "giving it its own resolver files";
        PrivateResolverFiles();
        step = "hiding the host's services";
        THostServices::Apply(work.Hidden);
        // Everything that needed a capability is done: the holder keeps none,
        // and neither does the program it starts.
        step = "dropping capabilities";
        TNamespace::DropCapabilities();
        std::vector<int> fds; // the TCP listeners, then the DNS sockets
        for (const TSocket &s : tcp)
            fds.push_back(s.Fd());
        for (const TSocket &s : udp)
            fds.push_back(s.Fd());
        step = "handing its listeners over";
        TFdPassing::Send(
            control, "ready " + std::to_string(tcp.size()) + " " + std::to_string(udp.size()), fds);
    } catch (const ENamespaceRefused &e) {
        try {
            TFdPassing::Send(control, std::string("refused ") + e.what(), {});
        } catch (...) {
        }
        ::_exit(1);
    } catch (const std::exception &e) {
        try {
            TFdPassing::Send(control, TConfinedProgram::NetworkFailure(step, e.what()), {});
        } catch (...) {
        }
        ::_exit(1);
    }
}

// The holder: sets up the namespace, hands the listeners over, waits for
// the word to start, runs the program and reaps.
[[noreturn]] void Holder(int control, const THolderWork &work) {
    ::close_range(3, static_cast<unsigned>(control) - 1, CLOSE_RANGE_CLOEXEC);
    ::close_range(static_cast<unsigned>(control) + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    ::signal(SIGINT, SIG_IGN); // the terminal's signals reach the program itself
    ::signal(SIGQUIT, SIG_IGN);
    MakeNetwork(control, work);
    char go = 0;
    if (::read(control, &go, 1) != 1)
        ::_exit(1);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction forward {};
    forward.sa_handler = ForwardSignal;
    ::sigaction(SIGTERM, &forward, nullptr);
    ::sigaction(SIGHUP, &forward, nullptr);
    // The holder holds a handful of descriptors; the program gets the
    // user's limit.
    RestoreDescriptorLimit();
    std::string failure;
    const pid_t program = SpawnProgram(work.Argv, work.Environment, failure);
    gProgram = program;
    // Whether the program runs, for the one who started the launch.
    const std::string word = program < 0 ? "error " + failure : std::string("started");
    ::send(control, word.data(), word.size(), MSG_NOSIGNAL);
    ::close(control);
    ::_exit(program < 0 ? 127 : ReapAll(program));
}

// What the program runs with of the desktop, from this process's
// environment; a program run for another user has that user's runtime
// folder.
THostServices::TDesktop Desktop(const TConfinedProgram::TSettings &settings) {
    const auto variable = [](const char *name) {
        const char *value = std::getenv(name);
        return std::string(value ? value : "");
    };
    THostServices::TDesktop desktop;
    desktop.Uid = settings.User ? settings.User->Uid : ::getuid();
    desktop.Runtime = settings.User ? settings.User->RuntimeFolder() : variable("XDG_RUNTIME_DIR");
    desktop.Wayland = variable("WAYLAND_DISPLAY");
    desktop.XAuthority = variable("XAUTHORITY");
    desktop.Sound = settings.Sound;
    return desktop;
}

} // namespace

std::string TConfinedProgram::NetworkFailure(const std::string &step, const std::string &cause) {
    return std::string(NetworkFailed) + " (" + step + "): " + cause;
}

std::string TConfinedProgram::HolderEnd(int status) {
    if (WIFSIGNALED(status))
        return std::string("its holder process was killed by signal ") +
               std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
    return "its holder process ended with status " + std::to_string(WEXITSTATUS(status)) +
           " before it was ready";
}

std::string TConfinedProgram::Rules(uint16_t tcpPort, uint16_t dnsPort) {
    const std::string tcp = std::to_string(tcpPort), dns = std::to_string(dnsPort);
    // DNS first, to any address, loopback included, so that no resolver
    // inside can be asked around the answerer; then loopback stays loopback;
    // then every other TCP connection goes to the listener. The filter
    // refuses whatever else would leave loopback (other UDP, ICMP).
    return "table inet velmora {\n"
           "    chain to_listeners {\n"
           "        type nat hook output priority -100; policy accept;\n"
           "        udp dport 53 redirect to :" +
           dns +
           "\n"
           "        tcp dport 53 redirect to :" +
           tcp +
           "\n"
           "        ip daddr 127.0.0.0/8 return\n"
           "        ip6 daddr ::1 return\n"
           "        meta l4proto tcp redirect to :" +
           tcp +
           "\n"
           "    }\n"
           "    chain refuse_the_rest {\n"
           "        type filter hook output priority 0; policy accept;\n"
           "        ip daddr 127.0.0.0/8 accept\n"
           "        ip6 daddr ::1 accept\n"
           "        meta l4proto tcp reject with tcp reset\n"
           "        reject with icmpx type admin-prohibited\n"
           "    }\n"
           "}\n";
}

TConfinedProgram::TConfinedProgram(std::vector<std::string> argv, TSettings settings)
    : FArgv(std::move(argv)), FSettings(std::move(settings)) {}

TConfinedProgram::~TConfinedProgram() {
    if (FControl >= 0)
        ::close(FControl);
    if (FHolder > 0) {
        ::kill(FHolder, SIGKILL);
        ::waitpid(FHolder, nullptr, 0);
    }
}

TConfinedProgram::TListeners TConfinedProgram::Prepare() {
    THolderWork work;
    work.Argv = FArgv;
    work.User = FSettings.User;
    work.Parent = ::getpid();
    const THostServices::TDesktop desktop = Desktop(FSettings);
    work.Hidden = THostServices::Plan(desktop);
    std::vector<std::string> environment;
    for (char **v = environ; *v; ++v)
        environment.emplace_back(*v);
    work.Environment = THostServices::Environment(environment, desktop,
                                                  FSettings.User ? &*FSettings.User : nullptr);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw EVelmoraError(std::string("Cannot make a socket pair: ") + std::strerror(errno));
    FHolder = ::fork();
    if (FHolder < 0)
        throw EVelmoraError(std::string("Cannot start a process: ") + std::strerror(errno));
    if (FHolder == 0) {
        ::close(pair[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != work.Parent)
            ::_exit(1);
        Holder(pair[1], work);
    }
    ::close(pair[1]);
    FControl = pair[0];
    std::string text;
    std::vector<int> fds;
    if (!TFdPassing::Receive(FControl, text, fds)) {
        int status = 0;
        while (::waitpid(FHolder, &status, 0) < 0 && errno == EINTR) {
        }
        FHolder = -1;
        throw EVelmoraError(NetworkFailure("waiting for it", HolderEnd(status)));
    }
    if (text.rfind("refused ", 0) == 0)
        throw ENamespaceRefused(text.substr(8));
    if (text.rfind("error ", 0) == 0)
        throw EVelmoraError(text.substr(6));
    if (text.rfind(NetworkFailed, 0) == 0)
        throw EVelmoraError(text);
    size_t tcpCount = 0, udpCount = 0;
    std::sscanf(text.c_str(), "ready %zu %zu", &tcpCount, &udpCount);
    TListeners listeners;
    for (size_t i = 0; i < fds.size(); ++i)
        (i < tcpCount ? listeners.Tcp : listeners.Udp).emplace_back(fds[i]);
    if (listeners.Tcp.empty() || listeners.Udp.size() != udpCount)
        throw EVelmoraError(NetworkFailure("handing its listeners over",
                                           "the holder sent " + std::to_string(fds.size()) +
                                               " sockets for \"" + text + "\""));
    return listeners;
}

void TConfinedProgram::Start() {
    const char go = 'g';
    if (::send(FControl, &go, 1, MSG_NOSIGNAL) != 1)
        throw EVelmoraError("The program's network has gone");
    char word[1024];
    ssize_t n;
    while ((n = ::recv(FControl, word, sizeof word, 0)) < 0 && errno == EINTR) {
    }
    ::close(FControl);
    FControl = -1;
    const std::string text(word, n > 0 ? static_cast<size_t>(n) : 0);
    if (text.rfind("error ", 0) == 0)
        throw EVelmoraError(text.substr(6));
    if (text != "started")
        throw EVelmoraError("The program's network has gone");
}

int TConfinedProgram::Wait() {
    int status = 0;
    while (::waitpid(FHolder, &status, 0) < 0)
        if (errno != EINTR)
            return 127;
    FHolder = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TConfinedProgram::Signal(int signal) {
    if (FHolder > 0)
        ::kill(FHolder, signal);
}
