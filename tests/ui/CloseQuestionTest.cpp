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

TfrmMain &OpenStarted(TMainFixture &f) {
    TfrmMain &w = f.Open();
    w.show();
    EXPECT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    return w;
}

bool Running(TMainFixture &f, const TLiveChain &chain) {
    return f.Services().ChainMgr().State(chain.UID()).State == TChainRunState::Running;
}

} // namespace

#define NEED_MICROSOCKS()                                                                          \
    if (!TLiveChain::Available())                                                                  \
    GTEST_SKIP() << "microsocks is not installed"

TEST(CloseQuestion, WithoutOpenConnectionsClosingAsksNothingAndEnds) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    TfrmMain &w = OpenStarted(f);
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(w.TrayIcon(), nullptr);
    ASSERT_TRUE(Running(f, chain));

    EXPECT_TRUE(w.close());
    EXPECT_TRUE(f.Prompts().CloseQuestions.empty());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Accepting(chain.Port()));
}

TEST(CloseQuestion, WithoutATrayQuitAndCancelAreTheOnlyAnswers) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    TfrmMain &w = OpenStarted(f);
    const int held = chain.Hold();
    ASSERT_GE(held, 0);

    // Cancel: window, chain and connection stay; nothing is remembered.
    f.Prompts().CloseAnswer = {TCloseChoice::Cancel, true};
    EXPECT_FALSE(w.close());
    ASSERT_EQ(f.Prompts().CloseQuestions.size(), 1u);
    EXPECT_EQ(f.Prompts().CloseQuestions[0].OpenConnections, 1);
    EXPECT_FALSE(f.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(Running(f, chain));
    EXPECT_TRUE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    // Keep, where there is no tray to keep the program in, hides nothing.
    f.Prompts().CloseAnswer = {TCloseChoice::Keep, true};
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    // Quit: the chain stops and drops the connection.
    f.Prompts().CloseAnswer = {TCloseChoice::Quit, false};
    EXPECT_TRUE(w.close());
    EXPECT_EQ(f.Prompts().CloseQuestions.size(), 3u);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Running(f, chain));
    EXPECT_FALSE(Accepting(chain.Port()));
    EXPECT_FALSE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());
}

TEST(CloseQuestion, DontAskAgainIsRememberedByTheNextWindow) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    OpenStarted(f);
    ASSERT_GE(chain.Hold(), 0);
    f.Prompts().CloseAnswer = {TCloseChoice::Quit, true};
    EXPECT_TRUE(f.Window().close());
    EXPECT_EQ(TWindowSettings().Value(TWindowSettings::CloseAnswer).toString(),
              QStringLiteral("quit"));
    f.Drop();

    TfrmMain &again = OpenStarted(f);
    ASSERT_TRUE(Running(f, chain));
    ASSERT_GE(chain.Hold(), 0);
    f.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_TRUE(again.close());
    EXPECT_EQ(f.Prompts().CloseQuestions.size(), 1u); // only the first window asked
    EXPECT_FALSE(Accepting(chain.Port()));
}

TEST(CloseQuestion, AStoredKeepWithoutATrayStillAsksAndNeverHides) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    TWindowSettings().SetValue(TWindowSettings::CloseAnswer, QStringLiteral("keep"));
    TfrmMain &w = OpenStarted(f);
    ASSERT_GE(chain.Hold(), 0);
    f.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_FALSE(w.close());
    ASSERT_EQ(f.Prompts().CloseQuestions.size(), 1u);
    EXPECT_FALSE(f.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_TRUE(w.isVisible());
}

TEST(CloseQuestion, QuitAsksNothingAndStopsTheChains) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    TfrmMain &w = OpenStarted(f);
    const int held = chain.Hold();
    ASSERT_GE(held, 0);
    f.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    w.actExit->trigger();
    EXPECT_TRUE(f.Prompts().CloseQuestions.empty());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(Running(f, chain));
    EXPECT_FALSE(TLiveChain::Alive(held));
}

TEST(CloseQuestion, AskAgainOnTheSettingsPageForgetsTheKeptAnswer) {
    NEED_MICROSOCKS();
    TMainFixture f;
    TLiveChain chain(f);
    TfrmMain &w = OpenStarted(f);
    w.actSettings->trigger();
    QPushButton *askAgain = w.frmeSettings()->btnAskOnClose();
    EXPECT_FALSE(askAgain->isEnabled()); // nothing kept yet

    TWindowSettings().SetValue(TWindowSettings::CloseAnswer, QStringLiteral("quit"));
    w.actSettings->trigger();
    ASSERT_TRUE(askAgain->isEnabled());
    askAgain->click();
    EXPECT_FALSE(askAgain->isEnabled());
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    ASSERT_GE(chain.Hold(), 0);
    f.Prompts().CloseAnswer = {TCloseChoice::Cancel, false};
    EXPECT_FALSE(w.close());
    EXPECT_EQ(f.Prompts().CloseQuestions.size(), 1u);
}
