#include "app/Cli.h"

#include "anonymize/ProgramLaunch.h"
#include "app/ConsoleOut.h"
#include "app/StoreCommands.h"
#include "check/ProxyChecker.h"
#include "platform/Clock.h"
#include "platform/ControlSocket.h"
#include "platform/DataFolder.h"
#include "platform/DataFolderLock.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <QThread>
#include <cstring>
#include <map>
#include <optional>

namespace {

constexpr const char *kUsage = "usage: velmora list proxies|chains|programs\n"
                               "       velmora import [FILE]\n"
                               "       velmora check [--all | UID ...]\n"
                               "       velmora chain add NAME PORT UID [UID ...]\n"
                               "       velmora chain start|stop|restart NAME|PORT [NAME|PORT ...]\n"
                               "       velmora chain test NAME|PORT\n"
                               "       velmora run [--chain NAME|PORT] [--preload] [--verbose] "
                               "[--no-sound] [--user NAME] PROGRAM [ARGS...]\n"
                               "       velmora --log FILE\n"
                               "       velmora --headless\n"
                               "       velmora --files\n"
                               "       velmora --version\n";

// How long a command waits for another one that holds the data folder.
constexpr int kLockWaitMs = 30000;

QString Row(const QStringList &fields) {
    return fields.join(u'\t');
}

QString Text(const TDataTable &t, const TDataTable::TRow &row, const char *field) {
    return t.DisplayText(row, t.FieldIndex(QString::fromLatin1(field)));
}

std::optional<int64_t> IntValue(const TDataTable &t, const TDataTable::TRow &row,
                                const char *field) {
    const TFieldValue v = t.RowValue(row, t.FieldIndex(QString::fromLatin1(field)));
    if (const auto *i = std::get_if<int64_t>(&v))
        return *i;
    return std::nullopt;
}

QString SpeedText(const TDataTable &t, const TDataTable::TRow &row) {
    const TFieldValue v = t.RowValue(row, t.FieldIndex(QStringLiteral("Speed")));
    const auto *d = std::get_if<double>(&v);
    return d ? SpeedToText(*d) : QString();
}

int ListProxies(const TdmProxyData &store) {
    const TDataTable &t = store.cdsProxies();
    TConsoleOut::Line(Row({"UID", "IP/Host", "Port", "Status", "Type", "Speed", "Last Checked"}));
    for (const TDataTable::TRow *row : t.AllRows())
        TConsoleOut::Line(
            Row({Text(t, *row, "UID"), Text(t, *row, "IPAddress"), Text(t, *row, "Port"),
                 ProxyStatusText(static_cast<int>(IntValue(t, *row, "Status").value_or(0))),
                 ProxyTypeText(static_cast<int>(IntValue(t, *row, "HostType").value_or(0))),
                 SpeedText(t, *row), Text(t, *row, "LastChecked")}));
    return 0;
}

// The running instance's state of every chain it knows, by UID; nothing when
// none runs (standard error says so).
std::optional<std::map<int32_t, QString>> LiveStates() {
    const TControlClient::TReply reply = TControlClient::Ask({"states"}, 10000);
    if (reply.Outcome != TControlClient::TOutcome::Answered || reply.Status != 0) {
        const QString error = QString::fromStdString(reply.Error);
        TConsoleOut::ErrorLine(
            reply.Outcome == TControlClient::TOutcome::NotRunning
                ? QStringLiteral("no running Velmora: live state unknown")
            : reply.Outcome == TControlClient::TOutcome::Untrusted
                ? error + QStringLiteral(": live state unknown")
                : QStringLiteral("the running Velmora does not answer (%1): live state unknown")
                      .arg(error));
        return std::nullopt;
    }
    std::map<int32_t, QString> states;
    for (const auto &[channel, text] : reply.Lines) {
        const QString line = QString::fromStdString(text);
        const qsizetype tab = line.indexOf(u'\t');
        if (channel == 'o' && tab > 0)
            states[line.left(tab).toInt()] = line.mid(tab + 1);
    }
    return states;
}

int ListChains(TdmProxyData &store) {
    const std::optional<std::map<int32_t, QString>> live = LiveStates();
    QStringList header{"UID", "Name", "Port", "Proxies"};
    if (live)
        header << "State";
    TConsoleOut::Line(Row(header));
    for (const TStoredChain &stored : store.Chains()) {
        const int32_t uid = stored.UID;
        const TChainedProxyData chain = store.GetChain(uid);
        QStringList proxies;
        for (const auto &p : chain.FChainedItems)
            proxies << QString::number(p->FUID);
        QStringList fields{QString::number(chain.FUID), chain.FDesc, QString::number(chain.FPort),
                           proxies.join(u',')};
        if (live) {
            // A chain added since the instance read its store is not among its chains.
            const auto it = live->find(uid);
            fields << (it != live->end() ? it->second : QStringLiteral("stopped"));
        }
        TConsoleOut::Line(Row(fields));
    }
    return 0;
}

int ListPrograms(const TdmProxyData &store) {
    TConsoleOut::Line(Row({"UID", "Application", "Chain", "Port"}));
    for (const TAnonymProgram &p : store.AnonymizedPrograms())
        TConsoleOut::Line(Row({QString::number(p.UID), p.Filename,
                               p.ChainUID ? QString::number(*p.ChainUID) : QString(),
                               QString::number(p.ChainPort)}));
    return 0;
}

// The running instance's answer on standard output and error; the exit status.
int Print(const TControlClient::TReply &reply) {
    if (reply.Outcome == TControlClient::TOutcome::Untrusted) {
        TConsoleOut::ErrorLine(QString::fromStdString(reply.Error));
        return 1;
    }
    for (const auto &[channel, text] : reply.Lines) {
        if (channel == 'o')
            TConsoleOut::Line(QString::fromStdString(text));
        else
            TConsoleOut::ErrorLine(QString::fromStdString(text));
    }
    if (reply.Outcome == TControlClient::TOutcome::NoAnswer) {
        TConsoleOut::ErrorLine(QStringLiteral("The running Velmora did not answer: ") +
                               QString::fromStdString(reply.Error));
        return 1;
    }
    return reply.Status;
}

// start, stop, restart and test, carried out by the running instance.
int ChainControl(const QString &verb, const QStringList &names) {
    if (names.isEmpty())
        throw ECommandUsage(QStringLiteral("chain %1 needs a chain NAME or PORT").arg(verb));
    if (verb == QLatin1String("test") && names.size() != 1)
        throw ECommandUsage("chain test takes one chain NAME or PORT");
    std::vector<std::string> words{verb.toStdString()};
    for (const QString &name : names)
        words.push_back(name.toStdString());
    // A test takes as long as the chain and the page need; the instance ends
    // it at its own time-out.
    const int timeoutMs = verb == QLatin1String("test") ? 120000 : 30000;
    const TControlClient::TReply reply = TControlClient::Ask(words, timeoutMs);
    if (reply.Outcome == TControlClient::TOutcome::NotRunning) {
        TConsoleOut::ErrorLine(QStringLiteral("Velmora is not running"));
        return 1;
    }
    return Print(reply);
}

// A command that changes the store. While an instance runs, it makes the
// change on its own store (its memory and the files stay one); otherwise this
// process does, holding the data folder's lock from reading to writing. A
// lock it cannot have at once is held by the instance (ask it) or by another
// command (wait for it, bounded).
int RunChange(QStringList args) {
    if (args[0] == QLatin1String("import"))
        args = QStringList{args[0], TStoreCommands::ReadImportText(args.mid(1))};
    const QString folder = TDataFolder::GetDataFolder();
    TdmProxyData::ProvisionDataFolder(folder);
    TDataFolderLock lock(folder);
    const int64_t end = TClock::TickMs() + kLockWaitMs;
    while (!lock.TryLock(TDataFolderLock::TMode::Exclusive,
                         QStringLiteral("velmora ") +
                             (args[0] == QLatin1String("chain") ? "chain add" : args[0]))) {
        std::vector<std::string> words{"change"};
        for (const QString &word : args)
            words.push_back(word.toStdString());
        if (TControlClient::EncodeWords(words).size() > TControlServer::MaxRequestLength)
            throw EVelmoraError(QStringLiteral("The list is too long to hand to the running "
                                               "Velmora (at most %1 MiB); import it in parts.")
                                    .arg(TControlServer::MaxRequestLength >> 20));
        // A check lasts as long as its proxies take; the instance ends it.
        const int timeoutMs = args[0] == QLatin1String("check") ? 24 * 3600 * 1000 : 300000;
        const TControlClient::TReply reply = TControlClient::Ask(words, timeoutMs);
        if (reply.Outcome != TControlClient::TOutcome::NotRunning) {
            const int status = Print(reply);
            return status == 2 ? TCli::Usage() : status;
        }
        if (TClock::TickMs() >= end)
            throw EVelmoraError(QStringLiteral("The data folder \"%1\" is held by %2; nothing "
                                               "was changed.")
                                    .arg(folder, lock.Holder()));
        QThread::msleep(50);
    }
    TdmProxyData store(folder);
    store.FOnNotice = [](const QString &line) { TConsoleOut::ErrorLine(line); };
    store.LoadData();
    std::optional<int> status;
    const TCommandOutput out{[](const QString &line) { TConsoleOut::Line(line); },
                             [](const QString &line) { TConsoleOut::ErrorLine(line); }};
    TStoreCommands::Run(store, args, out, [&status](int s) {
        status = s;
        QCoreApplication::quit();
    });
    if (!status)
        QCoreApplication::exec();
    return status.value_or(1);
}

// The commands that only read load the tables while no command holds the
// folder alone (an instance shares it): the load itself may write (a new
// data folder, the "Default" chain), and never between another command's
// reading and writing.
void LoadBesideOthers(TdmProxyData &store) {
    const QString folder = store.DataFolder();
    TdmProxyData::ProvisionDataFolder(folder);
    TDataFolderLock lock(folder);
    // Without the file no command ever changed the folder; a reader does
    // not make it (nor one it may only read, nor root one for its user).
    bool held = !QFileInfo::exists(folder + TDataFolderLock::FileName);
    try {
        held = held || lock.Lock(TDataFolderLock::TMode::Shared, QString(), kLockWaitMs);
    } catch (const EVelmoraError &) {
        held = true; // a folder this process may only read: nobody writes it through us
    }
    if (!held)
        throw EVelmoraError(
            QStringLiteral("The data folder \"%1\" is held by %2.").arg(folder, lock.Holder()));
    store.LoadData();
}

int Dispatch(TdmProxyData &store, const QStringList &args) {
    const QString command = args.value(0);
    const QStringList rest = args.mid(1);
    if (command == QLatin1String("list")) {
        if (rest.size() != 1)
            throw ECommandUsage("list needs one of proxies, chains, programs");
        if (rest[0] == QLatin1String("proxies"))
            return ListProxies(store);
        if (rest[0] == QLatin1String("chains"))
            return ListChains(store);
        if (rest[0] == QLatin1String("programs"))
            return ListPrograms(store);
        throw ECommandUsage("list needs one of proxies, chains, programs");
    }
    if (command == QLatin1String("run"))
        return TProgramLaunch::Run(store, TProgramLaunch::Parse(rest),
                                   [](const QString &line) { TConsoleOut::ErrorLine(line); });
    if (command == QLatin1String("chain")) {
        const QString verb = rest.value(0);
        for (const char *steer : {"start", "stop", "restart", "test"})
            if (verb == QLatin1String(steer))
                return ChainControl(verb, rest.mid(1));
        throw ECommandUsage("unknown chain command");
    }
    throw ECommandUsage("unknown command");
}

} // namespace

int TCli::Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int TCli::Help() {
    std::fputs(kUsage, stdout);
    std::fputs("Without arguments: the window, or --headless when there is no display.\n"
               "man velmora tells more.\n",
               stdout);
    return 0;
}

bool TCli::IsCommand(const char *word) {
    for (const char *c : {"list", "import", "check", "chain", "run"})
        if (std::strcmp(word, c) == 0)
            return true;
    return false;
}

int TCli::Run(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora Anonymizer"));
    QStringList args = QCoreApplication::arguments().mid(1);
    try {
        if (TStoreCommands::Changes(args))
            return RunChange(args);
        TdmProxyData store;
        store.FOnNotice = [](const QString &line) { TConsoleOut::ErrorLine(line); };
        LoadBesideOthers(store);
        return Dispatch(store, args);
    } catch (const ELaunchUsage &e) {
        TConsoleOut::ErrorLine(QStringLiteral("velmora: ") + e.Message());
        return 2;
    } catch (const ECommandUsage &e) {
        TConsoleOut::ErrorLine(e.Message());
        return Usage();
    } catch (const std::exception &e) {
        TConsoleOut::ErrorLine(QString::fromUtf8(e.what()));
        return 1;
    }
}
