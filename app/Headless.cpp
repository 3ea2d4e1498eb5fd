#include "app/Headless.h"

#include "app/ConsoleOut.h"
#include "engine/dmSocksMgr.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

void InstallSignalHandlers() {
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int THeadless::Run(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora Anonymizer"));
    InstallSignalHandlers();

    std::unique_ptr<TdmSocksMgr> services;
    try {
        services = std::make_unique<TdmSocksMgr>();
    } catch (const std::exception &e) {
        TConsoleOut::Line(QString::fromUtf8(e.what()));
        return 1;
    }
    services->SetOnMessage([](const QString &line) { TConsoleOut::Line(line); });

    auto store = std::make_unique<TdmProxyData>();
    store->FOnNotice = [](const QString &line) { TConsoleOut::Line(line); };
    try {
        store->LoadData();
    } catch (const std::exception &e) {
        // As in the window: the lists stay empty and no chain starts.
        TConsoleOut::Line(QString::fromUtf8(e.what()));
    }
    services->ChainMgr().SetStore(store.get());

    QTimer::singleShot(0, &app, [&] {
        try {
            services->SetServiceActive(true);
        } catch (const std::exception &e) {
            TConsoleOut::Line(QString::fromUtf8(e.what()));
        }
        services->ChainMgr().SetOnChainActivity(
            [](void *, int32_t, TActivityType, const QString &msg, int32_t contextId) {
                TConsoleOut::Line(QStringLiteral("[%1] %2").arg(contextId).arg(msg));
            });
    });

    QSocketNotifier stopNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        stopNotifier.setEnabled(false);
        services->ChainMgr().SetOnChainActivity(nullptr);
        services->SetServiceActive(false);
        app.quit();
    });

    app.exec();
    services.reset(); // the plain server and every chain are stopped and joined
    store.reset();
    return 0;
}
