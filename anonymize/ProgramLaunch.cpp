#include "anonymize/ProgramLaunch.h"

#include "anonymize/ConfinedProgram.h"
#include "anonymize/FakeDns.h"
#include "anonymize/HostServices.h"
#include "anonymize/Redirector.h"
#include "engine/chain/LaunchHandOff.h"
#include "engine/chain/ProxyChain.h"
#include "platform/FdLimit.h"
#include "platform/Namespace.h"
#include "platform/PortHolder.h"
#include "platform/RunAsUser.h"
#include "platform/StartReport.h"
#include "store/ChainLookup.h"
#include "store/ProxyTypes.h"
#include "store/dmProxyData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every proxy of the chain that is not known to work, as "address:port (STATUS)".
QStringList NotWorking(TdmProxyData &store, int32_t chainUID) {
    const TChainedProxyData chain = store.GetChain(chainUID);
    QStringList bad;
    for (const auto &p : chain.FChainedItems)
        if (p->FStatus != TProxyStatus::psAvailable)
            bad << QStringLiteral("%1:%2 (%3)")
                       .arg(p->FIPAddress)
                       .arg(p->FPort)
                       .arg(ProxyStatusText(static_cast<int>(p->FStatus)));
    if (chain.FChainedItems.empty())
        bad << QStringLiteral("it has no proxies");
    return bad;
}

std::vector<std::string> Argv(const QStringList &program) {
    std::vector<std::string> argv;
    for (const QString &a : program)
        argv.push_back(a.toStdString());
    return argv;
}

// Signals for the program go on to `gForwardTo`; the terminal's interrupt
// reaches the program itself, so this process ignores it.
pid_t gForwardTo = -1;
void Forward(int signal) {
    if (gForwardTo > 0)
        ::kill(gForwardTo, signal);
}
void ForwardSignals(pid_t to) {
    gForwardTo = to;
    struct sigaction forward {};
    forward.sa_handler = Forward;
    ::sigaction(SIGTERM, &forward, nullptr);
    ::sigaction(SIGHUP, &forward, nullptr);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGQUIT, SIG_IGN);
}

const char *const PreloadLibraries[] = {"/usr/lib/x86_64-linux-gnu/libproxychains.so.4",
                                        "/usr/lib/aarch64-linux-gnu/libproxychains.so.4",
                                        "/usr/lib/i386-linux-gnu/libproxychains.so.4",
                                        "/usr/lib64/libproxychains.so.4",
                                        "/usr/lib/libproxychains.so.4",
                                        "/usr/local/lib/libproxychains.so.4"};

// Started by the machine's root: the user the program runs as, named by
// --user or by sudo (SUDO_UID, SUDO_GID); never root itself. Otherwise
// nobody else (the root of a user namespace an ordinary user made is that
// user, and runs the program as it is).
std::optional<TRunAsUser> ProgramUser(const QString &named) {
    std::optional<TRunAsUser> user;
    try {
        if (!named.isEmpty())
            user = TRunAsUser::Named(named.toStdString());
    } catch (const EVelmoraError &e) {
        throw ELaunchUsage(QStringLiteral("run: ") + e.Message());
    }
    if (!TRunAsUser::MachineRoot()) {
        if (user && user->Uid != ::geteuid())
            throw ELaunchUsage("run: --user is for root; velmora run runs the program as you");
        return std::nullopt;
    }
    if (!user) {
        const char *sudoUid = std::getenv("SUDO_UID");
        if (!sudoUid)
            throw ELaunchUsage("run: started by root, velmora run needs the user to run the "
                               "program as: start it with sudo from that user, or name one with "
                               "--user NAME");
        bool uidOk = false, gidOk = false;
        const uint uid = QByteArray(sudoUid).toUInt(&uidOk);
        const uint gid = qgetenv("SUDO_GID").toUInt(&gidOk);
        if (!uidOk || !gidOk)
            throw ELaunchUsage("run: SUDO_UID and SUDO_GID do not name a user and a group; name "
                               "the user with --user NAME");
        user = TRunAsUser::WithIds(uid, gid);
    }
    if (user->Uid == 0)
        throw ELaunchUsage("run: velmora run does not run programs as root; name another user "
                           "with --user NAME");
    return user;
}

// Waits until the child's exec closed `watch`; a failed exec wrote its
// errno there first, and is thrown as the reason the program cannot run.
void AwaitExec(int watch, pid_t child, const char *program) {
    int execError = 0;
    ssize_t got;
    while ((got = ::read(watch, &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    ::close(watch);
    if (got == sizeof execError) {
        ::waitpid(child, nullptr, 0);
        throw EVelmoraError(std::string("Cannot run \"") + program +
                            "\": " + std::strerror(execError));
    }
}

int RunPreloaded(const TProgramLaunch::TOptions &options, uint16_t port,
                 const std::optional<TRunAsUser> &user,
                 const std::function<void(const QString &)> &onLine, TStartReport &report) {
    QString library;
    for (const char *candidate : PreloadLibraries)
        if (::access(candidate, R_OK) == 0) {
            library = QString::fromLatin1(candidate);
            break;
        }
    if (library.isEmpty())
        throw EVelmoraError("velmora run --preload needs libproxychains4 "
                            "(install it with \"sudo apt install libproxychains4\")");
    QTemporaryFile config(QDir::tempPath() + QStringLiteral("/velmora-proxychains-XXXXXX.conf"));
    if (!config.open() || config.write(TProgramLaunch::PreloadConfig(port).toUtf8()) < 0 ||
        !config.flush())
        throw EVelmoraError("Cannot write the proxychains configuration");
    onLine(QStringLiteral("velmora run: warning: with --preload, statically linked programs, "
                          "io_uring and UDP escape the chain"));
    QByteArray preload = library.toLocal8Bit();
    const QByteArray before = qgetenv("LD_PRELOAD");
    if (!before.isEmpty())
        preload += ' ' + before;
    qputenv("LD_PRELOAD", preload);
    qputenv("PROXYCHAINS_CONF_FILE", config.fileName().toLocal8Bit());
    qputenv("PROXYCHAINS_QUIET_MODE", "1");
    const std::vector<std::string> argv = Argv(options.Program);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char **v = environ; *v; ++v)
        environment.emplace_back(*v);
    if (user)
        environment = THostServices::ForUser(std::move(environment), *user);
    std::vector<char *> variables;
    for (const std::string &v : environment)
        variables.push_back(const_cast<char *>(v.c_str()));
    variables.push_back(nullptr);
    // Closed by a successful exec; a failed one writes its errno first.
    int execWatch[2];
    if (::pipe2(execWatch, O_CLOEXEC) != 0)
        throw EVelmoraError(std::string("Cannot make a pipe: ") + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0)
        throw EVelmoraError(std::string("Cannot start a process: ") + std::strerror(errno));
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        RestoreDescriptorLimit();
        if (user && !user->Become()) {
            std::fprintf(stderr, "velmora run: cannot become user %u: %s\n",
                         static_cast<unsigned>(user->Uid), std::strerror(errno));
            ::_exit(127);
        }
        // The program gets standard input, output and error only, not what
        // this process holds or was handed by whoever started it.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execvpe(args[0], args.data(), variables.data());
        const int error = errno;
        (void)!::write(execWatch[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(execWatch[1]);
    AwaitExec(execWatch[0], child, args[0]);
    report.Started();
    ForwardSignals(child);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TProgramLaunch::TOptions TProgramLaunch::Parse(const QStringList &args) {
    TOptions options;
    int i = 0;
    for (; i < args.size() && args[i].startsWith(QLatin1String("--")); ++i) {
        if (args[i] == QLatin1String("--")) {
            ++i;
            break;
        }
        if (args[i] == QLatin1String("--chain")) {
            if (++i >= args.size() || args[i].trimmed().isEmpty())
                throw ELaunchUsage("run: --chain needs a chain's name or port");
            options.Chain = args[i].trimmed();
        } else if (args[i].startsWith(QLatin1String("--chain="))) {
            options.Chain = args[i].mid(8).trimmed();
        } else if (args[i] == QLatin1String("--preload")) {
            options.Preload = true;
        } else if (args[i] == QLatin1String("--verbose")) {
            options.Verbose = true;
        } else if (args[i] == QLatin1String("--no-sound")) {
            options.NoSound = true;
        } else if (args[i] == QLatin1String("--user")) {
            if (++i >= args.size() || args[i].trimmed().isEmpty())
                throw ELaunchUsage("run: --user needs a user's name");
            options.User = args[i].trimmed();
        } else if (args[i].startsWith(QLatin1String("--user="))) {
            options.User = args[i].mid(7).trimmed();
            if (options.User.isEmpty())
                throw ELaunchUsage("run: --user needs a user's name");
        } else {
            throw ELaunchUsage(QStringLiteral("run: unknown option \"%1\"").arg(args[i]));
        }
    }
    options.Program = args.mid(i);
    if (options.Program.isEmpty())
        throw ELaunchUsage("run needs a program to run");
    return options;
}

int32_t TProgramLaunch::ChooseChain(TdmProxyData &store, const QString &chain,
                                    const QString &program) {
    if (!chain.isEmpty()) {
        const TChainLookup::TResult found = TChainLookup::Find(store, chain);
        if (found.Outcome == TChainLookup::TOutcome::Found)
            return found.UID;
        throw ELaunchUsage(QStringLiteral("run: ") + TChainLookup::Problem(store, found, chain));
    }
    const std::vector<TStoredChain> chains = TChainLookup::All(store);
    const QString name = QFileInfo(program).fileName();
    for (const TAnonymProgram &program : store.AnonymizedPrograms()) {
        if (QFileInfo(program.Filename).fileName().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        for (const TStoredChain &c : chains)
            if (program.ChainUID && c.UID == *program.ChainUID)
                return c.UID;
        throw ELaunchUsage(QStringLiteral("run: the chain of \"%1\" on the Anonymize Program page "
                                          "no longer exists; choose one with --chain: %2")
                               .arg(name, TChainLookup::ListText(store)));
    }
    throw ELaunchUsage(QStringLiteral("run: \"%1\" is not on the Anonymize Program page; add it "
                                      "there or choose a chain with --chain NAME|PORT: %2")
                           .arg(name, TChainLookup::ListText(store)));
}

namespace {

// The chain this launch runs itself, on a port of its own, when no running
// instance serves it; its activity goes to `onLine` when that is set
// (--verbose).
std::unique_ptr<TProxyChain> StartOwnChain(int32_t chainUID, TdmProxyData &store,
                                           std::mutex &activityLock,
                                           const std::function<void(const QString &)> &onLine) {
    auto own = std::make_unique<TProxyChain>(chainUID, store, activityLock);
    own->FPrivatePort = true;
    if (onLine) {
        own->OnActivity = [onLine](void *, int32_t, TActivityType, const QString &text,
                                   int32_t contextId) {
            onLine(QStringLiteral("[%1] %2").arg(contextId).arg(text));
        };
        own->OnProgressMessage = [onLine](TProxyChain *, const QString &text) { onLine(text); };
    }
    own->SetActive(true);
    return own;
}

// Whose instance a launch may use: the user the program will run as (root
// launching for a user: that user's), else this process's own user. What
// is wrong with the user asked for is said later, after the chain checks.
uid_t InstanceOwner(const QString &named) {
    try {
        if (const std::optional<TRunAsUser> user = ProgramUser(named))
            return user->Uid;
    } catch (const ELaunchUsage &) {
    }
    return ::geteuid();
}

// The running instance's hand-off socket, when the instance confirms that
// its chain runs on `port`; an invalid socket when no instance runs or it
// does not run the chain. A socket folder or a server that is not this
// user's ends the launch.
TSocket VerifiedInstance(uint16_t port, uid_t owner) {
    std::string problem;
    TSocket socket = TLaunchHandOff::Connect(problem, owner);
    if (!problem.empty())
        throw EVelmoraError(QStringLiteral("velmora run: %1; nothing was run")
                                .arg(QString::fromStdString(problem)));
    if (socket.Valid() && TLaunchHandOff::ChainRunsAt(socket.Fd(), port))
        return socket;
    return {};
}

// A chain's port held by anything but the verified instance: that program
// would receive what is meant for the chain, so nothing runs.
void RefuseHeldPort(uint16_t port, const QString &chain) {
    const std::optional<TPortHolder::THolder> holder = TPortHolder::Find(port);
    if (!holder)
        return;
    throw EVelmoraError(
        QStringLiteral("Port %1 of chain \"%2\" is held by %3, not by a running Velmora that "
                       "serves the chain: nothing was run. Stop that program or give the chain "
                       "another port.")
            .arg(port)
            .arg(chain, QString::fromStdString(TPortHolder::Describe(*holder))));
}

// The program's network; a refusal of the namespaces names --preload.
TConfinedProgram::TListeners PrepareNetwork(TConfinedProgram &confined) {
    try {
        return confined.Prepare();
    } catch (const ENamespaceRefused &e) {
        throw EVelmoraError(e.Message() +
                            QStringLiteral(". Where this cannot be allowed, --preload runs the "
                                           "program under libproxychains4 instead (weaker: "
                                           "statically linked programs, io_uring and UDP "
                                           "escape it)."));
    }
}

} // namespace

QString TProgramLaunch::PreloadConfig(uint16_t port) {
    return QStringLiteral("# written by velmora run for one launch\n"
                          "strict_chain\n"
                          "proxy_dns\n"
                          "remote_dns_subnet 224\n"
                          "tcp_read_time_out 15000\n"
                          "tcp_connect_time_out 10000\n"
                          "[ProxyList]\n"
                          "socks5 127.0.0.1 %1\n")
        .arg(port);
}

int TProgramLaunch::Run(TdmProxyData &store, const TOptions &options,
                        const std::function<void(const QString &line)> &onLine) {
    TStartReport report = TStartReport::FromEnvironment();
    try {
        return Launch(store, options, onLine, report);
    } catch (const std::exception &e) {
        report.Failed(e.what());
        throw;
    }
}

int TProgramLaunch::Launch(TdmProxyData &store, const TOptions &options,
                           const std::function<void(const QString &line)> &onLine,
                           TStartReport &report) {
    const int32_t chainUID = ChooseChain(store, options.Chain, options.Program.front());
    const TChainedProxyData record = store.GetChain(chainUID);
    const bool hasPort = record.FPort > 0 && record.FPort < 65536;
    // Only a running instance that confirms the chain through its hand-off
    // socket is used; a port merely found answering never is.
    TSocket handOff =
        hasPort ? VerifiedInstance(static_cast<uint16_t>(record.FPort), InstanceOwner(options.User))
                : TSocket();
    const bool running = handOff.Valid();
    if (!running && hasPort)
        RefuseHeldPort(static_cast<uint16_t>(record.FPort), record.FDesc);
    if (!running) {
        const QStringList bad = NotWorking(store, chainUID);
        if (!bad.isEmpty())
            throw EVelmoraError(
                QStringLiteral("Chain \"%1\" does not run and cannot be started for the program: "
                               "some proxy items not working: %2")
                    .arg(record.FDesc, bad.join(QStringLiteral(", "))));
    }

    // Whom the program runs as, settled before anything starts.
    const std::optional<TRunAsUser> user = ProgramUser(options.User);
    // The program's network is made before any thread of this process runs.
    std::unique_ptr<TConfinedProgram> confined;
    TConfinedProgram::TListeners listeners;
    if (!options.Preload) {
        confined = std::make_unique<TConfinedProgram>(
            Argv(options.Program), TConfinedProgram::TSettings{!options.NoSound, user});
        listeners = PrepareNetwork(*confined);
    }

    std::mutex activityLock;
    std::unique_ptr<TProxyChain> own;
    uint16_t port = static_cast<uint16_t>(record.FPort);
    if (!running) {
        own = StartOwnChain(chainUID, store, activityLock, options.Verbose ? onLine : nullptr);
        port = own->Port();
    }
    if (options.Preload)
        return RunPreloaded(options, port, user, onLine, report);

    TFakeAddresses addresses;
    TRedirector redirector(addresses);
    // The chain serves the program's connections itself: the running
    // instance's through its hand-off socket, our own one directly.
    if (own) {
        redirector.Hand = [chain = own.get()](int fd, const std::string &host, uint16_t to) {
            TSocket copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
            return copy.Valid() && chain->ServeHanded(std::move(copy), host, to);
        };
    } else {
        redirector.Hand = [socket = handOff.Fd(), port](int fd, const std::string &host,
                                                        uint16_t to) {
            return TLaunchHandOff::Send(socket, port, host, to, fd);
        };
    }
    if (options.Verbose)
        redirector.OnFailure = [onLine](const std::string &line) {
            onLine(QStringLiteral("velmora run: ") + QString::fromStdString(line));
        };
    redirector.Start(std::move(listeners.Tcp), std::move(listeners.Udp));
    confined->Start();
    report.Started();
    ForwardSignals(confined->HolderPid());
    const int status = confined->Wait();
    // The program and all it started have ended, and nothing of this launch
    // is to be saved: end now rather than wind every thread down (the
    // connections handed to a running instance are its own).
    std::fflush(nullptr);
    ::_exit(status);
}
