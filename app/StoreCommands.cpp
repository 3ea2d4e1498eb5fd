#include "app/StoreCommands.h"

#include "check/BulkIntake.h"
#include "check/ProxyChecker.h"
#include "store/dmProxyData.h"

#include <QFile>
#include <memory>

namespace {

int32_t ParseInt(const QString &text) {
    const std::optional<int32_t> v = TBulkIntake::StrToInt(text.trimmed());
    if (!v)
        throw EVelmoraError(TBulkIntake::InvalidIntegerMessage(text.trimmed()));
    return *v;
}

int Import(TdmProxyData &store, const QString &text, const TCommandOutput &out) {
    const TIntakeResult result = TBulkIntake::Apply(store, text);
    out.Out(QStringLiteral("Added %1 %2")
                .arg(result.Added)
                .arg(result.Added == 1 ? "proxy" : "proxies"));
    if (result.Duplicates() > 0)
        out.Out(result.DuplicatesText());
    return 0;
}

void Check(TdmProxyData &store, const QStringList &args, const TCommandOutput &out,
           const std::function<void(int)> &done) {
    auto list = std::make_unique<TProxyList>();
    if (args.isEmpty() || (args.size() == 1 && args[0] == QLatin1String("--all"))) {
        store.GetAllProxyRecords(*list);
    } else {
        for (const QString &a : args) {
            const int32_t uid = ParseInt(a);
            const std::optional<TProxData> rec = store.FindProxy(uid);
            if (!rec)
                throw EVelmoraError(QStringLiteral("Proxy %1 not found").arg(uid));
            list->push_back(std::make_unique<TProxData>(*rec));
        }
    }
    if (list->empty()) {
        out.Out(QStringLiteral("Check done"));
        done(0);
        return;
    }
    auto failures = std::make_shared<int>(0);
    auto *checker = new TProxyChecker(store);
    checker->FConnectTimeout = store.Timeout() * 1000;
    checker->OnCheckComplete = [out](TProxyChecker *, TProxData &p, TProxyStatus status) {
        out.Out(
            QStringList({QString::number(p.FUID),
                         QStringLiteral("%1:%2").arg(p.FIPAddress).arg(p.FPort),
                         ProxyStatusText(static_cast<int>(status)),
                         ProxyTypeText(static_cast<int>(p.FProxyType)),
                         status == TProxyStatus::psAvailable ? SpeedToText(p.FSpeed) : QString()})
                .join(u'\t'));
    };
    checker->OnCheckError = [out, failures](TProxyChecker *, const QString &message) {
        ++*failures;
        out.Err(message);
    };
    checker->OnCheckEnd = [out, failures, done](TProxyChecker *) {
        out.Out(QStringLiteral("Check done"));
        done(*failures ? 1 : 0);
    };
    checker->Check(std::move(list));
}

int ChainAdd(TdmProxyData &store, const QStringList &args, const TCommandOutput &out) {
    if (args.size() < 3)
        throw ECommandUsage("chain add needs NAME PORT and at least one proxy UID");
    const QString name = args[0];
    if (name.isEmpty() || args[1].trimmed().isEmpty())
        throw EVelmoraError("Name and port must be entered");
    const int32_t port = ParseInt(args[1]);
    std::vector<int32_t> proxies;
    for (int i = 2; i < args.size(); ++i) {
        const int32_t uid = ParseInt(args[i]);
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
        out.Out(QStringLiteral("Chain %1 \"%2\" on port %3").arg(chainUID).arg(name).arg(port));
    } catch (...) {
        batch.Discard();
        store.ReloadChains();
        throw;
    }
    return 0;
}

} // namespace

bool TStoreCommands::Changes(const QStringList &args) {
    const QString command = args.value(0);
    return command == QLatin1String("import") || command == QLatin1String("check") ||
           (command == QLatin1String("chain") && args.value(1) == QLatin1String("add"));
}

QString TStoreCommands::ReadImportText(const QStringList &importArgs) {
    if (importArgs.size() > 1)
        throw ECommandUsage("import takes at most one file");
    QFile file;
    if (importArgs.isEmpty()) {
        if (!file.open(stdin, QIODevice::ReadOnly))
            throw EVelmoraError("Cannot read standard input.");
    } else {
        file.setFileName(importArgs[0]);
        if (!file.open(QIODevice::ReadOnly))
            throw EVelmoraError(QStringLiteral("Cannot open file \"%1\". %2")
                                    .arg(importArgs[0], file.errorString()));
    }
    return QString::fromUtf8(file.readAll());
}

void TStoreCommands::Run(TdmProxyData &store, const QStringList &args, const TCommandOutput &out,
                         const std::function<void(int)> &done) {
    const QString command = args.value(0);
    if (command == QLatin1String("import") && args.size() == 2)
        done(Import(store, args[1], out));
    else if (command == QLatin1String("check"))
        Check(store, args.mid(1), out, done);
    else if (command == QLatin1String("chain") && args.value(1) == QLatin1String("add"))
        done(ChainAdd(store, args.mid(2), out));
    else
        throw ECommandUsage("unknown command");
}
