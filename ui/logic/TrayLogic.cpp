#include "ui/logic/TrayLogic.h"

#include "ui/logic/MainScreenLogic.h"

int TTrayLogic::RunningCount(const std::vector<TChainState> &states) {
    int running = 0;
    for (const TChainState &state : states)
        if (state.State == TChainRunState::Running)
            ++running;
    return running;
}

int TTrayLogic::OpenConnections(const std::vector<TChainState> &states) {
    size_t open = 0;
    for (const TChainState &state : states)
        if (state.State == TChainRunState::Running)
            open += state.Connections;
    return static_cast<int>(open);
}

QString TTrayLogic::ToolTip(const std::vector<TChainState> &states) {
    const int running = RunningCount(states);
    QString line;
    if (running == 0)
        line = QStringLiteral("No chain running");
    else if (running == 1)
        line = QStringLiteral("1 chain running");
    else
        line = QStringLiteral("%1 chains running").arg(running);
    return TMainScreenLogic::ApplicationTitle + QLatin1Char('\n') + line;
}

QString TTrayLogic::ChainCaption(const TChainState &state) {
    QString name = state.Name;
    name.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return QStringLiteral("%1 (port %2): %3").arg(name).arg(state.Port).arg(ChainStateText(state));
}

QString TTrayLogic::WindowCaption(bool windowVisible) {
    return windowVisible ? QStringLiteral("&Hide Window") : QStringLiteral("&Show Window");
}

TCloseStep TCloseLogic::Decide(const QString &storedAnswer, int openConnections,
                               bool trayAvailable) {
    if (storedAnswer == QLatin1String(KeepValue) && trayAvailable)
        return TCloseStep::Keep;
    if (storedAnswer == QLatin1String(QuitValue))
        return TCloseStep::Quit;
    return openConnections > 0 ? TCloseStep::Ask : TCloseStep::Quit;
}

QString TCloseLogic::StoredValue(TCloseChoice choice) {
    switch (choice) {
    case TCloseChoice::Keep:
        return QLatin1String(KeepValue);
    case TCloseChoice::Quit:
        return QLatin1String(QuitValue);
    case TCloseChoice::Cancel:
        break;
    }
    return {};
}

QString TCloseLogic::QuestionText(int openConnections, bool trayAvailable) {
    const QString carried =
        openConnections == 1
            ? QStringLiteral("Chains are carrying 1 open connection.")
            : QStringLiteral("Chains are carrying %1 open connections.").arg(openConnections);
    return trayAvailable ? carried : carried + QStringLiteral(" Quit and drop them?");
}
