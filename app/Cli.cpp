#include "app/Cli.h"

#include "anonymize/ProgramLaunch.h"
#include "app/ConsoleOut.h"
#include "check/BulkIntake.h"
#include "check/ProxyChecker.h"
#include "platform/ControlSocket.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTextStream>
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

class TUsageError : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};

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

int Import(TdmProxyData &store, const QStringList &args) {
    if (args.size() > 1)
        throw TUsageError("import takes at most one file");
    QFile file;
    if (args.isEmpty()) {
        if (!file.open(stdin, QIODevice::ReadOnly))
            throw EVelmoraError("Cannot read standard input.");
    } else {
        file.setFileName(args[0]);
        if (!file.open(QIODevice::ReadOnly))
            throw EVelmoraError(
                QStringLiteral("Cannot open file \"%1\". %2").arg(args[0], file.errorString()));
    }
    const QString text = QString::fromUtf8(file.readAll());
    const TIntakeResult result = TBulkIntake::Apply(store, text);
    TConsoleOut::Line(QStringLiteral("Added %1 %2")
                          .arg(result.Added)
                          .arg(result.Added == 1 ? "proxy" : "proxies"));
    if (result.Duplicates() > 0)
        TConsoleOut::Line(result.DuplicatesText());
    return 0;
}

int32_t ParseInt(const QString &text, const QString &what) {
    const std::optional<int32_t> v = TBulkIntake::StrToInt(text.trimmed());
    if (!v)
        throw EVelmoraError(TBulkIntake::InvalidIntegerMessage(text.trimmed()));
    Q_UNUSED(what);
    return *v;
}

int Check(TdmProxyData &store, const QStringList &args) {
    auto list = std::make_unique<TProxyList>();
    if (args.isEmpty() || (args.size() == 1 && args[0] == QLatin1String("--all"))) {
        store.GetAllProxyRecords(*list);
    } else {
        for (const QString &a : args) {
            const int32_t uid = ParseInt(a, QStringLiteral("UID"));
            const std::optional<TProxData> rec = store.FindProxy(uid);
            if (!rec)
                throw EVelmoraError(QStringLiteral("Proxy %1 not found").arg(uid));
            list->push_back(std::make_unique<TProxData>(*rec));
        }
    }
    if (list->empty()) {
        TConsoleOut::Line(QStringLiteral("Check done"));
        return 0;
    }
    int failures = 0;
    auto *checker = new TProxyChecker(store);
    checker->FConnectTimeout = store.Timeout() * 1000;
    checker->OnCheckComplete = [](TProxyChecker *, TProxData &p, TProxyStatus status) {
        TConsoleOut::Line(
            Row({QString::number(p.FUID), QStringLiteral("%1:%2").arg(p.FIPAddress).arg(p.FPort),
                 ProxyStatusText(static_cast<int>(status)),
                 ProxyTypeText(static_cast<int>(p.FProxyType)),
                 status == TProxyStatus::psAvailable ? SpeedToText(p.FSpeed) : QString()}));
    };
    checker->OnCheckError = [&failures](TProxyChecker *, const QString &message) {
        ++failures;
        TConsoleOut::ErrorLine(message);
    };
    checker->OnCheckEnd = [](TProxyChecker *) {
        TConsoleOut::Line(QStringLiteral("Check done"));
        QCoreApplication::quit();
    };
    checker->Check(std::move(list));
    QCoreApplication::exec();
    return failures ? 1 : 0;
}

int ChainAdd(TdmProxyData &store, const QStringList &args) {
    if (args.size() < 3)
        throw TUsageError("chain add needs NAME PORT and at least one proxy UID");
    const QString name = args[0];
    if (name.isEmpty() || args[1].trimmed().isEmpty())
        throw EVelmoraError("Name and port must be entered");
    const int32_t port = ParseInt(args[1], QStringLiteral("port"));
    std::vector<int32_t> proxies;
    for (int i = 2; i < args.size(); ++i) {
        const int32_t uid = ParseInt(args[i], QStringLiteral("UID"));
        if (!store.FindProxy(uid))
            throw EVelmoraError(QStringLiteral("Proxy %1 not found").arg(uid));
        proxies.push_back(uid);
    }
    // As the chain dialog does: nothing reaches the files until every item
    // is in; on a failure the chain tables are read back from disk.
    TdmProxyData::TBatch batch(store);
    try {
        const int32_t chainUID =
            store.PutChain({.Desc = name, .Port = port, .AutoCreate = false, .ChangeEvery = 5});
        for (int32_t uid : proxies)
            store.AddChainedItem(chainUID, uid);
        batch.Commit();
        TConsoleOut::Line(
            QStringLiteral("Chain %1 \"%2\" on port %3").arg(chainUID).arg(name).arg(port));
    } catch (...) {
        batch.Discard();
        store.ReloadChains();
        throw;
    }
    return 0;
}

// start, stop, restart and test, carried out by the running instance.
int ChainControl(const QString &verb, const QStringList &names) {
    if (names.isEmpty())
        throw TUsageError(QStringLiteral("chain %1 needs a chain NAME or PORT").arg(verb));
    if (verb == QLatin1String("test") && names.size() != 1)
        throw TUsageError("chain test takes one chain NAME or PORT");
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

int Dispatch(TdmProxyData &store, const QStringList &args) {
    const QString command = args.value(0);
    const QStringList rest = args.mid(1);
    if (command == QLatin1String("list")) {
        if (rest.size() != 1)
            throw TUsageError("list needs one of proxies, chains, programs");
        if (rest[0] == QLatin1String("proxies"))
            return ListProxies(store);
        if (rest[0] == QLatin1String("chains"))
            return ListChains(store);
        if (rest[0] == QLatin1String("programs"))
            return ListPrograms(store);
        throw TUsageError("list needs one of proxies, chains, programs");
    }
    if (command == QLatin1String("import"))
        return Import(store, rest);
    if (command == QLatin1String("check"))
        return Check(store, rest);
    if (command == QLatin1String("run"))
        return TProgramLaunch::Run(store, TProgramLaunch::Parse(rest),
                                   [](const QString &line) { TConsoleOut::ErrorLine(line); });
    if (command == QLatin1String("chain")) {
        const QString verb = rest.value(0);
        if (verb == QLatin1String("add"))
            return ChainAdd(store, rest.mid(1));
        for (const char *steer : {"start", "stop", "restart", "test"})
            if (verb == QLatin1String(steer))
                return ChainControl(verb, rest.mid(1));
        throw TUsageError("unknown chain command");
    }
    throw TUsageError("unknown command");
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
        TdmProxyData store;
        store.FOnNotice = [](const QString &line) { TConsoleOut::ErrorLine(line); };
        store.LoadData();
        return Dispatch(store, args);
    } catch (const ELaunchUsage &e) {
        TConsoleOut::ErrorLine(QStringLiteral("velmora: ") + e.Message());
        return 2;
    } catch (const TUsageError &e) {
        TConsoleOut::ErrorLine(e.Message());
        return Usage();
    } catch (const std::exception &e) {
        TConsoleOut::ErrorLine(QString::fromUtf8(e.what()));
        return 1;
    }
}
