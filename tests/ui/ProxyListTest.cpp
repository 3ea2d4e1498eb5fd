// The picker frame and the row operations of the proxy lists.
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/frmeProxyList.h"

#include <QBrush>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

class ProxyPicker : public testing::Test {
protected:
    ProxyPicker() {
        Fixture.Store().LoadData();
        Picker = std::make_unique<TfrmeProxyList>(Fixture.Store());
        Picker->lvProxies()->SetCheckboxes(true);
        Picker->Load();
    }
    TMainFixture Fixture{TMainFixture::TData::Sample};
    std::unique_ptr<TfrmeProxyList> Picker;
};

std::vector<int32_t> UIDs(const std::vector<TProxData *> &records) {
    std::vector<int32_t> uids;
    for (const TProxData *r : records)
        uids.push_back(r->FUID);
    return uids;
}

} // namespace

TEST_F(ProxyPicker, TickedRowsTopToBottomAndClearedAfterwards) {
    TProxyListView *list = Picker->lvProxies();
    ASSERT_EQ(list->RowCount(), 4);
    list->SetChecked(list->Row(3), true);
    list->SetChecked(list->Row(1), true);
    // Ticking selects the row.
    EXPECT_TRUE(list->Row(3).isSelected());
    EXPECT_FALSE(list->Row(0).isSelected());
    EXPECT_EQ(UIDs(Picker->GetSelected(false)), std::vector<int32_t>({2, 4}));
    EXPECT_EQ(UIDs(Picker->GetSelected(true)), std::vector<int32_t>({2, 4}));
    EXPECT_TRUE(list->CheckedRows().empty());
    EXPECT_TRUE(Picker->GetSelected(true).empty());
    // Unticking deselects.
    list->SetChecked(list->Row(0), true);
    list->SetChecked(list->Row(0), false);
    EXPECT_FALSE(list->Row(0).isSelected());
}

TEST_F(ProxyPicker, ReloadUnticksAndPickerColours) {
    TProxyListView *list = Picker->lvProxies();
    list->SetChecked(list->Row(0), true);
    Picker->Load();
    EXPECT_TRUE(list->CheckedRows().empty());
    EXPECT_TRUE(list->SelectedRows().empty());
    EXPECT_EQ(list->Row(3).data(0, Qt::BackgroundRole).value<QBrush>().color(),
              QColor(168, 255, 168));
    EXPECT_EQ(list->Row(1).data(0, Qt::BackgroundRole).value<QBrush>().color(),
              QColor(255, 170, 170));
}

TEST_F(ProxyPicker, WithoutTickBoxesTheFirstSelectedRow) {
    TProxyListView *list = Picker->lvProxies();
    list->SetCheckboxes(false);
    EXPECT_TRUE(Picker->GetSelected(false).empty());
    list->Row(2).setSelected(true);
    list->Row(1).setSelected(true);
    EXPECT_EQ(UIDs(Picker->GetSelected(false)), std::vector<int32_t>({2}));
}

TEST_F(ProxyPicker, RowsFollowTheStoreWithoutARefill) {
    TProxyListView *list = Picker->lvProxies();
    list->SetChecked(list->Row(2), true);
    TProxData data;
    data.FUID = 1;
    data.FSpeed = 1500;
    Fixture.Store().UpdateProxyStatus(data, TProxyStatus::psAvailable);
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colStatus), QStringLiteral("OK"));
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colSpeed), SpeedToText(1500));
    EXPECT_EQ(list->Row(0).data(0, Qt::BackgroundRole).value<QBrush>().color(),
              QColor(168, 255, 168));
    // A new proxy comes last, a deleted one goes; the ticks stay with their proxies.
    Fixture.Store().AddProxy(QStringLiteral("203.0.113.5"), 3128, TProxyType::ptHTTP);
    ASSERT_EQ(list->RowCount(), 5);
    EXPECT_EQ(list->Row(4).text(TProxyListItem::colIPHost), QStringLiteral("203.0.113.5"));
    EXPECT_EQ(list->Row(4).text(TProxyListItem::colType), QStringLiteral("HTTP"));
    Fixture.Store().DeleteProxy(2);
    ASSERT_EQ(list->RowCount(), 4);
    EXPECT_EQ(UIDs(Picker->GetSelected(false)), std::vector<int32_t>({3}));
    EXPECT_EQ(list->Row(1).checkState(), Qt::Checked);
    // A proxy with no row changes nothing.
    data.FUID = 77;
    list->UpdateRow(data);
    for (int i = 0; i < list->RowCount(); ++i)
        EXPECT_NE(list->Row(i).UID(), 77);
}

TEST_F(ProxyPicker, TickingThroughTheModelSelectsTheRow) {
    TProxyListView *list = Picker->lvProxies();
    const QModelIndex box = list->model()->index(2, 0);
    EXPECT_TRUE(list->model()->flags(box) & Qt::ItemIsUserCheckable);
    ASSERT_TRUE(list->model()->setData(box, Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(box.data(Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_TRUE(list->Row(2).isSelected());
    EXPECT_EQ(list->CheckedUIDs(), std::vector<int32_t>({3}));
}
