#include "ui/logic/ChainPageLogic.h"

#include "ui/logic/ProxyRowColours.h"

QColor TChainPageLogic::StateColour(TChainRunState state) {
    switch (state) {
    case TChainRunState::Running:
        return TProxyRowColours::RowColour(QStringLiteral("OK"), TProxyListKind::plkMain);
    case TChainRunState::NotStarted:
        return TProxyRowColours::RowColour(QStringLiteral("TIME OUT"), TProxyListKind::plkMain);
    case TChainRunState::Stopped:
        break;
    }
    return TProxyRowColours::RowColour(QStringLiteral("Not Checked"), TProxyListKind::plkMain);
}

QString TChainPageLogic::StateToolTip(const TChainState &state) {
    switch (state.State) {
    case TChainRunState::Running:
        if (state.Rotating && !state.Hops.isEmpty())
            return QStringLiteral("Hops now: ") + state.Hops;
        return {};
    case TChainRunState::NotStarted:
        return QStringLiteral("Not started: ") + state.Reason;
    case TChainRunState::Stopped:
        break;
    }
    return {};
}

bool TChainPageLogic::StartEnabled(const TChainSelection &s) {
    return s.Selected > s.Running;
}

bool TChainPageLogic::StopEnabled(const TChainSelection &s) {
    return s.Running > 0 && !s.TestedSelected;
}

bool TChainPageLogic::RestartEnabled(const TChainSelection &s) {
    return s.Selected > 0 && !s.TestedSelected;
}

bool TChainPageLogic::TestEnabled(const TChainSelection &s) {
    return s.Selected > 0 && !s.TestUnderWay;
}

QString TChainPageLogic::StopAllCaption(bool anyRunning) {
    return anyRunning ? QStringLiteral("Stop All") : QStringLiteral("Start All");
}

bool TChainPageLogic::StopAllEnabled(bool anyRunning, bool testUnderWay) {
    return !(anyRunning && testUnderWay);
}
