// The tray icon under a real tray host: run by RunUnderTrayHost.sh inside
// Xvfb on the xcb platform, once with trayer holding the tray (TrayHost.*)
// and once without any host (NoTrayHost.*, the negative control). Started
// any other way, every test skips and says why.
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

// "host" or "none" as the script set it; else why the tests cannot run.
QString HostProblem(const char *wanted) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return QStringLiteral(
            "needs the xcb platform under Xvfb (tests/ui/tray/RunUnderTrayHost.sh)");
    const QString problem = qEnvironmentVariable("VELMORA_TRAY_HOST_PROBLEM");
    if (!problem.isEmpty())
        return problem;
    if (qEnvironmentVariable("VELMORA_TRAY_HOST") != QLatin1String(wanted))
        return QStringLiteral("run by tests/ui/tray/RunUnderTrayHost.sh with VELMORA_TRAY_HOST=") +
               QLatin1String(wanted);
    return {};
}

// Waits for the tray host to own the tray; false after the bound.
bool TrayReady() {
    return Pump([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000);
}

// The window Qt embeds into the tray host for the icon.
QWidget *EmbeddedIcon() {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (QLatin1String(widget->metaObject()->className()) == "QSystemTrayIconSys")
            return widget;
    return nullptr;
}

QStringList ChainEntries(TTrayIcon &tray) {
    emit tray.Menu()->aboutToShow(); // as opening the menu does
    QStringList texts;
    for (QAction *action : tray.ChainActions())
        texts << action->text() + (action->isChecked() ? QStringLiteral(" [x]") : QString());
    return texts;
}

// The window tests under the tray host the script named: `wanted`.
class TTrayTest : public TLiveWindowTest {
protected:
    explicit TTrayTest(const char *wanted) : FWanted(wanted) {}
    void SetUp() override {
        if (const QString problem = HostProblem(FWanted); !problem.isEmpty())
            GTEST_SKIP() << problem.toStdString();
        TLiveWindowTest::SetUp();
    }

private:
    const char *FWanted;
};

class TrayHost : public TTrayTest {
protected:
    TrayHost() : TTrayTest("host") {}
    void SetUp() override {
        TTrayTest::SetUp();
        if (!IsSkipped() && !TrayReady())
            GTEST_SKIP() << "trayer was started but no tray host took the tray within 15 s";
    }
};

class NoTrayHost : public TTrayTest {
protected:
    NoTrayHost() : TTrayTest("none") {}
};

} // namespace

TEST_F(TrayHost, IconShowsTheChainsAndItsMenuSteersThemAndTheWindow) {
    TfrmMain &w = OpenStarted();
    TTrayIcon *tray = w.TrayIcon();
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_TRUE(Pump([] { return EmbeddedIcon() && EmbeddedIcon()->isVisible(); }))
        << "the icon never appeared in the tray";
    EXPECT_TRUE(tray->ShowsRunning());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmora Anonymizer\n1 chain running"));

    const QString live = QStringLiteral("Live (port %1): ").arg(Chain->Port());
    // Every chain of the store has its entry: the one without proxies too.
    ASSERT_EQ(ChainEntries(*tray).size(), 2);
    EXPECT_TRUE(ChainEntries(*tray)[0].startsWith(QStringLiteral("Default (port ")));
    EXPECT_TRUE(
        ChainEntries(*tray)[0].endsWith(QStringLiteral("not started: the chain has no proxies")));
    EXPECT_EQ(ChainEntries(*tray)[1], live + QStringLiteral("running [x]"));
    ASSERT_GE(Chain->Hold(), 0);
    EXPECT_EQ(ChainEntries(*tray)[1], live + QStringLiteral("running (1 connection) [x]"));

    // The chain's entry stops it and starts it again, as the chain page does.
    tray->ChainActions()[1]->trigger();
    EXPECT_FALSE(Accepting(Chain->Port()));
    EXPECT_FALSE(tray->ShowsRunning());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmora Anonymizer\nNo chain running"));
    EXPECT_EQ(ChainEntries(*tray)[1], live + QStringLiteral("stopped"));
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Start All"));
    tray->ChainActions()[1]->trigger();
    EXPECT_TRUE(Accepting(Chain->Port()));
    EXPECT_TRUE(tray->ShowsRunning());
    // The probe's own connection counts until the chain's thread sees it
    // closed.
    EXPECT_TRUE(Pump([&] {
        return ChainEntries(*tray)[1] == live + QStringLiteral("running [x]");
    })) << ChainEntries(*tray)[1].toStdString();
    EXPECT_TRUE(tray->Menu()->actions().contains(w.actStopAll));
    EXPECT_TRUE(tray->Menu()->actions().contains(w.actExit));

    // Show/Hide, from the menu and from a left click.
    EXPECT_EQ(tray->actToggleWindow()->text(), QStringLiteral("&Hide Window"));
    tray->actToggleWindow()->trigger();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(tray->actToggleWindow()->text(), QStringLiteral("&Show Window"));
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(w.isVisible());
    emit tray->activated(QSystemTrayIcon::Context); // opens the menu, nothing else
    EXPECT_TRUE(w.isVisible());
    tray->actToggleWindow()->trigger();
    EXPECT_FALSE(w.isVisible());
    // Nothing was stopped by hiding.
    EXPECT_TRUE(Accepting(Chain->Port()));
}

TEST_F(TrayHost, KeepRunningHidesTheWindowAndTheConnectionCarriesOn) {
    TfrmMain &w = OpenStarted();
    ASSERT_NE(w.TrayIcon(), nullptr);
    const int held = Chain->Hold();
    ASSERT_GE(held, 0);

    Main.Prompts().CloseAnswer = {TCloseChoice::Keep, false};
    EXPECT_FALSE(w.close()); // the program runs on
    ASSERT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_EQ(Main.Prompts().CloseQuestions[0].OpenConnections, 1);
    EXPECT_TRUE(Main.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.TrayIcon()->isVisible());
    EXPECT_TRUE(TLiveChain::Alive(held));
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());

    // Back from the tray, Cancel changes nothing, Quit ends.
    w.TrayIcon()->ToggleWindow();
    Main.Prompts().CloseAnswer = {TCloseChoice::Cancel, true};
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());
    Main.Prompts().CloseAnswer = {TCloseChoice::Quit, false};
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.TrayIcon()->isVisible());
    EXPECT_FALSE(Accepting(Chain->Port()));
    EXPECT_FALSE(TLiveChain::Alive(held));
    QApplication::setQuitOnLastWindowClosed(true);
}

TEST_F(TrayHost, DontAskAgainKeepHoldsForTheNextWindowButNotForQuit) {
    ASSERT_NO_FATAL_FAILURE(CloseKeepingAnswer(TCloseChoice::Keep, false, "keep"));

    TfrmMain &again = OpenStarted();
    Main.Prompts().CloseAnswer = {TCloseChoice::Quit, false};
    EXPECT_FALSE(again.close()); // no connection now, and still kept in the tray
    EXPECT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_FALSE(again.isVisible());
    EXPECT_TRUE(Accepting(Chain->Port()));

    // The tray's Quit ends without asking.
    again.actExit->trigger();
    EXPECT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_FALSE(Accepting(Chain->Port()));
    QApplication::setQuitOnLastWindowClosed(true);
}

TEST_F(NoTrayHost, WithoutAHostThereIsNoTrayAndNoKeepChoice) {
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    TfrmMain &w = OpenStarted();
    EXPECT_EQ(w.TrayIcon(), nullptr);
    ASSERT_GE(Chain->Hold(), 0);
    Main.Prompts().CloseAnswer = {TCloseChoice::Keep, true};
    EXPECT_FALSE(w.close());
    ASSERT_EQ(Main.Prompts().CloseQuestions.size(), 1u);
    EXPECT_FALSE(Main.Prompts().CloseQuestions[0].TrayAvailable);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(TWindowSettings().Value(TWindowSettings::CloseAnswer).isValid());
}
