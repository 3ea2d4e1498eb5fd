#include "store/ChainLookup.h"

#include "store/dmProxyData.h"

#include <QStringList>

std::vector<TStoredChain> TChainLookup::All(TdmProxyData &store) {
    return store.Chains();
}

TChainLookup::TResult TChainLookup::Find(TdmProxyData &store, const QString &nameOrPort) {
    const std::vector<TStoredChain> chains = All(store);
    TResult result;
    const int port = nameOrPort.toInt(&result.ByPort);
    std::vector<const TStoredChain *> found;
    for (const TStoredChain &c : chains)
        if (result.ByPort ? c.Port == port : c.Name == nameOrPort)
            found.push_back(&c);
    if (found.empty() && !result.ByPort)
        for (const TStoredChain &c : chains)
            if (c.Name.compare(nameOrPort, Qt::CaseInsensitive) == 0)
                found.push_back(&c);
    if (found.size() == 1) {
        result.Outcome = TOutcome::Found;
        result.UID = found.front()->UID;
    } else {
        result.Outcome = found.empty() ? TOutcome::NotFound : TOutcome::Ambiguous;
    }
    return result;
}

QString TChainLookup::ListText(TdmProxyData &store) {
    QStringList names;
    for (const TStoredChain &c : All(store))
        names << QStringLiteral("\"%1\" (port %2)").arg(c.Name).arg(c.Port);
    return names.isEmpty() ? QStringLiteral("there are no chains yet")
                           : QStringLiteral("the chains are ") + names.join(QStringLiteral(", "));
}

QString TChainLookup::Problem(TdmProxyData &store, const TResult &result,
                              const QString &nameOrPort) {
    if (result.Outcome == TOutcome::Ambiguous)
        return QStringLiteral("more than one chain is named \"%1\"; name it by its port: %2")
            .arg(nameOrPort, ListText(store));
    return QStringLiteral("there is no chain %1 \"%2\"; %3")
        .arg(result.ByPort ? "on port" : "named", nameOrPort, ListText(store));
}
