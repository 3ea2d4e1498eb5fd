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
    TChainState shown = state;
    shown.Connections = 0; // a line tells the change, not the traffic
    return QStringLiteral("Chain \"%1\" on port %2: %3")
        .arg(state.Name)
        .arg(state.Port)
        .arg(ChainStateText(shown));
}
