// The proxy table model and its sort/filter proxy against a real store: the
// rows follow inserts, changes and deletes one by one and bulk changes as one
// reset; a check's progress shows over the stored values and goes with the
// check; coalesced changes reach the views in a few ranges.
#include "ui/logic/ProxyTableModel.h"
#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/logic/ProxyFilterModel.h"
#include "ui/logic/TextContrast.h"

#include <QBrush>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

// What the model told its views.
struct TSignals {
    explicit TSignals(QAbstractItemModel &model) {
        QObject::connect(&model, &QAbstractItemModel::modelReset, [this] { ++Resets; });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                         [this](const QModelIndex &, int first, int last) {
                             Inserted.emplace_back(first, last);
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved,
                         [this](const QModelIndex &, int first, int last) {
                             Removed.emplace_back(first, last);
                         });
        QObject::connect(&model, &QAbstractItemModel::dataChanged,
                         [this](const QModelIndex &from, const QModelIndex &to) {
                             Changed.emplace_back(from.row(), to.row());
                         });
    }
    // Whether some told range covers the row.
    bool ChangedRow(int row) const {
        for (const auto &[first, last] : Changed)
            if (first <= row && row <= last)
                return true;
        return false;
    }
    int Resets = 0;
    std::vector<std::pair<int, int>> Inserted, Removed, Changed;
};

class ProxyTableModelTest : public testing::Test {
protected:
    ProxyTableModelTest() { Fixture.Store().LoadData(); }

    // Proxies 127.0.0.1:1 ... :n (every tenth "OK", the rest "TIME OUT"),
    // written in one go.
    void SeedMany(int n) {
        TdmProxyData &s = Fixture.Store();
        TdmProxyData::TBatch batch(s);
        for (int i = 1; i <= n; ++i)
            SeedProxy(s, static_cast<uint16_t>(i), TProxyType::ptSOCKS5,
                      i % 10 == 0 ? TProxyStatus::psAvailable : TProxyStatus::psUnavailable);
    }
    void SetStatus(int32_t uid, TProxyStatus status, double speed = 0) {
        TProxData rec;
        rec.FUID = uid;
        rec.FSpeed = speed;
        Fixture.Store().UpdateProxyStatus(rec, status);
    }

    TDataFixture Fixture{TDataFixture::TData::Sample};
    TProxyTableModel Model{TProxyListKind::plkMain};
};

} // namespace

TEST_F(ProxyTableModelTest, ShowsTheStoreWithTheListsTextsAndColours) {
    Model.Attach(Fixture.Store());
    ASSERT_EQ(Model.rowCount(), 4);
    EXPECT_EQ(Model.columnCount(), 5);
    EXPECT_EQ(Model.headerData(4, Qt::Horizontal).toString(), QStringLiteral("Speed"));
    EXPECT_EQ(Model.Text(0, TProxyTableModel::colIPHost), QStringLiteral("192.0.2.10"));
    EXPECT_EQ(Model.Text(0, TProxyTableModel::colPort), QStringLiteral("1080"));
    EXPECT_EQ(Model.Text(0, TProxyTableModel::colStatus), QStringLiteral("Not Checked"));
    EXPECT_EQ(Model.Text(3, TProxyTableModel::colType), QStringLiteral("SOCKS 5"));
    EXPECT_EQ(Model.Text(3, TProxyTableModel::colSpeed), SpeedToText(1234.0));
    EXPECT_EQ(Model.Text(0, TProxyTableModel::colSpeed), SpeedToText(0)); // a null speed
    EXPECT_EQ(Model.AddressPort(0), QStringLiteral("192.0.2.10:1080"));
    // The same texts the store's own records give.
    std::vector<std::unique_ptr<TProxData>> records;
    Fixture.Store().GetAllProxyRecords(records);
    for (int row = 0; row < 4; ++row) {
        const TProxData &r = *records[row];
        EXPECT_EQ(Model.UIDAt(row), r.FUID);
        EXPECT_EQ(Model.RowOf(r.FUID), row);
        EXPECT_EQ(Model.Text(row, TProxyTableModel::colIPHost), r.FIPAddress);
        EXPECT_EQ(Model.Text(row, TProxyTableModel::colStatus),
                  ProxyStatusText(static_cast<int>(r.FStatus)));
        EXPECT_EQ(Model.Text(row, TProxyTableModel::colType),
                  ProxyTypeText(static_cast<int>(r.FProxyType)));
    }
    EXPECT_EQ(Model.RowOf(99), -1);
    EXPECT_EQ(Model.data(Model.index(3, 0), Qt::BackgroundRole).value<QBrush>().color(),
              QColor(250, 208, 41));
    EXPECT_EQ(Model.RowColour(1), QColor(177, 99, 99));
    EXPECT_FALSE(Model.data(Model.index(0, 2), Qt::BackgroundRole).isValid());
    // A coloured row brings a text colour that reads on it; the others take the palette's.
    for (int row : {1, 3}) {
        const QColor text =
            Model.data(Model.index(row, 0), Qt::ForegroundRole).value<QBrush>().color();
        EXPECT_GE(TTextContrast::Ratio(text, Model.RowColour(row)), TTextContrast::Readable);
    }
    EXPECT_FALSE(Model.data(Model.index(0, 2), Qt::ForegroundRole).isValid());
    TProxyTableModel picker(TProxyListKind::plkPicker);
    picker.Attach(Fixture.Store());
    EXPECT_EQ(picker.RowColour(3), QColor(168, 255, 168));
    EXPECT_EQ(picker.RowColour(1), QColor(255, 170, 170));
    // Nothing editable, no tick boxes unless asked for.
    EXPECT_FALSE(Model.flags(Model.index(0, 0)) & Qt::ItemIsEditable);
    EXPECT_FALSE(Model.data(Model.index(0, 0), Qt::CheckStateRole).isValid());
    Model.Detach();
    EXPECT_EQ(Model.rowCount(), 0);
    Fixture.Store().AddProxy(QStringLiteral("198.51.100.1"), 80, TProxyType::ptHTTP);
    EXPECT_EQ(Model.rowCount(), 0); // no longer following
}

TEST_F(ProxyTableModelTest, FollowsInsertsChangesAndDeletesRowByRow) {
    Model.Attach(Fixture.Store());
    TSignals told(Model);
    TdmProxyData &s = Fixture.Store();
    s.AddProxy(QStringLiteral("198.51.100.1"), 80, TProxyType::ptHTTP);
    EXPECT_EQ(told.Inserted, (std::vector<std::pair<int, int>>{{4, 4}}));
    EXPECT_EQ(Model.Text(4, TProxyTableModel::colIPHost), QStringLiteral("198.51.100.1"));
    SetStatus(2, TProxyStatus::psAvailable, 2500);
    EXPECT_EQ(told.Changed, (std::vector<std::pair<int, int>>{{1, 1}}));
    EXPECT_EQ(Model.Text(1, TProxyTableModel::colStatus), QStringLiteral("OK"));
    EXPECT_EQ(Model.Text(1, TProxyTableModel::colSpeed), SpeedToText(2500));
    s.DeleteProxy(3);
    EXPECT_EQ(told.Removed, (std::vector<std::pair<int, int>>{{2, 2}}));
    ASSERT_EQ(Model.rowCount(), 4);
    EXPECT_EQ(Model.UIDAt(2), 4);
    EXPECT_EQ(told.Resets, 0);
    s.LoadData(); // a reload: one reset, rows read anew
    EXPECT_EQ(told.Resets, 1);
    EXPECT_EQ(Model.rowCount(), 4);
}

TEST_F(ProxyTableModelTest, BulkDeletesAreOneResetNotThousandsOfRemovals) {
    SeedMany(10000);
    Model.Attach(Fixture.Store());
    ASSERT_EQ(Model.rowCount(), 10004);
    TSignals told(Model);
    // 9000 seeded "TIME OUT" and the sample's two.
    EXPECT_EQ(Fixture.Store().DeleteProxiesWithStatus(TProxyStatus::psUnavailable), 9002);
    EXPECT_EQ(told.Resets, 1);
    EXPECT_TRUE(told.Removed.empty());
    ASSERT_EQ(Model.rowCount(), 1002);
    for (int row = 0; row < Model.rowCount(); ++row)
        EXPECT_NE(Model.Text(row, TProxyTableModel::colStatus), QStringLiteral("TIME OUT"));

    // Row-by-row deletes inside a bulk change: also one reset, no rows
    // meanwhile.
    {
        TProxyTableModel::TBulkChange bulk(Model);
        EXPECT_EQ(Model.rowCount(), 0);
        Fixture.Store().BeginBatch();
        for (int32_t uid = 14; uid <= 5004; uid += 10) // "OK" ones: still there
            Fixture.Store().DeleteProxy(uid);
        Fixture.Store().EndBatch();
    }
    EXPECT_EQ(told.Resets, 2);
    EXPECT_TRUE(told.Removed.empty());
    EXPECT_EQ(Model.rowCount(), 1002 - 500);
}

TEST_F(ProxyTableModelTest, ProgressShowsOverTheStoreUntilClearedAndChangesWaitForFlush) {
    Model.Attach(Fixture.Store());
    TSignals told(Model);
    Model.BeginCoalescing();
    for (int32_t uid : {1, 2, 4})
        Model.SetProgress(uid, QStringLiteral("Testing"));
    EXPECT_TRUE(told.Changed.empty());
    EXPECT_EQ(Model.Text(3, TProxyTableModel::colStatus), QStringLiteral("Testing"));
    EXPECT_EQ(Model.Text(3, TProxyTableModel::colSpeed), QStringLiteral("0.00"));
    EXPECT_FALSE(Model.RowColour(3).isValid());
    EXPECT_EQ(Model.Text(2, TProxyTableModel::colStatus), QStringLiteral("TIME OUT"));
    // A result: the store has it, the row shows it once its progress ends.
    SetStatus(2, TProxyStatus::psAvailable, 300);
    EXPECT_EQ(Model.Text(1, TProxyTableModel::colStatus), QStringLiteral("Testing"));
    Model.ClearProgress(2);
    EXPECT_EQ(Model.Text(1, TProxyTableModel::colStatus), QStringLiteral("OK"));
    EXPECT_TRUE(told.Changed.empty());
    Model.Flush();
    EXPECT_FALSE(told.Changed.empty());
    for (int row : {0, 1, 3})
        EXPECT_TRUE(told.ChangedRow(row)) << row;
    EXPECT_EQ(Model.PendingChanges(), 0u);

    // A proxy deleted during the check goes at once; its result never shows.
    Fixture.Store().DeleteProxy(1);
    EXPECT_EQ(told.Removed.size(), 1u);
    EXPECT_FALSE(Model.HasProgress(1));
    Model.ClearProgress(1);
    // The check stopped: rows not reached show their stored status again.
    told.Changed.clear();
    Model.ClearAllProgress();
    EXPECT_TRUE(told.Changed.empty()); // still coalescing
    Model.EndCoalescing();
    EXPECT_TRUE(told.ChangedRow(Model.RowOf(4)));
    EXPECT_EQ(Model.Text(Model.RowOf(4), TProxyTableModel::colStatus), QStringLiteral("OK"));
    EXPECT_EQ(Model.Text(Model.RowOf(4), TProxyTableModel::colSpeed), SpeedToText(1234));
    EXPECT_EQ(Model.RowColour(Model.RowOf(4)), QColor(250, 208, 41));
    // Not coalescing: each change is told at once.
    told.Changed.clear();
    SetStatus(3, TProxyStatus::psUnknown);
    EXPECT_EQ(told.Changed, (std::vector<std::pair<int, int>>{{Model.RowOf(3), Model.RowOf(3)}}));
}

TEST_F(ProxyTableModelTest, ThousandsOfResultsReachTheViewsInAFewRanges) {
    SeedMany(20000);
    Model.Attach(Fixture.Store());
    TSignals told(Model);
    TdmProxyData::TBatch batch(Fixture.Store()); // results without a save each, as a check batch
    Model.BeginCoalescing();
    // The whole batch starts: one range for all.
    for (int row = 0; row < Model.rowCount(); ++row)
        Model.SetProgress(Model.UIDAt(row), QStringLiteral("Testing"));
    Model.Flush();
    EXPECT_EQ(told.Changed, (std::vector<std::pair<int, int>>{{0, Model.rowCount() - 1}}));
    // A group of 400 results spread over the list: never more ranges than
    // rows, and every changed row in one.
    told.Changed.clear();
    std::vector<int> rows;
    for (int row = 5; row < Model.rowCount(); row += 50) {
        rows.push_back(row);
        SetStatus(Model.UIDAt(row), TProxyStatus::psAvailable, 100);
        Model.ClearProgress(Model.UIDAt(row));
    }
    Model.Flush();
    EXPECT_LE(told.Changed.size(), rows.size());
    EXPECT_GE(told.Changed.size(), 1u);
    for (int row : rows)
        EXPECT_TRUE(told.ChangedRow(row)) << row;
    // Rows 8 apart share a range.
    told.Changed.clear();
    for (int row = 1000; row < 1100; row += 8)
        SetStatus(Model.UIDAt(row), TProxyStatus::psUnknown);
    Model.Flush();
    EXPECT_EQ(told.Changed, (std::vector<std::pair<int, int>>{{1000, 1096}}));
    Model.EndCoalescing();
}

TEST_F(ProxyTableModelTest, SortsByAnyColumnAndFiltersByAddressAndStatus) {
    TdmProxyData &s = Fixture.Store();
    const int32_t p80 = SeedProxy(s, 80, TProxyType::ptHTTP, TProxyStatus::psAvailable,
                                  QStringLiteral("Mixed.Case.example"), 90);
    const int32_t p443 = SeedProxy(s, 443, TProxyType::ptHTTP, TProxyStatus::psAvailable,
                                   QStringLiteral("203.0.113.9"), 10500);
    Model.Attach(s);
    TProxyFilterModel view(Model);
    auto uids = [&] {
        std::vector<int32_t> out;
        for (int row = 0; row < view.rowCount(); ++row)
            out.push_back(Model.UIDAt(view.mapToSource(view.index(row, 0)).row()));
        return out;
    };
    EXPECT_EQ(uids(), std::vector<int32_t>({1, 2, 3, 4, p80, p443})); // the store's order
    // Ports as numbers: 80 < 443 < 1080 (as texts "1080" would come first).
    view.sort(TProxyTableModel::colPort);
    EXPECT_EQ(uids()[0], p80);
    EXPECT_EQ(uids()[1], p443);
    // Speeds as numbers: 10500 ms above 1234 ms and 90 ms.
    view.sort(TProxyTableModel::colSpeed, Qt::DescendingOrder);
    EXPECT_EQ(uids()[0], p443);
    EXPECT_EQ(uids()[1], 4);
    view.sort(TProxyTableModel::colIPHost);
    EXPECT_EQ(uids().back(), 2); // "proxy-node-..." after "Mixed..." without regard to case
    view.sort(-1);
    EXPECT_EQ(uids(), std::vector<int32_t>({1, 2, 3, 4, p80, p443}));

    view.SetAddressFilter(QStringLiteral("mixed.CASE"));
    EXPECT_EQ(uids(), std::vector<int32_t>({p80}));
    view.SetAddressFilter(QString());
    view.SetStatusFilter(QStringLiteral("TIME OUT"));
    EXPECT_EQ(uids(), std::vector<int32_t>({2, 3}));
    view.SetStatusFilter(QStringLiteral("Not Checked"));
    EXPECT_EQ(uids(), std::vector<int32_t>({1}));
    // A check's progress counts as a status; rows move in and out as the
    // views are told.
    view.SetStatusFilter(QStringLiteral("Testing"));
    EXPECT_TRUE(uids().empty());
    Model.SetProgress(3, QStringLiteral("Testing"));
    EXPECT_EQ(uids(), std::vector<int32_t>({3}));
    Model.BeginCoalescing();
    Model.ClearProgress(3);
    EXPECT_EQ(uids(), std::vector<int32_t>({3})); // not told yet
    Model.EndCoalescing();
    EXPECT_TRUE(uids().empty());
    view.SetStatusFilter(TProxyFilterModel::AllStatuses);
    EXPECT_EQ(view.rowCount(), 6);
    EXPECT_EQ(TProxyFilterModel::StatusChoices(),
              QStringList({"All", "OK", "TIME OUT", "Not Checked", "Testing"}));
    // A sorted view keeps its order through a change told later.
    view.sort(TProxyTableModel::colSpeed, Qt::DescendingOrder);
    SetStatus(1, TProxyStatus::psAvailable, 99999);
    EXPECT_EQ(uids().front(), 1);
}

// A whole batch's "Testing" (and its end) changes every row at once: a
// filter or sort that depends on the status looks at the rows again, any
// other view only repaints, and no view is told of each row.
TEST_F(ProxyTableModelTest, ABatchOverEveryRowRepaintsOrRefiltersButNeverTellsEachRow) {
    SeedMany(2000);
    Model.Attach(Fixture.Store());
    TProxyFilterModel view(Model);
    TSignals told(view);
    int repaints = 0;
    view.FOnRepaint = [&] { ++repaints; };
    std::vector<int32_t> all;
    for (int row = 0; row < Model.rowCount(); ++row)
        all.push_back(Model.UIDAt(row));

    Model.BeginCoalescing();
    Model.SetProgress(all, QStringLiteral("Testing"));
    EXPECT_EQ(repaints, 0); // waits for the flush
    Model.Flush();
    EXPECT_EQ(repaints, 1);
    EXPECT_TRUE(told.Changed.empty());
    EXPECT_EQ(view.data(view.index(5, TProxyTableModel::colStatus)).toString(), "Testing");

    // With a status filter the rows are filtered anew.
    view.SetStatusFilter(QStringLiteral("TIME OUT"));
    EXPECT_EQ(view.rowCount(), 0);
    Model.ClearAllProgress();
    Model.Flush();
    EXPECT_EQ(view.rowCount(), 1800 + 4 - 2); // the sample's two "TIME OUT" rows among them
    view.SetStatusFilter(TProxyFilterModel::AllStatuses);

    // Sorted by status: the order is made anew, the rows under test together.
    view.sort(TProxyTableModel::colStatus);
    std::vector<int32_t> half;
    for (size_t i = 0; i < all.size(); i += 2)
        half.push_back(all[i]);
    Model.SetProgress(half, QStringLiteral("Testing"));
    Model.Flush();
    int blocks = 0;
    bool inBlock = false;
    for (int row = 0; row < view.rowCount(); ++row) {
        const bool testing =
            view.data(view.index(row, TProxyTableModel::colStatus)).toString() == "Testing";
        blocks += testing && !inBlock;
        inBlock = testing;
    }
    EXPECT_EQ(blocks, 1);
    Model.EndCoalescing();
}

TEST_F(ProxyTableModelTest, TicksAreKeptByUID) {
    Model.Attach(Fixture.Store());
    std::vector<std::pair<int32_t, bool>> told;
    Model.FOnTickChanged = [&](int32_t uid, bool on) { told.emplace_back(uid, on); };
    Model.SetTicked(2, true); // no tick boxes: nothing
    EXPECT_TRUE(Model.TickedUIDs().empty());
    Model.SetTickBoxes(true);
    EXPECT_TRUE(Model.flags(Model.index(0, 0)) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(Model.flags(Model.index(0, 1)) & Qt::ItemIsUserCheckable);
    Model.SetTicked(4, true);
    ASSERT_TRUE(Model.setData(Model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(Model.TickedUIDs(), std::vector<int32_t>({2, 4}));
    EXPECT_EQ(Model.data(Model.index(1, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_EQ(told, (std::vector<std::pair<int32_t, bool>>{{4, true}, {2, true}}));
    // Deleting the row above moves the tick with its proxy.
    Fixture.Store().DeleteProxy(1);
    EXPECT_EQ(Model.data(Model.index(0, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
    Fixture.Store().DeleteProxy(2);
    EXPECT_EQ(Model.TickedUIDs(), std::vector<int32_t>({4}));
    Model.ClearTicks();
    EXPECT_TRUE(Model.TickedUIDs().empty());
}
