// The tray's texts and the close question's rules: the counts the tooltip
// and the question give, a chain's menu entry, and which stored answer
// spares the question when.
#include "ui/logic/TrayLogic.h"

#include <gtest/gtest.h>

namespace {

TChainState Chain(const char *name, int port, TChainRunState run, size_t connections = 0) {
    TChainState state;
    state.Name = QString::fromUtf8(name);
    state.Port = port;
    state.State = run;
    state.Connections = connections;
    return state;
}

} // namespace

TEST(TrayLogic, TooltipCountsOnlyRunningChains) {
    const TChainState running = Chain("A", 1080, TChainRunState::Running, 2);
    const TChainState stopped = Chain("B", 1081, TChainRunState::Stopped);
    const TChainState refused = Chain("C", 1082, TChainRunState::NotStarted);
    EXPECT_EQ(TTrayLogic::ToolTip({}), QStringLiteral("Velmora Anonymizer\nNo chain running"));
    EXPECT_EQ(TTrayLogic::ToolTip({stopped, refused}),
              QStringLiteral("Velmora Anonymizer\nNo chain running"));
    EXPECT_EQ(TTrayLogic::ToolTip({running, stopped}),
              QStringLiteral("Velmora Anonymizer\n1 chain running"));
    EXPECT_EQ(TTrayLogic::ToolTip({running, refused, running}),
              QStringLiteral("Velmora Anonymizer\n2 chains running"));
}

TEST(TrayLogic, OpenConnectionsAddUpOverRunningChainsOnly) {
    // A stopped chain's stale count must not make closing ask.
    EXPECT_EQ(TTrayLogic::OpenConnections({Chain("A", 1, TChainRunState::Running, 2),
                                           Chain("B", 2, TChainRunState::Running, 3),
                                           Chain("C", 3, TChainRunState::Stopped, 7)}),
              5);
    EXPECT_EQ(TTrayLogic::OpenConnections({Chain("C", 3, TChainRunState::Stopped, 7)}), 0);
}

TEST(TrayLogic, ChainEntryShowsNamePortAndStateWithoutMnemonics) {
    EXPECT_EQ(TTrayLogic::ChainCaption(Chain("Work", 1080, TChainRunState::Running, 2)),
              QStringLiteral("Work (port 1080): running (2 connections)"));
    EXPECT_EQ(TTrayLogic::ChainCaption(Chain("Idle", 1081, TChainRunState::Stopped)),
              QStringLiteral("Idle (port 1081): stopped"));
    // An "&" in a name is shown, not taken as the entry's shortcut letter.
    EXPECT_EQ(TTrayLogic::ChainCaption(Chain("R&D", 1082, TChainRunState::Running)),
              QStringLiteral("R&&D (port 1082): running"));
    EXPECT_EQ(TTrayLogic::WindowCaption(true), QStringLiteral("&Hide Window"));
    EXPECT_EQ(TTrayLogic::WindowCaption(false), QStringLiteral("&Show Window"));
}

TEST(CloseLogic, AsksOnlyWithOpenConnectionsAndNoStoredAnswer) {
    EXPECT_EQ(TCloseLogic::Decide({}, 1, true), TCloseStep::Ask);
    EXPECT_EQ(TCloseLogic::Decide({}, 3, false), TCloseStep::Ask);
    EXPECT_EQ(TCloseLogic::Decide({}, 0, true), TCloseStep::Quit);
    EXPECT_EQ(TCloseLogic::Decide({}, 0, false), TCloseStep::Quit);
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("nonsense"), 2, true), TCloseStep::Ask);
}

TEST(CloseLogic, StoredAnswerHoldsButKeepNeedsATray) {
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("keep"), 4, true), TCloseStep::Keep);
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("keep"), 0, true), TCloseStep::Keep);
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("quit"), 4, true), TCloseStep::Quit);
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("quit"), 4, false), TCloseStep::Quit);
    // Without a tray a hidden window could not be brought back: never hide.
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("keep"), 4, false), TCloseStep::Ask);
    EXPECT_EQ(TCloseLogic::Decide(QStringLiteral("keep"), 0, false), TCloseStep::Quit);
}

TEST(CloseLogic, CancelIsNeverStoredAndTheQuestionCountsConnections) {
    EXPECT_EQ(TCloseLogic::StoredValue(TCloseChoice::Keep), QStringLiteral("keep"));
    EXPECT_EQ(TCloseLogic::StoredValue(TCloseChoice::Quit), QStringLiteral("quit"));
    EXPECT_TRUE(TCloseLogic::StoredValue(TCloseChoice::Cancel).isEmpty());
    EXPECT_EQ(TCloseLogic::Decide(TCloseLogic::StoredValue(TCloseChoice::Cancel), 1, true),
              TCloseStep::Ask);

    EXPECT_EQ(TCloseLogic::QuestionText(1, true),
              QStringLiteral("Chains are carrying 1 open connection."));
    EXPECT_EQ(TCloseLogic::QuestionText(3, true),
              QStringLiteral("Chains are carrying 3 open connections."));
    EXPECT_EQ(TCloseLogic::QuestionText(3, false),
              QStringLiteral("Chains are carrying 3 open connections. Quit and drop them?"));
}
