#include "engine/chain/ChainState.h"

namespace {

QString RunningText(const TChainState &state) {
    QString text = state.Trouble;
    if (text.isEmpty() && state.Connections == 0)
        text = QStringLiteral("running");
    else if (text.isEmpty())
        text = QStringLiteral("running (%1 %2)")
                   .arg(state.Connections)
                   .arg(state.Connections == 1 ? QStringLiteral("connection")
                                               : QStringLiteral("connections"));
    if (!state.LastFailure.isEmpty())
        text += QStringLiteral("; last failure: ") + state.LastFailure;
    return text;
}

} // namespace

QString ChainStateText(const TChainState &state) {
    switch (state.State) {
    case TChainRunState::Running:
        return RunningText(state);
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
