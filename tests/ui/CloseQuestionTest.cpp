// Closing the window while a chain carries an open connection, where the
// desktop has no tray (the offscreen platform): the question offers Quit and
// Cancel only, Quit ends as closing always did, Cancel changes nothing, a
// remembered answer holds for the next window, and Quit itself asks nothing.
// With a tray host: tests/ui/tray.
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/frmeSettings.h"

#include <QAction>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

bool Running(TMainFixture &f, const TLiveChain &chain) {
    return f.Services().ChainMgr().State(chain.UID()).State == TChainRunState::Running;
}

} // namespace

using CloseQuestion = TLiveWindowTest;

TEST_F(CloseQuestion, WithoutOpenConnectionsClosingAsksNothingAndEnds) {
    TfrmMain &w = OpenStarted();
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(w.TrayIcon(), nullptr);
    ASSERT_TRUE(Running(Main, *Chain));

    EXPECT_TRUE(w.close());
    EXPECT_TRUE(Main.Prompts().CloseQuestions.empty());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Accepting(Chain->Port()));
}

TEST_F(CloseQuestion, WithoutATrayQuitAndCancelAreTheOnlyAnswers) {
    TfrmMain &w = OpenStarted();
    const int held = Chain->Hold();
    ASSERT_GE(held, 0);

    // Cancel: window, chain and connection stay; nothing is remembered.
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, true};
    EXPECT_FALSE(w.close());
    ASSERT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_EQ(Main.Prompts().CloseQuestions[0].OpenConnections, 1);
    EXPECT_FALSE(Main.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(Running(Main, *Chain));
    EXPECT_TRUE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    // Keep, where there is no tray to keep the program in, hides nothing.
    Main.Prompts().CloseAnswer = {TCloseChoice::Keep, true};
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    // Quit: the chain stops and drops the connection.
    Main.Prompts().CloseAnswer = {TCloseChoice::Quit, false};
    EXPECT_TRUE(w.close());
    EXPECT_EQ(Main.Prompts().CloseQuestions.size(), 3u);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Running(Main, *Chain));
    EXPECT_FALSE(Accepting(Chain->Port()));
    EXPECT_FALSE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());
}

TEST_F(CloseQuestion, DontAskAgainIsRememberedByTheNextWindow) {
    ASSERT_NO_FATAL_FAILURE(CloseKeepingAnswer(TCloseChoice::Quit, true, "quit"));

    TfrmMain &again = OpenStarted();
    ASSERT_TRUE(Running(Main, *Chain));
    ASSERT_GE(Chain->Hold(), 0);
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_TRUE(again.close());
    EXPECT_EQ(Main.Prompts().CloseQuestions.size(), 1u); // only the first window asked
    EXPECT_FALSE(Accepting(Chain->Port()));
}

TEST_F(CloseQuestion, AStoredKeepWithoutATrayStillAsksAndNeverHides) {
    TWindowSettings().SetValue(TWindowSettings::CloseAnswer, QStringLiteral("keep"));
    TfrmMain &w = OpenStarted();
    ASSERT_GE(Chain->Hold(), 0);
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_FALSE(w.close());
    ASSERT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_FALSE(Main.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_TRUE(w.isVisible());
}

TEST_F(CloseQuestion, QuitAsksNothingAndStopsTheChains) {
    TfrmMain &w = OpenStarted();
    const int held = Chain->Hold();
    ASSERT_GE(held, 0);
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    w.actExit->trigger();
    EXPECT_TRUE(Main.Prompts().CloseQuestions.empty());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Running(Main, *Chain));
    EXPECT_FALSE(TLiveChain::Alive(held));
}

TEST_F(CloseQuestion, AskAgainOnTheSettingsPageForgetsTheKeptAnswer) {
    TfrmMain &w = OpenStarted();
    w.actSettings->trigger();
    QPushButton *askAgain = w.frmeSettings()->btnAskOnClose();
    EXPECT_FALSE(askAgain->isEnabled()); // nothing kept yet

    TWindowSettings().SetValue(TWindowSettings::CloseAnswer, QStringLiteral("quit"));
    w.actSettings->trigger();
    ASSERT_TRUE(askAgain->isEnabled());
    askAgain->click();
    EXPECT_FALSE(askAgain->isEnabled());
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    ASSERT_GE(Chain->Hold(), 0);
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_FALSE(w.close());
    EXPECT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
}
