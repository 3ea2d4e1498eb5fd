#include "tests/e2e/VelmoraProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace VelmoraTest {

std::string TVelmoraProcess::Binary() {
    return std::string(VELMORA_BINARY_DIR) + "/app/velmora";
}

TVelmoraProcess::TVelmoraProcess(const std::vector<std::string> &args, const QString &dataHome) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.rfind("XDG_DATA_HOME=", 0) != 0 && kv.rfind("XDG_CONFIG_HOME=", 0) != 0)
            env.push_back(kv);
    }
    env.push_back("XDG_DATA_HOME=" + dataHome.toStdString());
    env.push_back("XDG_CONFIG_HOME=" + dataHome.toStdString() + "/config");
    std::vector<char *> envp;
    for (std::string &kv : env)
        envp.push_back(kv.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStrings{Binary()};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int rc = ::posix_spawn(&FPid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start " + argvStrings[0]);
    }
    FOut = out[0];
    FReader = std::thread([this] { ReadLoop(); });
}

TVelmoraProcess::~TVelmoraProcess() {
    if (!FReaped)
        Terminate(5000);
    if (FReader.joinable())
        FReader.join();
    if (FOut >= 0)
        ::close(FOut);
}

void TVelmoraProcess::ReadLoop() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(FOut, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            {
                std::lock_guard<std::mutex> guard(FLock);
                FLines << QString::fromStdString(pending.substr(0, nl));
            }
            pending.erase(0, nl + 1);
            FChanged.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(FLock);
    if (!pending.empty())
        FLines << QString::fromStdString(pending);
    FEnded = true;
    FChanged.notify_all();
}

bool TVelmoraProcess::WaitForLine(const QString &text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const QString &l : FLines)
            if (l.contains(text))
                return true;
        return FEnded;
    }) && [&] {
        for (const QString &l : FLines)
            if (l.contains(text))
                return true;
        return false;
    }();
}

QStringList TVelmoraProcess::Lines() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLines;
}

int TVelmoraProcess::WaitExit(int timeoutMs) {
    if (FReaped)
        return FExitStatus;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(FPid, &status, WNOHANG);
        if (r == FPid) {
            FReaped = true;
            FExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return FExitStatus;
        }
        if (std::chrono::steady_clock::now() >= until)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int TVelmoraProcess::Terminate(int timeoutMs) {
    if (FReaped)
        return FExitStatus;
    ::kill(FPid, SIGTERM);
    const int status = WaitExit(timeoutMs);
    if (!FReaped) {
        ::kill(FPid, SIGKILL);
        WaitExit(5000);
        return -1;
    }
    return status;
}

} // namespace VelmoraTest
