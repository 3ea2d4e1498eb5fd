#include "ui/logic/ProgramChains.h"

#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <algorithm>

namespace {

QString Quoted(const QString &text) {
    return QStringLiteral("\"%1\"").arg(text);
}

} // namespace

TProgramChains::TProgramChains(std::vector<TChainRef> chains) : FChains(std::move(chains)) {}

TProgramChains TProgramChains::FromStore(TdmProxyData &store) {
    std::vector<TChainRef> chains;
    for (const TStoredChain &chain : store.Chains())
        chains.push_back({chain.UID, chain.Name, chain.Port});
    return TProgramChains(std::move(chains));
}

std::vector<TAnonymProgram> TProgramChains::Programs(TdmProxyData &store) {
    return store.AnonymizedPrograms();
}

std::optional<TAnonymProgram> TProgramChains::Program(TdmProxyData &store, int32_t AUID) {
    return store.FindAnonym(AUID);
}

TProgramChainView TProgramChains::View(const TAnonymProgram &program) const {
    TProgramChainView view;
    view.PortText = program.ChainPort ? QString::number(program.ChainPort) : QString();
    if (!program.ChainUID) {
        view.State = TProgramChainState::pcsNoChain;
        view.ChainText = QStringLiteral("(no chain)");
        view.ToolTip = QStringLiteral("This program has no chain, so it is not anonymized. "
                                      "Edit it to choose a chain.");
        return view;
    }
    const auto found = std::find_if(FChains.begin(), FChains.end(),
                                    [&](const TChainRef &c) { return c.UID == *program.ChainUID; });
    if (found == FChains.end()) {
        view.State = TProgramChainState::pcsChainDeleted;
        view.ChainText = QStringLiteral("(chain deleted)");
        view.ToolTip = QStringLiteral("The chain this program was set to has been deleted, so "
                                      "its connections would reach no chain. Edit it to choose "
                                      "another chain.");
        return view;
    }
    view.Chain = *found;
    if (found->Port != program.ChainPort) {
        view.State = TProgramChainState::pcsPortChanged;
        view.ChainText =
            QStringLiteral("%1 (port changed: chain now on %2)").arg(found->Name).arg(found->Port);
        view.ToolTip =
            QStringLiteral("This program was set to chain %1 on port %2, but the chain now "
                           "listens on port %3, so its connections would miss the chain. Edit "
                           "it and press OK to follow the chain.")
                .arg(Quoted(found->Name))
                .arg(program.ChainPort)
                .arg(found->Port);
        return view;
    }
    view.ChainText = found->Name;
    return view;
}

QString TProgramChains::ChainArgument(const TChainRef &chain) const {
    const QString name = chain.Name.trimmed();
    const bool digits = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    const bool shared = std::any_of(FChains.begin(), FChains.end(), [&](const TChainRef &c) {
        return c.UID != chain.UID && c.Name.trimmed().compare(name, Qt::CaseInsensitive) == 0;
    });
    if (name.isEmpty() || digits || name.startsWith(u'-') || shared || name != chain.Name)
        return QString::number(chain.Port);
    return chain.Name;
}

QStringList TProgramChains::RunArguments(const TAnonymProgram &program) const {
    const TProgramChainView view = View(program);
    if (view.Marked())
        throw EVelmoraError(Refusal(program, QStringLiteral("launched")));
    return {QStringLiteral("run"), QStringLiteral("--chain"), ChainArgument(*view.Chain),
            program.Filename};
}

QString TProgramChains::Refusal(const TAnonymProgram &program, const QString &done) const {
    const TProgramChainView view = View(program);
    const QString what = QStringLiteral("%1 cannot be %2: ").arg(Quoted(program.Filename), done);
    switch (view.State) {
    case TProgramChainState::pcsFine:
        return {};
    case TProgramChainState::pcsNoChain:
        return what + QStringLiteral("it has no chain. Edit it and choose a chain.");
    case TProgramChainState::pcsChainDeleted:
        return what +
               QStringLiteral("its chain has been deleted. Edit it and choose another chain.");
    case TProgramChainState::pcsPortChanged:
        return what + QStringLiteral("it was set to chain %1 on port %2, but the chain now "
                                     "listens on port %3. Edit it and press OK to follow the "
                                     "chain.")
                          .arg(Quoted(view.Chain->Name))
                          .arg(program.ChainPort)
                          .arg(view.Chain->Port);
    }
    return {};
}
