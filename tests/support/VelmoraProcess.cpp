#include "tests/support/VelmoraProcess.h"

#include <QFile>
#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraTest {

std::unique_ptr<TVelmoraProcess> TVelmoraProcess::StartHeadless(const QString &dataHome,
                                                                bool &started) {
    auto velmora =
        std::make_unique<TVelmoraProcess>(std::vector<std::string>{"--headless"}, dataHome);
    started = velmora->WaitForLine(QStringLiteral("Services started"));
    return velmora;
}

QString TVelmoraProcess::RuntimeDir(const QString &dataHome) {
    const QString folder = dataHome + "/run";
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return folder;
}

std::string TVelmoraProcess::Binary() {
    return std::string(VELMORA_BINARY_DIR) + "/app/velmora";
}

TVelmoraProcess::TVelmoraProcess(const std::vector<std::string> &args, const QString &dataHome) {
    std::vector<std::string> argv{Binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    TProcess::TOptions options;
    options.Output = TProcess::TOutput::Merged;
    options.OwnGroup = false;
    options.Env = {"XDG_DATA_HOME=" + dataHome.toStdString(),
                   "XDG_CONFIG_HOME=" + dataHome.toStdString() + "/config",
                   "XDG_RUNTIME_DIR=" + RuntimeDir(dataHome).toStdString()};
    FProcess = std::make_unique<TProcess>(argv, options);
    FReader = std::thread([this] { ReadLoop(); });
}

TVelmoraProcess::TVelmoraProcess(const TCommandLine &command) {
    TProcess::TOptions options;
    options.Output = TProcess::TOutput::Merged;
    options.OwnGroup = false;
    FProcess = std::make_unique<TProcess>(command.Args, options);
    FReader = std::thread([this] { ReadLoop(); });
}

TVelmoraProcess::~TVelmoraProcess() {
    Terminate(5000);
    if (FReader.joinable())
        FReader.join();
}

void TVelmoraProcess::ReadLoop() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(FProcess->OutFd(), buffer, sizeof buffer);
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
    const int status = FProcess->WaitExit(timeoutMs);
    if (FProcess->Exited()) {
        // Its last lines may still be in the pipe: let the reader take them
        // (bounded: a child of its own may hold the pipe open).
        std::unique_lock<std::mutex> lock(FLock);
        FChanged.wait_for(lock, std::chrono::seconds(2), [&] { return FEnded; });
    }
    return status;
}

int TVelmoraProcess::Terminate(int timeoutMs) {
    return FProcess->Stop(timeoutMs);
}

} // namespace VelmoraTest
