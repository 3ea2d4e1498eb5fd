#include "engine/chain/ChainState.h"

QString ChainStateText(const TChainState &state) {
    switch (state.State) {
    case TChainRunState::Running:
        if (state.Connections == 0)
            return QStringLiteral("running");
        return QStringLiteral("running (%1 %2)")
            .arg(state.Connections)
            .arg(state.Connections == 1 ? QStringLiteral("connection")
                                        : QStringLiteral("connections"));
    case TChainRunState::NotStarted:
        return QStringLiteral("not started: ") + state.Reason;
    case TChainRunState::Stopped:
        break;
    }
    return QStringLiteral("stopped");
}

QString ChainStateLine(const TChainState &state) {
    // A line tells the change, not the traffic: no connection count.
    QString text;
    switch (state.State) {
    case TChainRunState::Running:
        text = QStringLiteral("running");
        break;
    case TChainRunState::NotStarted:
        text = QStringLiteral("not started (%1)").arg(state.Reason);
        break;
    case TChainRunState::Stopped:
        text = QStringLiteral("stopped");
        break;
    }
    return QStringLiteral("Chain \"%1\" on port %2: %3").arg(state.Name).arg(state.Port).arg(text);
}
