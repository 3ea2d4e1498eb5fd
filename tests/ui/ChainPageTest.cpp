// The chain page: each chain's live state in the list and its colour, the
// commands on the selected chains from the list's context menu, "Stop All"
// turning into "Start All", "Test Chain", and what the chains report about
// their hops reaching the activity panel and the proxy list.
#include "platform/Clock.h"
#include "tests/support/Peers.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmChainTest.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QBrush>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace VelmoraTest;

namespace {

const QColor RunningColour(250, 208, 41);   // as a proxy with status "OK"
const QColor NotStartedColour(177, 99, 99); // as "TIME OUT"

QTreeWidgetItem *Row(TfrmMain &w, const QString &name) {
    QTreeWidget *list = w.frmeSocksChain()->lvChains();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(TfrmeSocksChain::colName) == name)
            return list->topLevelItem(i);
    return nullptr;
}

QString State(TfrmMain &w, const QString &name) {
    QTreeWidgetItem *row = Row(w, name);
    return row ? row->text(TfrmeSocksChain::colStatus) : QStringLiteral("(no row)");
}

// The row's background; invalid for the window's own.
QColor Background(TfrmMain &w, const QString &name) {
    const QVariant brush = Row(w, name)->data(0, Qt::BackgroundRole);
    return brush.isValid() ? brush.value<QBrush>().color() : QColor();
}

void Select(TfrmMain &w, const QStringList &names) {
    w.frmeSocksChain()->lvChains()->clearSelection();
    for (const QString &name : names)
        Row(w, name)->setSelected(true);
    w.UpdateActions();
}

// The context menu's entries, separators as empty texts.
QStringList MenuTexts(TfrmMain &w) {
    QStringList texts;
    for (const QAction *action : w.frmeSocksChain()->lvChains()->actions())
        texts << (action->isSeparator() ? QString() : action->text());
    return texts;
}

QAction *MenuAction(TfrmMain &w, const QString &text) {
    for (QAction *action : w.frmeSocksChain()->lvChains()->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// A window on the chain page once its services have started.
TfrmMain &OpenOnChainPage(TMainFixture &f) {
    TfrmMain &w = f.Open();
    w.show();
    w.actProxySocksChain->trigger();
    EXPECT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    return w;
}

} // namespace

TEST(ChainPage, StatesShowRunningStoppedAndNotStartedInTheirColours) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is not installed";
    TMicrosocksPeer hop;
    TEchoServer echo;
    TMainFixture f;
    const uint16_t live = FreeLoopbackPort();
    const uint16_t held = FreeLoopbackPort();
    const uint16_t idle = FreeLoopbackPort();
    TSocket other = TSocket::Listen(TSocket::Family::IPv4, held, 4); // another program's
    f.Seed([&](TdmProxyData &s) {
        const int32_t ok = AddProxy(s, hop.Port(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
        SeedChain(s, "Live", live, {ok});
        SeedChain(s, "Blocked", held, {ok});
        SeedChain(s, "Idle", idle, {ok});
    });
    TfrmMain &w = OpenOnChainPage(f);
    QTreeWidget *list = w.frmeSocksChain()->lvChains();
    EXPECT_FALSE(list->isColumnHidden(TfrmeSocksChain::colStatus));
    EXPECT_FALSE(list->isColumnHidden(TfrmeSocksChain::colLastChecked));
    Select(w, {"Idle"});
    MenuAction(w, "Stop")->trigger();

    EXPECT_EQ(State(w, "Live"), QStringLiteral("running"));
    EXPECT_EQ(Background(w, "Live"), RunningColour);
    EXPECT_EQ(State(w, "Blocked"),
              QString("not started: port %1 is in use by another program").arg(held));
    EXPECT_EQ(Background(w, "Blocked"), NotStartedColour);
    EXPECT_EQ(Row(w, "Blocked")->toolTip(TfrmeSocksChain::colStatus),
              QString("Not started: port %1 is in use by another program").arg(held));
    EXPECT_EQ(State(w, "Idle"), QStringLiteral("stopped"));
    EXPECT_FALSE(Background(w, "Idle").isValid());
    EXPECT_FALSE(Accepting(idle));

    // The connection count follows while the page is visible.
    EXPECT_TRUE(w.frmeSocksChain()->tmrStates()->isActive());
    const int client = Socks5Connect(live, echo.Port());
    ASSERT_GE(client, 0);
    EXPECT_TRUE(Pump([&] { return State(w, "Live") == "running (1 connection)"; }))
        << State(w, "Live").toStdString();
    ::close(client);
    EXPECT_TRUE(Pump([&] { return State(w, "Live") == "running"; }));
    w.actProxyMgr->trigger();
    EXPECT_FALSE(w.frmeSocksChain()->tmrStates()->isActive());
}

TEST(ChainPage, ContextMenuStartsStopsAndRestartsTheSelectedChains) {
    TMainFixture f;
    const uint16_t first = FreeLoopbackPort();
    const uint16_t second = FreeLoopbackPort();
    f.Seed([&](TdmProxyData &s) {
        const int32_t ok = AddProxy(s, 1, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
        SeedChain(s, "First", first, {ok});
        SeedChain(s, "Second", second, {ok});
    });
    TfrmMain &w = OpenOnChainPage(f);
    EXPECT_EQ(MenuTexts(w),
              QStringList({"Start", "Stop", "Restart", "Test Chain", "", "Edit SOCKS Chain",
                           "Delete SOCKS Chain", "", "Select All"}));
    QAction *start = MenuAction(w, "Start");
    QAction *stop = MenuAction(w, "Stop");
    QAction *restart = MenuAction(w, "Restart");
    Select(w, {});
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_FALSE(restart->isEnabled());

    Select(w, {"First"});
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    stop->trigger();
    EXPECT_FALSE(Accepting(first));
    EXPECT_TRUE(Accepting(second));
    EXPECT_EQ(State(w, "First"), QStringLiteral("stopped"));
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    start->trigger();
    EXPECT_TRUE(Accepting(first));
    EXPECT_EQ(State(w, "First"), QStringLiteral("running"));

    // Both at once; a chain whose port was taken meanwhile says why.
    Select(w, {"First", "Second"});
    stop->trigger();
    EXPECT_FALSE(Accepting(first));
    EXPECT_FALSE(Accepting(second));
    TSocket taken = TSocket::Listen(TSocket::Family::IPv4, second, 4);
    restart->trigger();
    EXPECT_TRUE(Accepting(first));
    EXPECT_EQ(State(w, "First"), QStringLiteral("running"));
    EXPECT_EQ(State(w, "Second"),
              QString("not started: port %1 is in use by another program").arg(second));
    EXPECT_TRUE(start->isEnabled()); // "Second" is not running
    taken.Close();
    start->trigger();
    EXPECT_TRUE(Accepting(second));
    EXPECT_EQ(State(w, "Second"), QStringLiteral("running"));
    EXPECT_TRUE(f.Prompts().Errors.isEmpty()) << f.Prompts().Errors.join('|').toStdString();
}

TEST(ChainPage, StopAllBecomesStartAllWhichStartsEveryChainAgain) {
    TMainFixture f;
    const uint16_t port = FreeLoopbackPort();
    SeedLiveChain(f, port);
    TfrmMain &w = OpenOnChainPage(f);
    w.UpdateActions();
    ASSERT_TRUE(Accepting(port));
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Stop All"));

    w.actStopAll->trigger();
    EXPECT_FALSE(Accepting(port));
    EXPECT_FALSE(f.Services().ChainMgr().AnyRunning());
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Start All"));
    EXPECT_EQ(State(w, "Live"), QStringLiteral("stopped"));
    // The chain without proxies never started, and keeps saying why.
    EXPECT_EQ(State(w, "Default"), QStringLiteral("not started: the chain has no proxies"));

    w.actStopAll->trigger();
    EXPECT_TRUE(Accepting(port));
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Stop All"));
    EXPECT_EQ(State(w, "Live"), QStringLiteral("running"));
    EXPECT_EQ(State(w, "Default"), QStringLiteral("not started: the chain has no proxies"));

    // The caption follows every change of state, however it came.
    w.actStopAll->trigger();
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Start All"));
    f.Services().ChainMgr().StartChain(f.Services().ChainMgr().States()[1].UID);
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Stop All"));
    EXPECT_EQ(State(w, "Live"), QStringLiteral("running"));
}

TEST(ChainPage, TestChainRunsOnlyOnARunningChainAndReportsTwice) {
    TMainFixture f;
    const uint16_t port = FreeLoopbackPort();
    SeedLiveChain(f, port);
    TfrmMain &w = OpenOnChainPage(f);
    QAction *test = w.frmeSocksChain()->actTestChain();

    Select(w, {"Default"}); // not started: it has no proxies
    ASSERT_TRUE(test->isEnabled());
    test->trigger();
    EXPECT_EQ(f.Prompts().Messages,
              QStringList({"Chain \"Default\" is not running: start it, then test it"}));
    EXPECT_EQ(w.frmeSocksChain()->TestedChain(), 0);
    PumpFor(100);
    EXPECT_EQ(w.frmChainTest(), nullptr);

    Select(w, {"Live"});
    test->trigger();
    ASSERT_TRUE(Pump([&] { return w.frmChainTest() && w.frmChainTest()->isVisible(); }))
        << f.Prompts().Messages.join('|').toStdString()
        << f.Prompts().Errors.join('|').toStdString() << f.ActivityLines().join('|').toStdString();
    EXPECT_EQ(w.frmeSocksChain()->TestedChain(), 0);
    EXPECT_TRUE(test->isEnabled());
    TfrmChainTest *dialog = w.frmChainTest();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Test Chain"));
    EXPECT_FALSE(dialog->isModal());
    const QStringList report = dialog->Lines();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(report.first().startsWith("Test of chain \"Live\""))
        << report.first().toStdString();
    const QStringList activity = f.ActivityLines();
    EXPECT_TRUE(activity.contains(QString("Testing chain \"Live\" on port %1...").arg(port)));
    for (const QString &line : report)
        EXPECT_TRUE(activity.contains(line)) << line.toStdString();
    EXPECT_EQ(f.Prompts().Messages.size(), 1);
    EXPECT_TRUE(Accepting(port)); // the test leaves the chain running
}

TEST(ChainPage, LastCheckedShowsWhenTheChainWasLastTested) {
    TMainFixture f;
    const QDateTime when(QDate(2026, 12, 1), QTime(10, 20, 30));
    f.Seed([&](TdmProxyData &s) {
        const int32_t uid = SeedChain(s, "Tested", FreeLoopbackPort(), {});
        s.LocateChainRecord(uid);
        TDataTable &c = s.cdsChainedProxies();
        c.Edit();
        c.FieldByName("LastChecked").SetAsDateTime(TClock::FromQDateTime(when));
        c.FieldByName("Status").SetAsInteger(static_cast<int>(TProxyStatus::psAvailable));
        c.Post();
    });
    TfrmMain &w = OpenOnChainPage(f);
    EXPECT_EQ(Row(w, "Tested")->text(TfrmeSocksChain::colLastChecked),
              QStringLiteral("01.12.2026 10:20:30"));
    EXPECT_EQ(Row(w, "Tested")->toolTip(TfrmeSocksChain::colLastChecked),
              QStringLiteral("Test Chain: OK"));
    EXPECT_EQ(Row(w, "Default")->text(TfrmeSocksChain::colLastChecked), QString());
}

// A rotating chain whose hand-added first hop is dead: each connection's
// block gets the line of the failed hop, and after three failures in a row
// the proxy list shows the proxy "TIME OUT" at once.
TEST(ChainPage, AFailedHopShowsInItsConnectionsBlockAndMarksTheProxy) {
    std::vector<TActivityCall> calls; // outlives the window, whose panel fills it
    TEchoServer echo;
    TMainFixture f;
    const uint16_t closed = FreeLoopbackPort();
    const uint16_t port = FreeLoopbackPort();
    int32_t dead = 0;
    f.Seed([&](TdmProxyData &s) {
        dead = AddProxy(s, closed, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
        AddProxy(s, 2, TProxyType::ptSOCKS5, TProxyStatus::psAvailable); // drawn behind it
        const int32_t uid = SeedChain(s, "Spin", port, {dead});
        s.LocateChainRecord(uid);
        TDataTable &c = s.cdsChainedProxies();
        c.Edit();
        c.FieldByName("AutoCreateChain").SetAsBoolean(true);
        c.FieldByName("NoOfProxies").SetAsInteger(2);
        c.Post();
    });
    TfrmMain &w = OpenOnChainPage(f);
    ASSERT_EQ(State(w, "Spin"), QStringLiteral("running"));
    EXPECT_EQ(w.lvProxyList()->FindRow(dead)->text(TProxyListItem::colStatus),
              QStringLiteral("OK"));

    w.frmeActivityPanel()->Queue()->SetSink([&](const std::vector<TActivityCall> &batch) {
        calls.insert(calls.end(), batch.begin(), batch.end());
    });
    for (int i = 0; i < 3; ++i)
        EXPECT_LT(Socks5Connect(port, echo.Port()), 0);

    const QString failedLine = QString(" ...Hop 1 (127.0.0.1:%1) failed: ").arg(closed);
    ASSERT_TRUE(Pump([&] {
        return std::count_if(calls.begin(), calls.end(), [&](const TActivityCall &c) {
                   return c.Text.startsWith(failedLine);
               }) == 3;
    }));
    for (const TActivityCall &call : calls) {
        if (!call.Text.startsWith(failedLine))
            continue;
        EXPECT_EQ(call.Kind, TActivityCall::TKind::WriteChainLog);
        // The block it belongs to was opened by the connection's request.
        EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const TActivityCall &c) {
            return c.Kind == TActivityCall::TKind::CreateChainLog && c.ContextID == call.ContextID;
        }));
    }
    ASSERT_TRUE(Pump([&] {
        return w.lvProxyList()->FindRow(dead)->text(TProxyListItem::colStatus) == "TIME OUT";
    }));
    TProxData stored;
    ASSERT_NE(f.Store().GetProxyRecord(dead, &stored), nullptr);
    EXPECT_EQ(stored.FStatus, TProxyStatus::psUnavailable);
}
