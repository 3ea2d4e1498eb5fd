#include "app/InstanceControl.h"

#include "app/StoreCommands.h"
#include "check/ChainTest.h"
#include "check/ChainTestThd.h"
#include "engine/chain/ChainManager.h"
#include "platform/ControlSocket.h"
#include "platform/DataFolderLock.h"
#include "platform/UiThread.h"
#include "platform/WorkerThread.h"
#include "store/ChainLookup.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <sstream>
#include <unistd.h>

namespace {

std::string Text(const QString &text) {
    return text.toStdString();
}

} // namespace

TInstanceControl::TInstanceControl(TChainManager &chains, TdmProxyData &store, TMode mode)
    : FChains(chains), FStore(store), FMode(mode), FAlive(std::make_shared<int>(0)) {
    std::weak_ptr<int> alive = FAlive;
    FServer = std::make_unique<TControlServer>(
        [this, alive](const std::vector<std::string> &words, const TAnswer &answer) {
            // Everything the request touches belongs to the user-interface thread.
            TUiThread::Queue([this, alive, words, answer] {
                if (alive.lock())
                    Handle(words, answer);
            });
        });
    FServer->OnLost = [this, alive](const std::string &message) {
        TUiThread::Queue([this, alive, message] {
            if (alive.lock() && OnMessage)
                OnMessage(QString::fromStdString(message));
        });
    };
}

TInstanceControl::~TInstanceControl() {
    Stop();
}

bool TInstanceControl::Start() {
    return FServer->Start();
}

QString TInstanceControl::Problem() const {
    return QString::fromStdString(FServer->Problem());
}

void TInstanceControl::Stop() {
    FServer->Stop();
    FAlive.reset(); // requests and results still on their way are dropped
}

void TInstanceControl::Handle(const std::vector<std::string> &words, const TAnswer &answer) {
    const std::string verb = words.empty() ? std::string() : words.front();
    if (verb == "hello") {
        answer->Out("velmora " + std::to_string(::getpid()) +
                    (FMode == TMode::Window ? " window" : " headless"));
        answer->End(0);
    } else if (verb == "states") {
        for (const TChainState &state : FChains.States())
            answer->Out(std::to_string(state.UID) + "\t" + Text(ChainStateText(state)));
        answer->End(0);
    } else if (verb == "start" || verb == "stop" || verb == "restart") {
        // Headless, a chain started now is started as stored now (what
        // SIGHUP reads for every chain): the commands' changes are this
        // store's already, and a restore of the data folder is read in. The
        // window's store is the one its user edits; it stays as it is.
        if (FMode == TMode::Headless && verb != "stop" && !ReloadStore(answer))
            return;
        const auto uids = Resolve(words, answer);
        if (!uids)
            return;
        if (UnderTest(*uids)) {
            FWaiting.push_back([this, words, answer] { Handle(words, answer); });
            return;
        }
        Steer(QString::fromStdString(verb), *uids, answer);
    } else if (verb == "test") {
        if (words.size() != 2) {
            answer->Err("velmora chain test takes one chain NAME or PORT");
            answer->End(2);
            return;
        }
        if (const auto uids = Resolve(words, answer))
            Test(uids->front(), answer);
    } else if (verb == "change") {
        Change(words, answer);
    } else if (verb == "raise") {
        if (OnRaise) {
            OnRaise();
            answer->Out("raised");
            answer->End(0);
        } else {
            answer->Err("this Velmora runs without a window (process " +
                        std::to_string(::getpid()) + ")");
            answer->End(1);
        }
    } else {
        answer->Err("unknown request \"" + verb + "\"");
        answer->End(2);
    }
}

void TInstanceControl::Change(const std::vector<std::string> &words, const TAnswer &answer) {
    QStringList args;
    for (size_t i = 1; i < words.size(); ++i)
        args << QString::fromStdString(words[i]);
    const TCommandOutput out{[answer](const QString &line) { answer->Out(Text(line)); },
                             [answer](const QString &line) { answer->Err(Text(line)); }};
    std::weak_ptr<int> alive = FAlive;
    const auto done = [this, alive, answer](int status) {
        answer->End(status);
        if (alive.lock() && OnStoreChanged)
            OnStoreChanged();
    };
    try {
        if (!TStoreCommands::Changes(args))
            throw ECommandUsage("unknown command");
        TStoreCommands::Run(FStore, args, out, done);
    } catch (const ECommandUsage &e) {
        answer->Err(e.what());
        answer->End(2);
    } catch (const std::exception &e) {
        answer->Err(e.what());
        answer->End(1);
        if (OnStoreChanged)
            OnStoreChanged(); // a failed chain add read the chain tables back
    }
}

bool TInstanceControl::ReloadStore(const TAnswer &answer) {
    try {
        FStore.LoadData();
        return true;
    } catch (const std::exception &e) {
        answer->Err(e.what());
        answer->End(1);
        return false;
    }
}

std::optional<std::vector<int32_t>> TInstanceControl::Resolve(const std::vector<std::string> &words,
                                                              const TAnswer &answer) {
    if (words.size() < 2) {
        answer->Err("velmora chain " + words.front() + " needs a chain NAME or PORT");
        answer->End(2);
        return std::nullopt;
    }
    std::vector<int32_t> uids;
    for (size_t i = 1; i < words.size(); ++i) {
        const QString name = QString::fromStdString(words[i]);
        const TChainLookup::TResult found = TChainLookup::Find(FStore, name);
        if (found.Outcome != TChainLookup::TOutcome::Found) {
            answer->Err(Text(TChainLookup::Problem(FStore, found, name)));
            answer->End(1);
            return std::nullopt;
        }
        uids.push_back(found.UID);
    }
    return uids;
}

bool TInstanceControl::UnderTest(const std::vector<int32_t> &uids) const {
    for (int32_t uid : uids)
        if (FTesting.count(uid))
            return true;
    return false;
}

void TInstanceControl::Steer(const QString &verb, const std::vector<int32_t> &uids,
                             const TAnswer &answer) {
    int status = 0;
    for (int32_t uid : uids) {
        try {
            if (verb == QLatin1String("start"))
                FChains.StartChain(uid);
            else if (verb == QLatin1String("stop"))
                FChains.StopChain(uid);
            else
                FChains.RestartChain(uid);
        } catch (const std::exception &e) {
            answer->Err(e.what()); // the chain's state tells the rest
        }
        const TChainState state = FChains.State(uid);
        answer->Out(Text(ChainStateLine(state)));
        if (verb != QLatin1String("stop") && state.State != TChainRunState::Running)
            status = 1;
    }
    answer->End(status);
}

void TInstanceControl::Test(int32_t uid, const TAnswer &answer) {
    if (FClosing) {
        answer->Err("Velmora is stopping its chains");
        answer->End(1);
        return;
    }
    std::shared_ptr<TProxyChain> chain = FChains.Share(uid);
    if (!chain || !chain->Active()) {
        const TChainState state = FChains.State(uid);
        answer->Err(Text(QStringLiteral("Chain \"%1\" (port %2) is %3: start it first with "
                                        "\"velmora chain start\"")
                             .arg(state.Name)
                             .arg(state.Port)
                             .arg(ChainStateText(state))));
        answer->End(1);
        return;
    }
    ++FTesting[uid];
    auto *thread = new TChainTestThd;
    thread->FChain = chain;
    thread->FTimeoutMs = FTestTimeoutMs;
    std::weak_ptr<int> alive = FAlive;
    thread->OnTestDone = [this, alive, uid, answer](const TChainTestResult &result) {
        if (!alive.lock())
            return;
        try {
            TChainTest::Record(FStore, uid, result);
        } catch (const std::exception &e) {
            answer->Err(std::string("The result could not be saved: ") + e.what());
        }
        const QStringList lines = TChainTest::ReportLines(result);
        if (OnReport)
            OnReport(lines);
        for (const QString &line : lines)
            answer->Out(Text(line));
        answer->End(result.Ok ? 0 : 1);
        TestEnded(uid);
    };
    thread->Start();
}

void TInstanceControl::TestEnded(int32_t uid) {
    const auto it = FTesting.find(uid);
    if (it != FTesting.end() && --it->second <= 0)
        FTesting.erase(it);
    // Each waiting request looks again; one whose chains are still under
    // test waits anew.
    std::vector<std::function<void()>> waiting;
    waiting.swap(FWaiting);
    for (auto &request : waiting)
        request();
}

bool TInstanceControl::WaitForTests(int timeoutMs) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    FClosing = true;
    while (!FTesting.empty() && steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (!FTesting.empty())
            QThread::msleep(5);
    }
    FClosing = false;
    return FTesting.empty();
}

std::optional<TInstanceControl::TRunning> TInstanceControl::Running() {
    const TControlClient::TReply reply = TControlClient::Ask({"hello"}, 3000);
    if (reply.Outcome != TControlClient::TOutcome::Answered || reply.Status != 0 ||
        reply.Lines.empty())
        return std::nullopt;
    std::istringstream in(reply.Lines.front().second);
    std::string word, mode;
    TRunning running;
    in >> word >> running.Pid >> mode;
    if (word != "velmora" || !in)
        return std::nullopt;
    running.Mode = mode == "window" ? TMode::Window : TMode::Headless;
    return running;
}

QString TInstanceControl::AlreadyRunningText(const TRunning &running) {
    return QStringLiteral("Velmora is already running (process %1, %2); steer it with "
                          "\"velmora chain ...\"")
        .arg(running.Pid)
        .arg(running.Mode == TMode::Window ? "with its window" : "without a window");
}

std::unique_ptr<TDataFolderLock> TInstanceControl::HoldDataFolder(const QString &who, int timeoutMs,
                                                                  QString &problem) {
    try {
        TdmProxyData store;
        const QString folder = store.DataFolder();
        TdmProxyData::ProvisionDataFolder(folder);
        auto lock = std::make_unique<TDataFolderLock>(folder);
        if (lock->Lock(TDataFolderLock::TMode::Shared, who, timeoutMs))
            return lock;
        problem = QStringLiteral("The data folder \"%1\" is held by %2; Velmora did not start.")
                      .arg(folder, lock->Holder());
    } catch (const std::exception &e) {
        problem = QString::fromUtf8(e.what());
    }
    return nullptr;
}
