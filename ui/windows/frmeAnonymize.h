#pragma once
// The Anonymize Program page: the anonymized programs in table order
// ("Application", "Chain", "Port", "No. Of Proxies", and "Launch": what
// became of the last launch), with "Add", "Edit",
// "Delete", "Launch", "Add to menu" below and the same in a pop-up menu with
// "Select All". Each entry remembers its row's UID. A program whose chain is
// gone, has moved to another port or was never set is shown in red with the
// reason in its tooltip (TProgramChains), and is neither launched nor put in
// the menu. After every confirmed add or edit and after each deletion the
// list is handed to the redirector (FOnHandOff); an edit rewrites the
// program's menu entry and a deletion removes it.

#include <QFrame>
#include <QStringList>
#include <functional>
#include <map>

class QAction;
class QTreeWidget;
class TdmProxyData;
class TProgramChains;
struct TAnonymProgram;

class TfrmeAnonymize : public QFrame {
public:
    enum TColumn { colApplication = 0, colChain, colPort, colNoOfProxies, colLaunch, ColumnCount };

    TfrmeAnonymize(TdmProxyData &store, QWidget *parent = nullptr);

    // Refills the list from the table.
    void Load();
    void RefreshList();
    // The entries' UIDs, top to bottom; the selected ones.
    std::vector<int32_t> SelectedUIDs() const;

    void actAddExecute();
    void actEditExecute();
    // Deletes every selected entry in one pass, then saves and hands off
    // once; "error Anonymized program data not found" (and nothing deleted)
    // when an entry's row is gone.
    void actDeleteExecute();
    // Runs each selected program through its chain ("velmora run"),
    // detached. "Launched ..." is reported once velmora run says the program
    // has started; its failure goes to the activity panel and FOnError. The
    // row's "Launch" column says "starting", "started" or "failed: REASON".
    // Marked programs are not started: one message says why.
    void actLaunchExecute();
    // Writes each selected program's menu entry (TProgramMenuEntry), asking
    // before one replaces a file that is not the program's own; marked
    // programs get one message, as for "Launch".
    void actAddToMenuExecute();
    // Re-evaluates "Edit", "Delete", "Launch", "Add to menu" (at least one
    // entry selected).
    void UpdateActions();

    QTreeWidget *lvPrograms() const { return FList; }
    QAction *actAdd() const { return FAdd; }
    QAction *actEdit() const { return FEdit; }
    QAction *actDelete() const { return FDelete; }
    QAction *actSelectAll() const { return FSelectAll; }
    QAction *actLaunch() const { return FLaunch; }
    QAction *actAddToMenu() const { return FAddToMenu; }

    // The program dialog: add, or edit the entry with this UID; true on OK.
    std::function<bool()> FOnAddProgram;
    std::function<bool(int32_t AUID)> FOnEditProgram;
    // The hand-off to the redirector.
    std::function<void()> FOnHandOff;
    // A failure of a command, shown to the user.
    std::function<void(const QString &)> FOnError;
    // Information for the user ("... cannot be launched: ...").
    std::function<void(const QString &)> FOnMessage;
    // A Yes/No question; true for Yes. Unset: No.
    std::function<bool(const QString &)> FOnAsk;
    // A line for the activity panel.
    std::function<void(const QString &)> FOnActivity;
    // Starts a program without waiting for it; false with the reason in
    // `error` when it could not be started. Otherwise `started` is called
    // once, later, with an empty text when velmora run said the program
    // runs, or its reason for failing. QProcess unless replaced.
    std::function<bool(const QString &program, const QStringList &arguments, QString &error,
                       const std::function<void(const QString &failure)> &started)>
        FOnStartDetached;
    // The velmora binary that "Launch" starts and menu entries run.
    QString FVelmoraPath;

private:
    // Runs `act` on each selected program whose chain it would reach; the
    // others are refused, every refusal in one message.
    void ForEachSelectedProgram(
        const QString &deed,
        const std::function<void(const TAnonymProgram &, const TProgramChains &)> &act);
    void Guard(const std::function<void()> &command);
    // The "Launch" column of the program's row, kept over refills.
    void ShowLaunch(int32_t uid, const QString &state);
    void Report(const QString &line);

    TdmProxyData &FStore;
    QTreeWidget *FList;
    QAction *FAdd;
    QAction *FEdit;
    QAction *FDelete;
    QAction *FSelectAll;
    QAction *FLaunch;
    QAction *FAddToMenu;
    std::map<int32_t, QString> FLaunchStates;
};
