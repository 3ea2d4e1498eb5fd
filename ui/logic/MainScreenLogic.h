#pragma once
// The main window's rules without the widgets: its texts, the pages and
// which command panel each brings to the front, and when the commands that
// depend on the proxy list are enabled.

#include <QString>
#include <QStringList>

enum class TMainPage { mpProxyManager = 0, mpAnonymizeProgram, mpProxySocksChain, mpSettings };

// What the enabled rules look at, read from the proxy list.
struct TProxyListState {
    int Rows = 0; // every stored proxy, whatever the filter shows
    int SelectedRows = 0;
    bool Checking = false; // a check batch is under way
};

class TMainScreenLogic {
public:
    static const QString ApplicationTitle; // "Velmora Anonymizer"
    static const QString CaptionBase;      // "Velmora Anonymizer by Corvanet"
    static const QString VersionText;      // "1.0"
    // The maker's pages, opened by "Get Proxies" and the banner. Velmora
    // has no known online address, so they are the user guide that comes
    // with the program, found as "Help" finds it (TProgramFiles).
    static const QString MakerWebSite; // "readme.txt"
    // The user guide behind "Help", a file that comes with the program.
    static const QString HelpFile; // "readme.txt"
    // Said when a file that comes with the program is in none of the
    // folders searched for it.
    static QString FileNotFoundText(const QString &name, const QStringList &folders);

    // The caption once the tables are loaded: "... by Corvanet v.1.0"; before
    // (or when loading failed) the base alone.
    static QString Caption(bool loaded);

    // One check batch at a time: the commands that start one are off while
    // one runs, and "Stop Checking" is on only then.
    // "Check": at least one row selected.
    static bool CheckEnabled(const TProxyListState &list) {
        return list.SelectedRows > 0 && !list.Checking;
    }
    // "Test All": the list has at least one row.
    static bool TestAllEnabled(const TProxyListState &list) {
        return list.Rows > 0 && !list.Checking;
    }
    // "Test Proxy" (says nothing and starts nothing when no row is selected).
    static bool TestProxyEnabled(const TProxyListState &list) { return !list.Checking; }
    static bool StopCheckingEnabled(const TProxyListState &list) { return list.Checking; }
    // "Delete Dead Proxies": the list has at least one row.
    static bool DeleteDeadEnabled(const TProxyListState &list) { return list.Rows > 0; }

    // The status bar during a check: "Checked 120 of 9000 (37 OK)".
    static QString CheckProgressText(int checked, int total, int ok);
    // The question before deleting the proxies with status "TIME OUT".
    static QString DeleteDeadQuestion(int count);
    static const QString NoDeadProxiesText;
    static const QString CheckRunningText;

    // The command panel a page brings to the front: the page's own index;
    // only the proxy and chain pages have buttons in theirs.
    static int CommandPanelOf(TMainPage page) { return static_cast<int>(page); }
    static bool HasCommands(TMainPage page) {
        return page == TMainPage::mpProxyManager || page == TMainPage::mpProxySocksChain;
    }
};
