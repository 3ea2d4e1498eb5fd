#include "tests/support/Process.h"

#include "tests/support/Wait.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace VelmoraTest {

namespace {

// The environment of this process with `changes` put in place.
std::vector<std::string> Environment(const std::vector<std::string> &changes) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string kv = *e;
        bool replaced = false;
        for (const std::string &c : changes)
            replaced = replaced || kv.compare(0, c.find('=') + 1, c, 0, c.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(kv);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

TProcess::TProcess(const std::vector<std::string> &args, const TOptions &options)
    : FOwnGroup(options.OwnGroup) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    const bool piped = options.Output != TOutput::LogFile;
    if (piped && ::pipe2(out, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    if (options.Output == TOutput::Capture && ::pipe2(err, O_CLOEXEC) < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("pipe failed");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    switch (options.Output) {
    case TOutput::Capture:
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        break;
    case TOutput::Merged:
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        break;
    case TOutput::LogFile:
        posix_spawn_file_actions_addopen(&actions, 1, options.LogFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0666);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        break;
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t pipeDefault;
    sigemptyset(&pipeDefault);
    sigaddset(&pipeDefault, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &pipeDefault);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (FOwnGroup) {
        posix_spawnattr_setpgroup(&attr, 0); // its workers stop with it
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::vector<std::string> argStrings = args;
    std::vector<char *> argv = Pointers(argStrings);
    std::vector<std::string> envStrings = Environment(options.Env);
    std::vector<char *> envp = Pointers(envStrings);
    const int rc = ::posix_spawnp(&FPid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int fd : {out[1], err[1]})
        if (fd >= 0)
            ::close(fd);
    FOut = out[0];
    FErr = err[0];
    if (rc != 0) {
        FPid = -1;
        CloseOut();
        CloseErr();
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

TProcess::~TProcess() {
    Stop();
    CloseOut();
    CloseErr();
}

void TProcess::CloseOut() {
    if (FOut >= 0)
        ::close(FOut);
    FOut = -1;
}

void TProcess::CloseErr() {
    if (FErr >= 0)
        ::close(FErr);
    FErr = -1;
}

bool TProcess::Reap() {
    if (FExited)
        return true;
    if (FPid <= 0)
        return false;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid)
        return false;
    FExited = true;
    FExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool TProcess::Running() {
    return FPid > 0 && !Reap();
}

int TProcess::WaitExit(int timeoutMs) {
    if (FPid <= 0)
        return -1;
    return WaitFor([this] { return Reap(); }, timeoutMs) ? FExitStatus : -1;
}

void TProcess::Signal(int sig) {
    if (FOwnGroup)
        ::kill(-FPid, sig); // its own process group (its pid)
    ::kill(FPid, sig);
}

int TProcess::Stop(int timeoutMs) {
    if (FPid <= 0 || FExited)
        return FExitStatus;
    Signal(SIGTERM);
    const int status = WaitExit(timeoutMs);
    if (FExited) {
        if (FOwnGroup)
            ::kill(-FPid, SIGKILL); // workers that outlived it
        return status;
    }
    Kill();
    return -1;
}

void TProcess::Kill() {
    if (FPid <= 0 || FExited)
        return;
    Signal(SIGKILL);
    WaitExit(5000);
}

TRunResult RunProgram(const std::vector<std::string> &args, int timeoutMs) {
    TRunResult result;
    std::unique_ptr<TProcess> p;
    try {
        p = std::make_unique<TProcess>(args, TProcess::TOptions{});
    } catch (const std::exception &e) {
        result.Err = e.what();
        return result;
    }

    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{p->OutFd(), POLLIN, 0}, {p->ErrFd(), POLLIN, 0}};
    std::string *sinks[2] = {&result.Out, &result.Err};
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                if (i == 0)
                    p->CloseOut();
                else
                    p->CloseErr();
            }
        }
    }
    if (timedOut)
        p->Kill();
    // Both outputs have ended: the program is exiting (or was killed).
    const int status = p->WaitExit(4000);
    if (!p->Exited())
        p->Kill();
    if (p->Exited()) {
        result.Finished = !timedOut;
        result.ExitCode = status;
    }
    return result;
}

} // namespace VelmoraTest
