#pragma once
// The chain page: the title "SOCKS Chain List" over a list of the chains
// that are not hidden, in table order, each row owning its chain record and
// showing the chain's live state (coloured as the proxy lists colour status)
// and when "Test Chain" last ran. The states follow the chain manager's
// changes (ShowState), and the connection counts are read again every
// second while the page is visible.
//
// The commands act on the selected chains: "Start", "Stop", "Restart",
// "Test Chain" (the first selected chain, on a worker thread; its report
// goes to FOnTestReport and, line by line, to FOnActivity), and deleting,
// which stops each selected chain and deletes it from the store. The
// chain under test keeps running until its test ends: commands that would
// stop it are refused meanwhile. The list's context menu holds the commands
// with the window's "Edit" and "Delete" (AddMenuActions) and "Select All".

#include "store/ChainedProxyData.h"

#include <QFrame>
#include <QStringList>
#include <QTreeWidgetItem>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QTimer;
class QTreeWidget;
class TChainManager;
struct TChainState;
struct TChainTestResult;
class TdmProxyData;
class TUiPrompts;

class TfrmeSocksChain : public QFrame {
public:
    enum TColumn { colName = 0, colPort, colStatus, colLastChecked, ColumnCount };

    // How long a test may take, and how often the visible page reads the
    // connection counts again.
    static constexpr int TestTimeoutMs = 30000;
    static constexpr int RefreshMs = 1000;

    TfrmeSocksChain(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts,
                    QWidget *parent = nullptr);

    void PopulatechainList();
    void ClearChainList();
    // The UID of the first selected chain; -1 when none is selected.
    int32_t GetSelected() const;
    // The selected chains, top to bottom.
    std::vector<int32_t> SelectedUIDs() const;
    // Asks "Delete selected Proxy Chain(s)?" when a row is selected; on Yes
    // stops and deletes every selected chain, then rebuilds the list.
    void DeleteSelected();

    // ---- live state ----
    // The state cells of every row, as the chain manager has them now.
    void RefreshStates();
    // The state cells of one chain's row (the manager's OnStateChanged).
    void ShowState(const TChainState &state);

    // ---- commands on the selection ----
    void StartSelected();
    void StopSelected();
    void RestartSelected();
    void TestSelected();
    // The same on chains named by UID (the tray's chain entries); stopping
    // spares the chain under test as StopSelected does.
    void StartChains(const std::vector<int32_t> &uids);
    void StopChains(const std::vector<int32_t> &uids);
    void UpdateActions();
    // The chain under test; 0 while no test runs.
    int32_t TestedChain() const { return FTestedUID; }
    // False, after telling so, when the chain under test is among `uids`
    // (any chain at all when `uids` is empty).
    bool MayStop(const std::vector<int32_t> &uids);
    // Handles events until the test under way has ended, at most timeoutMs;
    // false when it is still running.
    bool WaitForTest(int timeoutMs);

    // The window's "Edit" and "Delete" in the context menu, after the
    // chain commands.
    void AddMenuActions(QAction *edit, QAction *remove);

    // A test's report: for the "Test Chain" dialog, and a line at a time for
    // the activity panel. Without FOnTestReport the report is a message.
    std::function<void(const QStringList &lines)> FOnTestReport;
    std::function<void(const QString &line)> FOnActivity;

    QTreeWidget *lvChains() const { return FList; }
    QAction *actSelectAll() const { return FSelectAll; }
    QAction *actStartChain() const { return FStart; }
    QAction *actStopChain() const { return FStop; }
    QAction *actRestartChain() const { return FRestart; }
    QAction *actTestChain() const { return FTest; }
    QTimer *tmrStates() const { return FStatesTimer; }
    // The record of a row (null for a row that is not a chain row).
    static const TChainedProxyData *RecordOf(const QTreeWidgetItem *row);

protected:
    void showEvent(QShowEvent *e) override;
    void hideEvent(QHideEvent *e) override;

private:
    QTreeWidgetItem *RowOf(int32_t uid) const;
    QString NameOf(int32_t uid) const;
    // The chain's "Last Checked" cell from the store.
    void ShowLastChecked(QTreeWidgetItem *row, int32_t uid);
    void TestDone(int32_t uid, const TChainTestResult &result);
    void Activity(const QString &line);

    TdmProxyData &FStore;
    TChainManager &FChains;
    TUiPrompts &FPrompts;
    QTreeWidget *FList;
    QAction *FSelectAll;
    QAction *FStart;
    QAction *FStop;
    QAction *FRestart;
    QAction *FTest;
    QTimer *FStatesTimer;
    int32_t FTestedUID = 0;
};
