#include "app/WindowApp.h"

#include "app/InstanceControl.h"
#include "app/SignalWatch.h"
#include "app/VelmoraApplication.h"
#include "engine/chain/dmSocksMgr.h"
#include "platform/ControlSocket.h"
#include "platform/DataFolderLock.h"
#include "platform/ProgramFiles.h"
#include "platform/ServerSettings.h"
#include "platform/WorkerThread.h"
#include "store/dmProxyData.h"
#include "ui/logic/MainScreenLogic.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/ThemeManager.h"
#include "ui/windows/WidgetPrompts.h"
#include "ui/windows/frmMain.h"
#include "ui/windows/frmSplash.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeSocksChain.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QString ThemeName = QStringLiteral("My Style");

void Fail(const QString &message) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, TMainScreenLogic::ApplicationTitle, message);
}

// One instance per user: the running one's window comes forward instead.
// Returns true when another instance runs (and this one is to end).
bool HandedToRunningInstance() {
    const auto running = TInstanceControl::Running();
    if (!running)
        return false;
    if (running->Mode == TInstanceControl::TMode::Window) {
        TControlClient::Ask({"raise"}, 3000);
        std::printf("Velmora is already running (process %ld): its window was brought forward\n",
                    running->Pid);
        return true;
    }
    const QString message =
        QStringLiteral("Velmora is already running without a window (process %1); steer it with "
                       "\"velmora chain ...\", or stop it to open the window.")
            .arg(running->Pid);
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QMessageBox::information(nullptr, TMainScreenLogic::ApplicationTitle, message);
    return true;
}

// Holds the window's close (which stops every chain) until the chain tests
// under way have ended.
class TCloseAfterTests : public QObject {
public:
    explicit TCloseAfterTests(TInstanceControl &control) : FControl(control) {}
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Close)
            FControl.WaitForTests(FControl.FTestTimeoutMs + 10000);
        return QObject::eventFilter(watched, event);
    }

private:
    TInstanceControl &FControl;
};

// Applies the theme "My Style"; the error's text when it cannot be.
QString ApplyTheme(QApplication &app) {
    try {
        // Found nowhere, the working directory's name is the one the error
        // gives.
        QString theme = TProgramFiles::Locate(TProgramFiles::ThemeFile);
        if (theme.isEmpty())
            theme = QDir::current().filePath(TProgramFiles::ThemeFile);
        TThemeManager::LoadAndApply(app, theme, ThemeName);
        return {};
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
}

// `velmora chain ...` and `velmora list chains` reach this instance through
// `control`: a second start brings the window forward, reports go to the
// activity panel.
void ListenForControl(TInstanceControl &control, TfrmMain *window, const TdmSocksMgr &services) {
    control.OnRaise = [window] {
        window->showNormal();
        window->raise();
        window->activateWindow();
    };
    control.OnReport = [window](const QStringList &lines) {
        for (const QString &line : lines)
            window->frmeActivityPanel()->AddMessage(line);
    };
    control.OnStoreChanged = [window] {
        window->frmeSocksChain()->PopulatechainList();
        window->frmeAnonymize()->RefreshList();
    };
    control.OnMessage = [window](const QString &line) {
        window->frmeActivityPanel()->AddMessage(line);
    };
    QStringList problems;
    if (!control.Start())
        problems << QStringLiteral("The control socket could not be opened: \"velmora chain "
                                   "...\" cannot reach this instance: ") +
                        control.Problem();
    const std::string handOff = services.LaunchHandOffProblem();
    if (!handOff.empty())
        problems << QStringLiteral("The launch socket could not be opened: \"velmora run\" "
                                   "cannot use this instance's chains: ") +
                        QString::fromStdString(handOff);
    for (const QString &line : problems) {
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        window->frmeActivityPanel()->AddMessage(line);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) int VelmoraWindowMain(int argc, char **argv) {
    return TWindowApp::Run(argc, argv);
}

int TWindowApp::Run(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    TVelmoraApplication app(argc, argv);
    if (HandedToRunningInstance())
        return 0;
    // Held until the end: commands of the command line then hand their
    // changes to this instance instead of writing the files themselves.
    QString held;
    const auto folderLock =
        TInstanceControl::HoldDataFolder(QStringLiteral("velmora window"), 10000, held);
    if (!folderLock) {
        Fail(held);
        return 1;
    }

    auto splash = std::make_unique<TfrmSplash>();
    splash->ShowNow();
    QThread::msleep(1000); // the splash stays up; nothing responds meanwhile

    QApplication::setApplicationName(TMainScreenLogic::ApplicationTitle);
    QString problem = ApplyTheme(app);
    std::unique_ptr<TdmSocksMgr> services;
    if (problem.isEmpty()) {
        try {
            services = std::make_unique<TdmSocksMgr>();
        } catch (const std::exception &e) {
            problem = QString::fromUtf8(e.what());
        }
    }
    if (!problem.isEmpty()) {
        splash.reset();
        Fail(problem);
        return 1;
    }
    auto store = std::make_unique<TdmProxyData>();
    services->ChainMgr().SetStore(store.get());
    QString badSetting;
    services->SetMaxClients(static_cast<size_t>(TServerSettings::MaxClients(&badSetting)));
    TWidgetPrompts prompts;
    auto window = std::make_unique<TfrmMain>(*services, *store, prompts);
    prompts.SetParent(window.get());
    auto dialogs = std::make_unique<TDialogs>(*store, services->ChainMgr(), prompts, window.get());
    window->SetDialogs(dialogs.get());
    // velmora --log FILE: the activity also goes to FILE for this run.
    const QStringList arguments = app.arguments();
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--log"));
        at > 0 && at + 1 < arguments.size())
        window->SetCommandLineLogFile(QFileInfo(arguments[at + 1]).absoluteFilePath());
    splash.reset();
    // A damaged setting goes to the activity panel; the default holds.
    if (!badSetting.isEmpty() && services->ChainMgr().OnMessage)
        services->ChainMgr().OnMessage(badSetting);

    TInstanceControl control(services->ChainMgr(), *store, TInstanceControl::TMode::Window);
    ListenForControl(control, window.get(), *services);
    TCloseAfterTests closeAfterTests(control);
    window->installEventFilter(&closeAfterTests);

    // SIGINT and SIGTERM end the program as Quit does, without asking.
    TSignalWatch watch({SIGINT, SIGTERM}, [&](int) {
        watch.Disable();
        window->Quit();
    });

    window->show();
    const int status = app.exec();

    // The window has stopped every chain. Checks still under way hand their
    // results to this thread; let them end before the store goes.
    control.Stop();
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
