// The check commands of the main window against real peers on loopback:
// microsocks as a working proxy, a closed port as a dead one, and a test page
// of our own.
#include "platform/WorkerThread.h"
#include "tests/support/CheckTestSupport.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"

#include <QAction>
#include <QBrush>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <optional>

using namespace VelmoraTest;

namespace {

class CheckCommands : public testing::Test {
protected:
    void SetUp() override {
        if (!TMicrosocksPeer::Available())
            GTEST_SKIP() << "microsocks is not installed";
        Hop = std::make_unique<TMicrosocksPeer>();
        Page = std::make_unique<TEchoPage>();
        Override = std::make_unique<TCheckURLOverride>(Page->URL());
        const uint16_t dead = FreeLoopbackPort();
        Fixture.Seed([&](TdmProxyData &s) {
            s.SetTimeout(5);
            Good = AddProxy(s, Hop->Port(), TProxyType::ptSOCKS5, TProxyStatus::psUnknown);
            Dead = AddProxy(s, dead, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
            Detected = AddProxy(s, Hop->Port(), TProxyType::ptUnknown, TProxyStatus::psUnknown);
        });
        Fixture.Open();
    }

    std::optional<TProxyListItem> Row(int32_t uid) {
        return Fixture.Window().lvProxyList()->FindRow(uid);
    }
    bool Done() { return Fixture.Prompts().Messages.contains(QStringLiteral("Check done")); }

    std::unique_ptr<TMicrosocksPeer> Hop;
    std::unique_ptr<TEchoPage> Page;
    std::unique_ptr<TCheckURLOverride> Override;
    TMainFixture Fixture{TMainFixture::TData::Missing};
    int32_t Good = 0, Dead = 0, Detected = 0;
};

} // namespace

TEST_F(CheckCommands, TestProxyChecksTheSelectedRowsAndUpdatesThem) {
    TfrmMain &w = Fixture.Window();
    Row(Good)->setSelected(true);
    Row(Dead)->setSelected(true);
    w.actTestProxy->trigger();
    // At once: the progress text, "0.00" and "Checking...", no colours.
    EXPECT_EQ(w.StatusText(), QStringLiteral("Checking..."));
    for (int32_t uid : {Good, Dead}) {
        EXPECT_EQ(Row(uid)->text(TProxyListItem::colStatus), QStringLiteral("Testing"));
        EXPECT_EQ(Row(uid)->text(TProxyListItem::colSpeed), QStringLiteral("0.00"));
        EXPECT_FALSE(Row(uid)->data(0, Qt::BackgroundRole).isValid());
    }
    EXPECT_EQ(Row(Detected)->text(TProxyListItem::colStatus), QStringLiteral("Not Checked"));

    ASSERT_TRUE(Pump([&] { return Done(); }, 30000));
    EXPECT_EQ(Fixture.Prompts().Messages.count(QStringLiteral("Check done")), 1);
    EXPECT_TRUE(w.StatusText().isEmpty());
    EXPECT_EQ(Row(Good)->text(TProxyListItem::colStatus), QStringLiteral("OK"));
    EXPECT_NE(Row(Good)->text(TProxyListItem::colSpeed), QStringLiteral("0.00"));
    EXPECT_EQ(Row(Good)->data(0, Qt::BackgroundRole).value<QBrush>().color(), QColor(250, 208, 41));
    EXPECT_EQ(Row(Dead)->text(TProxyListItem::colStatus), QStringLiteral("TIME OUT"));
    EXPECT_EQ(Row(Dead)->data(0, Qt::BackgroundRole).value<QBrush>().color(), QColor(177, 99, 99));
    // The store has the results too.
    TdmProxyData reread(Fixture.Folder());
    reread.LoadData();
    TProxData rec;
    ASSERT_NE(reread.GetProxyRecord(Dead, &rec), nullptr);
    EXPECT_EQ(rec.FStatus, TProxyStatus::psUnavailable);
    ASSERT_NE(reread.GetProxyRecord(Good, &rec), nullptr);
    EXPECT_EQ(rec.FStatus, TProxyStatus::psAvailable);
}

TEST_F(CheckCommands, TestAllDetectsUnknownTypesAndShowsThem) {
    TfrmMain &w = Fixture.Window();
    w.UpdateActions();
    ASSERT_TRUE(w.actTestAll->isEnabled());
    w.actTestAll->trigger();
    for (int i = 0; i < w.lvProxyList()->RowCount(); ++i)
        EXPECT_EQ(w.lvProxyList()->Row(i).text(TProxyListItem::colSpeed), QStringLiteral("0.00"));
    ASSERT_TRUE(Pump([&] { return Done(); }, 60000));
    EXPECT_EQ(Row(Detected)->text(TProxyListItem::colType), QStringLiteral("SOCKS 5"));
    EXPECT_EQ(Row(Detected)->text(TProxyListItem::colStatus), QStringLiteral("OK"));
    EXPECT_TRUE(w.StatusText().isEmpty());
}

TEST_F(CheckCommands, ProxyDeletedDuringItsCheckLeavesTheList) {
    TfrmMain &w = Fixture.Window();
    Page->DelayMs = 300;
    Row(Good)->setSelected(true);
    w.actCheck->trigger(); // not yet: the rules have not run since the selection
    EXPECT_EQ(Row(Good)->text(TProxyListItem::colStatus), QStringLiteral("Not Checked"));
    w.UpdateActions();
    w.actCheck->trigger();
    ASSERT_EQ(Row(Good)->text(TProxyListItem::colStatus), QStringLiteral("Testing"));
    Fixture.Store().DeleteProxy(Good); // the list follows the store at once
    EXPECT_FALSE(Row(Good).has_value());
    EXPECT_EQ(w.lvProxyList()->RowCount(), 2);
    ASSERT_TRUE(Pump([&] { return Done(); }, 30000));
    EXPECT_FALSE(Row(Good).has_value());
    EXPECT_EQ(w.lvProxyList()->RowCount(), 2);
    EXPECT_TRUE(Fixture.Prompts().Errors.isEmpty());
}

TEST_F(CheckCommands, OneBatchAtATimeWithItsCountsInTheStatusBar) {
    TfrmMain &w = Fixture.Window();
    Page->DelayMs = 200;
    w.UpdateActions();
    EXPECT_FALSE(w.actStopChecking->isEnabled());
    w.actTestAll->trigger();
    EXPECT_TRUE(w.Checking());
    w.UpdateActions();
    EXPECT_TRUE(w.actStopChecking->isEnabled());
    EXPECT_FALSE(w.actTestAll->isEnabled());
    EXPECT_FALSE(w.actTestProxy->isEnabled());
    // Started another way all the same: said, and nothing started.
    Row(Good)->setSelected(true);
    w.actTestProxy->setEnabled(true);
    w.actTestProxy->trigger();
    EXPECT_EQ(Fixture.Prompts().Messages,
              QStringList({QStringLiteral("A check is running. Wait for its end or press "
                                          "\"Stop Checking\".")}));

    // Each group of results sets the counts; the end clears them.
    QStringList seen;
    ASSERT_TRUE(Pump(
        [&] {
            if (!seen.contains(w.StatusText()))
                seen << w.StatusText();
            return Done();
        },
        30000));
    // The closed port fails at once, long before the others answer.
    const QRegularExpression counts(QStringLiteral("^Checked ([1-3]) of 3 \\(([0-2]) OK\\)$"));
    int groups = 0;
    for (const QString &text : seen) {
        if (text.isEmpty() || text == QStringLiteral("Checking..."))
            continue;
        const auto m = counts.match(text);
        EXPECT_TRUE(m.hasMatch()) << text.toStdString();
        EXPECT_LE(m.captured(2).toInt(), m.captured(1).toInt()) << text.toStdString();
        ++groups;
    }
    EXPECT_GE(groups, 1) << seen.join('|').toStdString();
    EXPECT_TRUE(w.StatusText().isEmpty());
    EXPECT_FALSE(w.Checking());
    w.UpdateActions();
    EXPECT_FALSE(w.actStopChecking->isEnabled());
    EXPECT_TRUE(w.actTestAll->isEnabled());
}

TEST_F(CheckCommands, StopCheckingEndsTheBatchAndRowsNotReachedShowTheirStatus) {
    TfrmMain &w = Fixture.Window();
    Page->DelayMs = 1000;
    w.UpdateActions();
    w.actTestAll->trigger();
    ASSERT_EQ(Row(Dead)->text(TProxyListItem::colStatus), QStringLiteral("Testing"));
    w.UpdateActions();
    w.actStopChecking->trigger();
    ASSERT_TRUE(Pump([&] { return Done(); }, 30000));
    EXPECT_EQ(Fixture.Prompts().Messages.count(QStringLiteral("Check done")), 1);
    // No result was taken after the stop: every row shows what the store had.
    EXPECT_EQ(Row(Good)->text(TProxyListItem::colStatus), QStringLiteral("Not Checked"));
    EXPECT_EQ(Row(Dead)->text(TProxyListItem::colStatus), QStringLiteral("OK"));
    EXPECT_EQ(Row(Dead)->data(0, Qt::BackgroundRole).value<QBrush>().color(), QColor(250, 208, 41));
    EXPECT_NE(Row(Dead)->text(TProxyListItem::colSpeed), QStringLiteral("0.00"));
    EXPECT_TRUE(w.StatusText().isEmpty());
    w.UpdateActions();
    EXPECT_FALSE(w.actStopChecking->isEnabled());
    EXPECT_TRUE(w.actTestAll->isEnabled());
}

TEST_F(CheckCommands, ClosingTheWindowDuringACheckShowsNoLateResults) {
    TfrmMain &w = Fixture.Window();
    Page->DelayMs = 400;
    Row(Good)->setSelected(true);
    w.actTestProxy->trigger();
    EXPECT_TRUE(w.close());
    // The store still takes the result.
    TProxData rec;
    ASSERT_TRUE(Pump(
        [&] {
            return Fixture.Store().GetProxyRecord(Good, &rec) &&
                   rec.FStatus == TProxyStatus::psAvailable;
        },
        20000));
    PumpFor(50);
    EXPECT_FALSE(Done());
    EXPECT_EQ(Row(Good)->text(TProxyListItem::colStatus), QStringLiteral("Testing"));
}
