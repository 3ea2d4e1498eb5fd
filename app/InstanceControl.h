#pragma once
// The running instance's side of `velmora chain ...` and `velmora list
// chains`, the same for the window and --headless: the control socket
// (TControlServer) and its requests, each carried out on the user-interface
// thread (the socket's threads only hand them over):
//
//   hello                        "velmora PID window|headless"
//   states                       "UID<TAB>state" for every chain, table order
//   start|stop|restart NAME...   each chain's state line after the command
//   test NAME                    the chain test's report; the test itself runs
//                                on a worker thread, its result is recorded
//                                in the store and passed to OnReport
//   raise                        the window comes forward (headless: refused)
//   change WORDS...              a command of the command line that changes
//                                the store (TStoreCommands), made on this
//                                instance's store; its output and status
//
// A chain is named as `velmora run --chain` names it (TChainLookup); a name
// that finds no chain or more than one fails the whole request. A chain
// under test is not stopped under it: a stop or restart of it waits for the
// test's end, and so must anyone who stops every chain (WaitForTests).
//
// A program starting up asks Running() first: one instance per user. It then
// holds the data folder's lock shared for its whole life (HoldDataFolder), so
// a command that gets the lock exclusive knows that no instance runs.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TChainManager;
class TControlAnswer;
class TControlServer;
class TDataFolderLock;
class TdmProxyData;

class TInstanceControl {
public:
    enum class TMode { Window, Headless };

    TInstanceControl(TChainManager &chains, TdmProxyData &store, TMode mode);
    ~TInstanceControl();
    TInstanceControl(const TInstanceControl &) = delete;
    TInstanceControl &operator=(const TInstanceControl &) = delete;

    // Listens on the control socket; false when it cannot (the reason is in
    // the socket's folder, or another instance holds it: Problem says which).
    bool Start();
    QString Problem() const;
    // Stops listening; requests and test results still on their way are
    // dropped (their clients see no answer). Final.
    void Stop();

    // The window's part: bring it forward; show a test's report. Unset,
    // "raise" is refused and the report only goes back to the command line.
    std::function<void()> OnRaise;
    std::function<void(const QStringList &lines)> OnReport;
    // A change request changed the store (the window shows it anew).
    std::function<void()> OnStoreChanged;
    // Plain lines of the control socket (a client that went away before its
    // answer); user-interface thread.
    std::function<void(const QString &line)> OnMessage;

    // User-interface thread: no new test starts, and the tests under way are
    // waited for (handling events meanwhile), at most timeoutMs; false on
    // time-out. Call before every chain is stopped.
    bool WaitForTests(int timeoutMs);
    // ms a chain test may take.
    int FTestTimeoutMs = 30000;

    // The instance answering on the control socket, if any.
    struct TRunning {
        long Pid = 0;
        TMode Mode = TMode::Headless;
    };
    static std::optional<TRunning> Running();
    // "Velmora is already running (process 123, without a window); steer it
    // with "velmora chain ...""
    static QString AlreadyRunningText(const TRunning &running);
    // The data folder's lock, shared, for an instance (`who`: "velmora
    // --headless"); waits up to timeoutMs for a command that holds it.
    // Nothing, and `problem` says who holds it, when it stays held.
    static std::unique_ptr<TDataFolderLock> HoldDataFolder(const QString &who, int timeoutMs,
                                                           QString &problem);

private:
    using TAnswer = std::shared_ptr<TControlAnswer>;
    void Handle(const std::vector<std::string> &words, const TAnswer &answer);
    void Steer(const QString &verb, const std::vector<int32_t> &uids, const TAnswer &answer);
    void Test(int32_t uid, const TAnswer &answer);
    void TestEnded(int32_t uid);
    void Change(const std::vector<std::string> &words, const TAnswer &answer);
    // The chains named by words[1..], or nothing (the answer ended with why).
    // Reads the store's files anew; false (and answered) when that fails.
    bool ReloadStore(const TAnswer &answer);
    std::optional<std::vector<int32_t>> Resolve(const std::vector<std::string> &words,
                                                const TAnswer &answer);
    bool UnderTest(const std::vector<int32_t> &uids) const;

    TChainManager &FChains;
    TdmProxyData &FStore;
    TMode FMode;
    std::unique_ptr<TControlServer> FServer;
    std::map<int32_t, int> FTesting; // chain UID: tests under way
    bool FClosing = false;
    // Requests that wait for a chain's test to end.
    std::vector<std::function<void()>> FWaiting;
    std::shared_ptr<int> FAlive; // calls handed to the user-interface thread check it
};
