#include "app/SignalWatch.h"

#include <csignal>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalPair[2] = {-1, -1};

void OnSignal(int signal) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPair[1], &byte, 1);
}

} // namespace

TSignalWatch::TSignalWatch(std::initializer_list<int> which, std::function<void(int)> onSignal,
                           QObject *parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    if (gSignalPair[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPair) != 0)
        throw std::runtime_error("Cannot watch for signals.");
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int s : which)
        ::sigaction(s, &sa, nullptr);

    FNotifier = std::make_unique<QSocketNotifier>(gSignalPair[0], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(gSignalPair[0], &byte, 1) == 1) {
            if (!FNotifier->isEnabled())
                return;
            FOnSignal(byte);
        }
    });
}

TSignalWatch::~TSignalWatch() = default;

void TSignalWatch::Disable() {
    FNotifier->setEnabled(false);
}
