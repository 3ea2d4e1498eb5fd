#include "ui/windows/frmMain.h"

#include "anonymize/AnonymHandOff.h"
#include "engine/chain/dmSocksMgr.h"
#include "store/dmProxyData.h"
#include "ui/logic/ChainPageLogic.h"
#include "ui/logic/MainDialogs.h"
#include "ui/logic/TrayLogic.h"
#include "ui/logic/UiPrompts.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/Pictures.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/TrayIcon.h"
#include "ui/windows/frmChainTest.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeSettings.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <exception>

TfrmMain::TfrmMain(TdmSocksMgr &ASocksMgr, TdmProxyData &AStore, TUiPrompts &APrompts,
                   QWidget *parent)
    : QMainWindow(parent), FSocksMgr(ASocksMgr), FStore(AStore), FPrompts(APrompts) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowIcon(TPictures::Icon(QStringLiteral("appicon")));
    setWindowTitle(TMainScreenLogic::Caption(false));
    CreateActions();
    CreateLayout();
    ConnectActions();
    ConnectHandlers();

    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { UpdateActions(); });

    // The window's creation: the first page, the tables, the lists, the
    // caption, then the message that starts the services.
    actProxyMgr->trigger();
    try {
        LoadConfigurations();
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
        UpdateActions();
        return;
    }
    try {
        FillProxyList();
        FChainFrame->PopulatechainList();
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
        UpdateActions();
        return;
    }
    setWindowTitle(TMainScreenLogic::Caption(true));
    FLoaded = true;
    RestoreWindowState();
    CreateTrayIcon();
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(WM_STARTSERVICES)));
    UpdateActions();
}

// Where the services, the frames and the settings report to: the activity
// panel (from any thread, through its queue), the prompts, or this window.
void TfrmMain::ConnectHandlers() {
    // Plain lines of the services reach the panel from any thread; the
    // handler holds the queue, not the window.
    auto queue = FActivity->Queue();
    FSocksMgr.SetOnMessage([queue](const QString &line) { queue->AddMessage(line); });
    FStore.FOnNotice = [queue](const QString &line) { queue->AddMessage(line); };
    FActivity->FOnError = [this](const QString &text) { FPrompts.ShowError(text); };
    FSettingsFrame->FOnError = [this](const QString &text) { FPrompts.ShowError(text); };
    FAnonymizeFrame->FOnError = [this](const QString &text) { FPrompts.ShowError(text); };
    FAnonymizeFrame->FOnMessage = [this](const QString &text) { FPrompts.ShowMessage(text); };
    FAnonymizeFrame->FOnAsk = [this](const QString &text) { return FPrompts.AskYesNo(text); };
    FAnonymizeFrame->FOnActivity = [queue](const QString &line) { queue->AddMessage(line); };
    FChainFrame->FOnActivity = [queue](const QString &line) { queue->AddMessage(line); };
    FChainFrame->FOnTestReport = [this](const QStringList &lines) { ShowChainTestReport(lines); };
    // The chain list follows every change of a chain's state, and the proxy
    // list a proxy that a chain marked "TIME OUT" (both on this thread).
    TChainManager &chains = FSocksMgr.ChainMgr();
    chains.OnStateChanged = [this](const TChainState &state) {
        FChainFrame->ShowState(state);
        UpdateStopAll();
        if (FTray)
            FTray->Refresh();
    };
    chains.OnProxyStatusChanged = [this](int32_t uid) { RefreshProxyRow(uid); };
    // The local-only rule holds for port 9999 and every running chain at once.
    FSettingsFrame->FOnLocalOnlyChanged = [this](bool on) { FSocksMgr.ApplyLocalOnly(on); };
    FSettingsFrame->FOnMaxClientsChanged = [this](int n) {
        FSocksMgr.SetMaxClients(static_cast<size_t>(n));
    };
    FSettingsFrame->FOnLogFileChanged = [this](const QString &path) {
        if (!FLogFileFromCommandLine)
            FActivity->SetLogFile(path);
    };
    FActivity->FOnAskFileName = [this] {
        return FPrompts.AskSaveFileName(QStringLiteral("Save As"), QStringLiteral("activity.txt"));
    };
    FActivity->SetLogFile(TWindowSettings().ActivityLogFile());
}

// The tray icon, where the desktop has a tray: it shows the chains and starts
// or stops one through the chain page's own commands.
void TfrmMain::CreateTrayIcon() {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    FTray = new TTrayIcon(FSocksMgr.ChainMgr(), *this, actStopAll, actExit);
    FTray->FOnToggleChain = [this](int32_t uid, bool start) {
        Guard([this, uid, start] {
            if (start)
                FChainFrame->StartChains({uid});
            else
                FChainFrame->StopChains({uid});
        });
    };
    // Hidden to the tray, the program ends only on Quit or a close that
    // ends it, not when the last dialog closes.
    QApplication::setQuitOnLastWindowClosed(false);
    FTray->show();
}

TfrmMain::~TfrmMain() {
    // A window that goes without being closed still leaves no chain running.
    FChainFrame->WaitForTest(TfrmeSocksChain::TestTimeoutMs + 5000);
    if (FSocksMgr.ChainMgr().Active() || !FSocksMgr.ChainMgr().Chains().empty())
        StopServices();
    FSocksMgr.ChainMgr().OnStateChanged = nullptr;
    FSocksMgr.ChainMgr().OnProxyStatusChanged = nullptr;
    ClearProxyList();
}

void TfrmMain::ConnectActions() {
    auto on = [this](QAction *action, void (TfrmMain::*command)()) {
        connect(action, &QAction::triggered, this,
                [this, command] { Guard([this, command] { (this->*command)(); }); });
    };
    connect(actProxyMgr, &QAction::triggered, this,
            [this] { ShowPage(TMainPage::mpProxyManager); });
    connect(actAnonymizeProgram, &QAction::triggered, this, [this] {
        Guard([this] {
            ShowPage(TMainPage::mpAnonymizeProgram);
            FAnonymizeFrame->Load();
        });
    });
    connect(actProxySocksChain, &QAction::triggered, this,
            [this] { ShowPage(TMainPage::mpProxySocksChain); });
    connect(actSettings, &QAction::triggered, this, [this] {
        Guard([this] {
            FSettingsFrame->Load();
            ShowPage(TMainPage::mpSettings);
        });
    });
    on(actAddProxy, &TfrmMain::AddProxyExecute);
    on(actEditProxy, &TfrmMain::EditProxyExecute);
    on(actDeleteProxy, &TfrmMain::DeleteProxyExecute);
    on(actTestProxy, &TfrmMain::CheckSelectedProxies);
    on(actCheck, &TfrmMain::CheckSelectedProxies);
    on(actTestAll, &TfrmMain::CheckAllProxies);
    on(actGetProxies, &TfrmMain::OpenMakerWebSite);
    on(actAddBulkProxy, &TfrmMain::AddBulkProxyExecute);
    connect(actSelectAllProxies, &QAction::triggered, FProxyList, &QTreeView::selectAll);
    on(actDeleteDeadProxies, &TfrmMain::DeleteDeadProxiesExecute);
    on(actStopChecking, &TfrmMain::StopCheckingExecute);
    on(actStopAll, &TfrmMain::StopAllExecute);
    on(actNewSocksChain, &TfrmMain::NewSocksChainExecute);
    on(actEditSocksChain, &TfrmMain::EditSocksChainExecute);
    on(actDeleteChain, &TfrmMain::DeleteChainExecute);
    FChainFrame->AddMenuActions(actEditSocksChain, actDeleteChain);
    on(actHelp, &TfrmMain::OpenHelp);
    connect(actExit, &QAction::triggered, this, [this] { Quit(); });

    FAnonymizeFrame->FOnAddProgram = [this] { return Dialogs() && Dialogs()->AddAnonymProgram(); };
    FAnonymizeFrame->FOnEditProgram = [this](int32_t uid) {
        return Dialogs() && Dialogs()->EditAnonymProgram(uid);
    };
    FAnonymizeFrame->FOnHandOff = [this] { WriteAnonymListToRegistry(); };
}

// ---- pages, rules, lifecycle ------------------------------------------------

void TfrmMain::ShowPage(TMainPage page) {
    FPage = page;
    FPages->setCurrentIndex(static_cast<int>(page));
    FCommandPanels->setCurrentIndex(TMainScreenLogic::CommandPanelOf(page));
    if (QAbstractButton *button = FNavigation->button(static_cast<int>(page)))
        button->setChecked(true);
}

QToolButton *TfrmMain::NavigationButton(TMainPage page) const {
    return static_cast<QToolButton *>(FNavigation->button(static_cast<int>(page)));
}

void TfrmMain::UpdateActions() {
    TProxyListState state;
    state.Rows = FProxyList->Model()->rowCount();
    state.SelectedRows = FProxyList->selectionModel()->hasSelection() ? 1 : 0;
    state.Checking = Checking();
    actCheck->setEnabled(TMainScreenLogic::CheckEnabled(state));
    actTestAll->setEnabled(TMainScreenLogic::TestAllEnabled(state));
    actTestProxy->setEnabled(TMainScreenLogic::TestProxyEnabled(state));
    actStopChecking->setEnabled(TMainScreenLogic::StopCheckingEnabled(state));
    actDeleteDeadProxies->setEnabled(TMainScreenLogic::DeleteDeadEnabled(state));
    FAnonymizeFrame->UpdateActions();
    FChainFrame->UpdateActions();
    UpdateStopAll();
}

void TfrmMain::UpdateStopAll() {
    const bool anyRunning = FSocksMgr.ChainMgr().AnyRunning();
    const QString caption = TChainPageLogic::StopAllCaption(anyRunning);
    if (actStopAll->text() != caption) {
        actStopAll->setText(caption);
        actStopAll->setIcon(
            TPictures::Icon(anyRunning ? QStringLiteral("stopall") : QStringLiteral("startall")));
    }
    actStopAll->setEnabled(
        TChainPageLogic::StopAllEnabled(anyRunning, FChainFrame->TestedChain() != 0));
}

void TfrmMain::Guard(const std::function<void()> &command) {
    TFormParts::Guard(FPrompts, command);
}

bool TfrmMain::event(QEvent *e) {
    if (e->type() == static_cast<QEvent::Type>(WM_STARTSERVICES)) {
        StartServices();
        return true;
    }
    return QMainWindow::event(e);
}

void TfrmMain::StartServices() {
    try {
        FSocksMgr.SetServiceActive(true);
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
    }
    // Only now is activity shown; reports raised before reach no handler.
    auto queue = FActivity->Queue();
    // The bytes go through the same queue, right before the end they belong to.
    FSocksMgr.ChainMgr().SetOnConnectionEnd(
        [queue](void *, int32_t, int32_t contextID, uint64_t bytes) {
            queue->RecordBytes(contextID, bytes);
        });
    FSocksMgr.ChainMgr().SetOnChainActivity(
        [queue](void *, int32_t chainUID, TActivityType type, const QString &msg,
                int32_t contextID) { DispatchActivity(*queue, chainUID, type, msg, contextID); });
    FServicesStarted = true;
}

void TfrmMain::StopServices() {
    FSocksMgr.ChainMgr().SetOnChainActivity(nullptr);
    FSocksMgr.ChainMgr().SetOnConnectionEnd(nullptr);
    try {
        FSocksMgr.SetServiceActive(false);
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
    }
}

void TfrmMain::Quit() {
    FQuitting = true;
    close();
    FQuitting = false; // a window that stays (closing it failed) asks again
}

TCloseChoice TfrmMain::CloseChoice() {
    if (FQuitting)
        return TCloseChoice::Quit;
    const bool tray = FTray != nullptr;
    const int open = TTrayLogic::OpenConnections(FSocksMgr.ChainMgr().States());
    TWindowSettings settings;
    switch (
        TCloseLogic::Decide(settings.Value(TWindowSettings::CloseAnswer).toString(), open, tray)) {
    case TCloseStep::Keep:
        return TCloseChoice::Keep;
    case TCloseStep::Quit:
        return TCloseChoice::Quit;
    case TCloseStep::Ask:
        break;
    }
    TCloseAnswer answer = FPrompts.AskClose(open, tray);
    if (!tray && answer.Choice == TCloseChoice::Keep)
        answer.Choice = TCloseChoice::Cancel; // nowhere to keep it running
    if (answer.DontAskAgain && answer.Choice != TCloseChoice::Cancel)
        settings.SetValue(TWindowSettings::CloseAnswer, TCloseLogic::StoredValue(answer.Choice));
    return answer.Choice;
}

void TfrmMain::closeEvent(QCloseEvent *e) {
    switch (CloseChoice()) {
    case TCloseChoice::Cancel:
        e->ignore();
        return;
    case TCloseChoice::Keep:
        SaveWindowState();
        hide();
        if (FTray)
            FTray->Refresh();
        e->ignore(); // the program runs on in the tray
        return;
    case TCloseChoice::Quit:
        break;
    }
    // A chain test under way ends (its chain must outlive it), then every
    // chain stops before the window goes.
    FChainFrame->WaitForTest(TfrmeSocksChain::TestTimeoutMs + 5000);
    SaveWindowState();
    StopServices();
    FClosed = true;
    e->accept();
    if (FTray) {
        FTray->hide();
        QCoreApplication::quit();
    }
}

void TfrmMain::SaveWindowState() {
    TWindowSettings settings;
    settings.SetValue(TWindowSettings::Geometry, saveGeometry());
    settings.SetValue(TWindowSettings::Splitter, FSplitter->saveState());
    settings.SetValue(TWindowSettings::ProxyColumns, FProxyList->header()->saveState());
    settings.SetValue(TWindowSettings::ChainColumns,
                      FChainFrame->lvChains()->header()->saveState());
    settings.SetValue(TWindowSettings::Page, static_cast<int>(FPage));
}

void TfrmMain::SetCommandLineLogFile(const QString &path) {
    FLogFileFromCommandLine = true;
    FActivity->SetLogFile(path);
}

void TfrmMain::RestoreWindowState() {
    TWindowSettings settings;
    restoreGeometry(settings.Value(TWindowSettings::Geometry).toByteArray());
    FSplitter->restoreState(settings.Value(TWindowSettings::Splitter).toByteArray());
    FProxyList->header()->restoreState(settings.Value(TWindowSettings::ProxyColumns).toByteArray());
    FChainFrame->lvChains()->header()->restoreState(
        settings.Value(TWindowSettings::ChainColumns).toByteArray());
    // The page through its command, which loads what the page shows.
    QAction *const pages[] = {actProxyMgr, actAnonymizeProgram, actProxySocksChain, actSettings};
    const int page = settings.Value(TWindowSettings::Page, 0).toInt();
    if (page > 0 && page < 4)
        pages[page]->trigger();
}

void TfrmMain::LoadConfigurations() {
    FStore.LoadData();
}

// ---- proxy list -------------------------------------------------------------

void TfrmMain::FillProxyList() {
    if (!FProxyList->Model()->Attached())
        FProxyList->Fill(FStore);
}

void TfrmMain::ClearProxyList() {
    FProxyList->ClearRows();
}

std::vector<int32_t> TfrmMain::GetSelectedProxyUIDs() const {
    return FProxyList->SelectedUIDs();
}

void TfrmMain::UpdateProxyRow(const TProxData &AProxData) {
    FProxyList->UpdateRow(AProxData);
}

void TfrmMain::RefreshProxyRow(int32_t) {
    // The list follows the store: the status a chain wrote shows already.
}

void TfrmMain::ShowStatusText(const QString &text) {
    FStatusPanels[2]->setText(text);
}

QString TfrmMain::StatusText() const {
    return FStatusPanels[2]->text();
}

// ---- activity ---------------------------------------------------------------

void TfrmMain::DispatchActivity(TActivityQueue &queue, int32_t AChainUID,
                                TActivityType AActivityType, const QString &AActivityMsg,
                                int32_t AContextID) {
    switch (AActivityType) {
    case TActivityType::atConnectRequest:
        queue.CreateChainLog(AChainUID, AContextID, AActivityMsg);
        break;
    case TActivityType::atDisconnected:
        queue.DeleteChainLog(AContextID, AActivityMsg);
        break;
    case TActivityType::atConnectLocalProxy:
    case TActivityType::atConnectChainedProxy:
    case TActivityType::atHopFailed: // a line of the connection's block
        queue.WriteChainLog(AChainUID, AContextID, AActivityMsg);
        break;
    case TActivityType::atConnectFailed:
    case TActivityType::atConnectRejected:
        break;
    }
}

bool TfrmMain::WriteAnonymListToRegistry() {
    return TAnonymHandOff::WriteAnonymListToRegistry(FStore);
}
