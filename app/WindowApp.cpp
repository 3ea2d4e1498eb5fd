#include "app/WindowApp.h"

#include "app/SignalWatch.h"
#include "app/VelmoraApplication.h"
#include "engine/chain/dmSocksMgr.h"
#include "platform/WorkerThread.h"
#include "store/dmProxyData.h"
#include "ui/logic/MainScreenLogic.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/ThemeManager.h"
#include "ui/windows/WidgetPrompts.h"
#include "ui/windows/frmMain.h"
#include "ui/windows/frmSplash.h"

#include <QDir>
#include <QMessageBox>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QString ThemeFileName = QStringLiteral("Style.vsf");
const QString ThemeName = QStringLiteral("My Style");

void Fail(const QString &message) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, TMainScreenLogic::ApplicationTitle, message);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int VelmoraWindowMain(int argc, char **argv) {
    return TWindowApp::Run(argc, argv);
}

int TWindowApp::Run(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    TVelmoraApplication app(argc, argv);

    auto splash = std::make_unique<TfrmSplash>();
    splash->ShowNow();
    QThread::msleep(1000); // the splash stays up; nothing responds meanwhile

    QApplication::setApplicationName(TMainScreenLogic::ApplicationTitle);
    try {
        TThemeManager::LoadAndApply(app, QDir::current().filePath(ThemeFileName), ThemeName);
    } catch (const std::exception &e) {
        splash.reset();
        Fail(QString::fromUtf8(e.what()));
        return 1;
    }

    std::unique_ptr<TdmSocksMgr> services;
    try {
        services = std::make_unique<TdmSocksMgr>();
    } catch (const std::exception &e) {
        splash.reset();
        Fail(QString::fromUtf8(e.what()));
        return 1;
    }
    auto store = std::make_unique<TdmProxyData>();
    services->ChainMgr().SetStore(store.get());
    TWidgetPrompts prompts;
    auto window = std::make_unique<TfrmMain>(*services, *store, prompts);
    prompts.SetParent(window.get());
    auto dialogs = std::make_unique<TDialogs>(*store, services->ChainMgr(), prompts, window.get());
    window->SetDialogs(dialogs.get());
    splash.reset();

    // SIGINT and SIGTERM close the main window as its close box does.
    TSignalWatch watch({SIGINT, SIGTERM}, [&](int) {
        watch.Disable();
        window->close();
    });

    window->show();
    const int status = app.exec();

    // The window has stopped every chain. Checks still under way hand their
    // results to this thread; let them end before the store goes.
    if (!TWorkerThread::WaitForAll(3000)) {
        std::fflush(nullptr);
        std::_Exit(status); // nothing is saved at exit; everything was saved already
    }
    dialogs.reset();
    window.reset();
    services.reset();
    store.reset();
    return status;
}
