#pragma once
// The main window: a header with the logo, "Help" and the command panel of
// the current page; a navigation bar of four page buttons; the pages
// (proxies, anonymized programs, chains, settings) over the activity panel;
// a banner; and a status bar. Creating it loads every table and fills the
// lists, then posts itself message 16400, on which the services start once
// the event loop runs. Where the desktop has a tray, a tray icon shows the
// chains and steers them (TTrayIcon). Closing the window while chains carry
// connections asks first (TCloseLogic): keep running in the tray, quit, or
// cancel. Quitting waits for a chain test under way, then stops every chain.

#include "engine/chain/ProxyChain.h"
#include "ui/logic/MainScreenLogic.h"
#include "ui/logic/UiPrompts.h"

#include <QMainWindow>
#include <memory>
#include <vector>

class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QStackedWidget;
class QToolButton;
class TActivityQueue;
class TMainDialogs;
class TProxData;
class TProxyChecker;
class TProxyListView;
class TUiPrompts;
class TdmProxyData;
class TdmSocksMgr;
class TfrmChainTest;
class TfrmeActivityPanel;
class TfrmeAnonymize;
class TfrmeSettings;
class TfrmeSocksChain;
class TTrayIcon;

class TfrmMain : public QMainWindow {
public:
    // The private message that starts the services.
    static constexpr int WM_STARTSERVICES = 16400;

    TfrmMain(TdmSocksMgr &ASocksMgr, TdmProxyData &AStore, TUiPrompts &APrompts,
             QWidget *parent = nullptr);
    ~TfrmMain() override;

    // The record dialogs (made once for the run); none: their commands say
    // so and do nothing.
    void SetDialogs(TMainDialogs *ADialogs) { FDialogs = ADialogs; }

    // ---- start-up ----
    void LoadConfigurations();
    // True once the tables loaded and message 16400 was posted.
    bool Loaded() const { return FLoaded; }
    // True once message 16400 was handled.
    bool ServicesStarted() const { return FServicesStarted; }

    // ---- proxy list ----
    // The list shows the store's proxies and follows its changes by itself;
    // this makes it do so after ClearProxyList (or the first time).
    void FillProxyList();
    void ClearProxyList();
    // The UIDs of the selected rows, top to bottom as the list shows them.
    std::vector<int32_t> GetSelectedProxyUIDs() const;
    void UpdateProxyRow(const TProxData &AProxData);
    // True while a check batch runs (one at a time).
    bool Checking() const { return FChecker != nullptr || FCheckStarting; }
    void ShowStatusText(const QString &text);
    QString StatusText() const;

    // ---- anonymized programs ----
    bool WriteAnonymListToRegistry();

    // ---- pages and rules ----
    TMainPage CurrentPage() const { return FPage; }
    // Re-evaluates the enabled rules (the window does so whenever idle).
    void UpdateActions();

    // ---- window state (TWindowSettings) ----
    // Size and place, splitter, the proxy and chain lists' columns, the page.
    // Saved when the window closes, restored when it is made.
    void SaveWindowState();
    void RestoreWindowState();
    // The activity log file given on the command line: it holds for this run
    // over the Settings page's choice.
    void SetCommandLineLogFile(const QString &path);

    // Ends the program as closing does, without the close question (Quit,
    // Ctrl+Q, the tray's Quit, SIGTERM).
    void Quit();
    // The tray icon; null where the desktop has no tray.
    TTrayIcon *TrayIcon() const { return FTray; }

    // ---- parts, for the dialogs and tests ----
    TProxyListView *lvProxyList() const { return FProxyList; }
    TfrmeSocksChain *frmeSocksChain() const { return FChainFrame; }
    TfrmeSettings *frmeSettings() const { return FSettingsFrame; }
    TfrmeAnonymize *frmeAnonymize() const { return FAnonymizeFrame; }
    TfrmeActivityPanel *frmeActivityPanel() const { return FActivity; }
    // The filters above the proxy list: a part of the address, a status.
    QLineEdit *edtProxyFilter() const { return FAddressFilter; }
    QComboBox *cbStatusFilter() const { return FStatusFilter; }
    // The "Test Chain" dialog; made when the first report arrives.
    TfrmChainTest *frmChainTest() const { return FChainTest; }
    QStackedWidget *pgcPages() const { return FPages; }
    QStackedWidget *pnlCommands() const { return FCommandPanels; }
    QToolButton *NavigationButton(TMainPage page) const;

    // ---- commands ----
    QAction *actProxyMgr;
    QAction *actAnonymizeProgram;
    QAction *actProxySocksChain;
    QAction *actSettings;
    QAction *actAddProxy;
    QAction *actEditProxy;
    QAction *actDeleteProxy;
    QAction *actTestProxy;
    QAction *actCheck;
    QAction *actTestAll;
    QAction *actGetProxies;
    QAction *actAddBulkProxy;
    QAction *actSelectAllProxies;
    // Deletes every proxy with status "TIME OUT" (after one question).
    QAction *actDeleteDeadProxies;
    // Ends the running check batch; on only while one runs.
    QAction *actStopChecking;
    // "Stop All" stops every chain; while none runs it is "Start All".
    QAction *actStopAll;
    QAction *actNewSocksChain;
    QAction *actEditSocksChain;
    QAction *actDeleteChain;
    QAction *actHelp;
    QAction *actExit;

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void CreateActions();
    void CreateLayout();
    QWidget *CreateHeader();
    QWidget *CreateNavigation();
    QWidget *CreateProxyPage();
    QWidget *CreateBanner();
    void CreateStatusBar();
    void ConnectActions();
    void ConnectHandlers();
    void CreateTrayIcon();
    // Runs a command; a failure is shown in a message box.
    void Guard(const std::function<void()> &command);
    void ShowPage(TMainPage page);
    // "Stop All" or "Start All", as the chains run now.
    void UpdateStopAll();
    void StartServices();
    void StopServices();
    // What closing does now: ask, hide to the tray, or end.
    TCloseChoice CloseChoice();
    // A chain's activity report onto the activity panel's queue (any thread;
    // the queue may outlive the window).
    static void DispatchActivity(TActivityQueue &queue, int32_t AChainUID,
                                 TActivityType AActivityType, const QString &AActivityMsg,
                                 int32_t AContextID);
    TMainDialogs *Dialogs();

    // Commands (frmMainCommands.cpp).
    void AddProxyExecute();
    void EditProxyExecute();
    void DeleteProxyExecute();
    void DeleteDeadProxiesExecute();
    void StopCheckingExecute();
    void AddBulkProxyExecute();
    void NewSocksChainExecute();
    void EditSocksChainExecute();
    void DeleteChainExecute();
    void StopAllExecute();
    void ShowChainTestReport(const QStringList &lines);
    // A proxy's status changed outside the window (a chain marked it): its
    // row shows the store's record.
    void RefreshProxyRow(int32_t AUID);
    void CheckSelectedProxies();
    void CheckAllProxies();
    void StartCheck(std::vector<int32_t> uids);
    void ReadCheckRecords(std::shared_ptr<std::vector<int32_t>> uids,
                          std::shared_ptr<std::vector<std::unique_ptr<TProxData>>> list,
                          size_t from);
    void RunCheck(std::unique_ptr<std::vector<std::unique_ptr<TProxData>>> list);
    void CheckEnded();
    void OpenMakerWebSite();
    void OpenHelp();
    void OpenProgramFile(const QString &name);

    TdmSocksMgr &FSocksMgr;
    TdmProxyData &FStore;
    TUiPrompts &FPrompts;
    TMainDialogs *FDialogs = nullptr;

    TProxyChecker *FChecker = nullptr; // the running batch; it deletes itself
    bool FCheckStarting = false;       // a batch shows "Testing"; its checker starts next
    TMainPage FPage = TMainPage::mpProxyManager;
    bool FLoaded = false;
    bool FServicesStarted = false;
    bool FClosed = false; // late check results are no longer shown
    bool FLogFileFromCommandLine = false;
    bool FQuitting = false; // the close under way ends the program, unasked
    TTrayIcon *FTray = nullptr;

    QStackedWidget *FCommandPanels = nullptr;
    QStackedWidget *FPages = nullptr;
    QSplitter *FSplitter = nullptr;
    QButtonGroup *FNavigation = nullptr;
    TProxyListView *FProxyList = nullptr;
    QLineEdit *FAddressFilter = nullptr;
    QComboBox *FStatusFilter = nullptr;
    TfrmeSocksChain *FChainFrame = nullptr;
    TfrmeSettings *FSettingsFrame = nullptr;
    TfrmeAnonymize *FAnonymizeFrame = nullptr;
    TfrmeActivityPanel *FActivity = nullptr;
    TfrmChainTest *FChainTest = nullptr;
    QLabel *FStatusPanels[3] = {nullptr, nullptr, nullptr};
};
