#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace VelmoraTest {

bool WaitFor(const std::function<bool()> &done, int timeoutMs,
             const std::function<void()> &between) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        if (between)
            between();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs) {
    return WaitFor(done, timeoutMs, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
}

} // namespace VelmoraTest
