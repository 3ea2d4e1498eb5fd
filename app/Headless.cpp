#include "app/Headless.h"

#include "app/ConsoleOut.h"
#include "app/InstanceControl.h"
#include "app/SignalWatch.h"
#include "engine/chain/dmSocksMgr.h"
#include "platform/DataFolderLock.h"
#include "platform/ServerSettings.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <memory>

namespace {

// Runs one step of the start or of a restart; an error it raises is printed
// as a line and the run goes on without it.
template <typename TStep> void Reporting(TStep &&step) {
    try {
        step();
    } catch (const std::exception &e) {
        TConsoleOut::Line(QString::fromUtf8(e.what()));
    }
}

// One instance per user (a second one would only find port 9999 taken), and
// none while a command holds the data folder. The folder's lock, held until
// the end: commands of the command line then hand their changes to this
// instance instead of writing the files themselves. Nothing, with the
// reason printed, when this instance may not start.
std::unique_ptr<TDataFolderLock> HoldTheFolder() {
    if (const auto running = TInstanceControl::Running()) {
        TConsoleOut::ErrorLine(TInstanceControl::AlreadyRunningText(*running));
        return nullptr;
    }
    QString held;
    auto lock = TInstanceControl::HoldDataFolder(QStringLiteral("velmora --headless"), 10000, held);
    if (!lock)
        TConsoleOut::ErrorLine(held);
    return lock;
}

// `velmora chain ...`, `velmora list chains` and the commands that change
// the store reach this instance through `control`; its lines go to standard
// output.
void Listen(TInstanceControl &control, const TdmSocksMgr &services) {
    control.OnReport = [](const QStringList &lines) {
        for (const QString &line : lines)
            TConsoleOut::Line(line);
    };
    control.OnMessage = [](const QString &line) { TConsoleOut::Line(line); };
    if (!control.Start())
        TConsoleOut::Line(QStringLiteral("The control socket could not be opened: \"velmora "
                                         "chain ...\" cannot reach this instance: ") +
                          control.Problem());
    const std::string handOff = services.LaunchHandOffProblem();
    if (!handOff.empty())
        TConsoleOut::Line(QStringLiteral("The launch socket could not be opened: \"velmora "
                                         "run\" cannot use this instance's chains: ") +
                          QString::fromStdString(handOff));
}

} // namespace

int THeadless::Run(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora Anonymizer"));

    const auto folderLock = HoldTheFolder();
    if (!folderLock)
        return 1;

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
    // As in the window: a store that cannot be read leaves the lists empty
    // and starts no chain.
    Reporting([&] { store->LoadData(); });
    services->ChainMgr().SetStore(store.get());
    QString problem;
    services->SetMaxClients(static_cast<size_t>(TServerSettings::MaxClients(&problem)));
    if (!problem.isEmpty())
        TConsoleOut::Line(problem);

    TInstanceControl control(services->ChainMgr(), *store, TInstanceControl::TMode::Headless);
    Listen(control, *services);
    // A chain under test is not stopped under it.
    const int testsEndWithin = control.FTestTimeoutMs + 10000;

    QTimer::singleShot(0, &app, [&] {
        Reporting([&] { services->SetServiceActive(true); });
        if (!store->AllowLocalHostOnly())
            TConsoleOut::Line(QStringLiteral("Local-only is off: ") +
                              TdmSocksMgr::ExposedText(services->tempSocksServer().Port()));
        services->ChainMgr().SetOnChainActivity(
            [](void *, int32_t, TActivityType, const QString &msg, int32_t contextId) {
                TConsoleOut::Line(QStringLiteral("[%1] %2").arg(contextId).arg(msg));
            });
    });

    // SIGHUP restarts the chains from the store as it is on disk now: the
    // services go off, the tables are read again and the services go on.
    // Port 9999 keeps serving throughout.
    TSignalWatch watch({SIGINT, SIGTERM, SIGHUP}, [&](int signal) {
        if (signal == SIGHUP) {
            control.WaitForTests(testsEndWithin);
            services->SetServiceActive(false);
            Reporting([&] { store->LoadData(); });
            Reporting([&] { services->SetServiceActive(true); });
            return;
        }
        watch.Disable();
        control.WaitForTests(testsEndWithin);
        services->ChainMgr().SetOnChainActivity(nullptr);
        services->SetServiceActive(false);
        app.quit();
    });

    app.exec();
    control.Stop();
    services.reset(); // the plain server and every chain are stopped and joined
    store.reset();
    return 0;
}
