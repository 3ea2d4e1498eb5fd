// The in-memory table: key order, cursor, edit buffer, filter and hooks.
#include "store/DataTable.h"
#include "platform/Error.h"
#include "store/Win1252.h"
#include "tests/store/ItemSchema.h"

#include <gtest/gtest.h>

namespace {

class DataTableTest : public testing::Test {
protected:
    void Add(int group, const char *name) {
        T.Append();
        T.SetValue(0, int64_t(group));
        T.FieldByName("Name").SetAsString(QString::fromUtf8(name));
        T.Post();
    }
    int64_t Uid() { return T.Fields(2).AsInteger(); }
    std::vector<int> Uids() {
        std::vector<int> out;
        for (T.First(); !T.Eof(); T.Next())
            out.push_back(T.Fields(2).AsInteger());
        return out;
    }
    TDataTable T{ItemSchema()};
};

TEST_F(DataTableTest, RowsKeepIndexOrderAndGetIncreasingKeys) {
    Add(2, "a"); // UID 1
    Add(1, "b"); // UID 2
    Add(2, "c"); // UID 3
    Add(1, "d"); // UID 4
    EXPECT_EQ(Uids(), (std::vector<int>{2, 4, 1, 3}));
    EXPECT_EQ(T.AutoIncValue(), 5);
    EXPECT_EQ(T.RecordCount(), 4);
    ASSERT_NE(T.FindUID(3), nullptr);
    EXPECT_EQ(T.FindUID(99), nullptr);
}

TEST_F(DataTableTest, CursorEofBofAndDeleteMovesToTheNextRow) {
    for (int i = 0; i < 3; ++i)
        Add(1, "x");
    T.First();
    EXPECT_TRUE(T.Bof());
    EXPECT_FALSE(T.Eof());
    T.Next();
    T.Next();
    EXPECT_EQ(Uid(), 3);
    T.Next();
    EXPECT_TRUE(T.Eof());
    EXPECT_EQ(Uid(), 3); // stays on the last row

    ASSERT_TRUE(T.LocateUID(2));
    T.Delete();
    EXPECT_EQ(Uid(), 3);
    EXPECT_FALSE(T.Eof());
    T.Delete(); // the last row: back to the one before, at the end
    EXPECT_EQ(Uid(), 1);
    EXPECT_TRUE(T.Eof());
    T.Delete();
    EXPECT_TRUE(T.IsEmpty());
    EXPECT_TRUE(T.Fields(1).IsNull());
    EXPECT_THROW(T.Delete(), EVelmoraError);
}

TEST_F(DataTableTest, EditPostAndCancel) {
    Add(1, "one");
    Add(1, "two");
    ASSERT_TRUE(T.LocateUID(1));
    T.Edit();
    T.FieldByName("Name").SetAsString(QStringLiteral("uno"));
    EXPECT_EQ(T.FieldByName("Name").AsString(), QStringLiteral("uno"));
    T.Cancel();
    EXPECT_EQ(T.FieldByName("Name").AsString(), QStringLiteral("one"));

    // Changing a key field moves the row into its new place.
    T.Edit();
    T.SetValue(0, int64_t(5));
    T.Post();
    EXPECT_EQ(Uid(), 1);
    EXPECT_EQ(Uids(), (std::vector<int>{2, 1}));

    // An append cancelled leaves no row and hands out no key.
    T.Append();
    T.SetValue(0, int64_t(1));
    T.Cancel();
    EXPECT_EQ(T.RecordCount(), 2);
    EXPECT_EQ(T.AutoIncValue(), 3);

    // Moving posts a pending edit.
    T.LocateUID(2);
    T.Edit();
    T.FieldByName("Name").SetAsString(QStringLiteral("zwei"));
    T.First();
    T.LocateUID(2);
    EXPECT_EQ(T.FieldByName("Name").AsString(), QStringLiteral("zwei"));
}

TEST_F(DataTableTest, WritesNeedEditStateAndKeysAreReadOnly) {
    Add(1, "x");
    EXPECT_THROW(T.SetValue(0, int64_t(3)), EVelmoraError);
    T.Edit();
    EXPECT_THROW(T.FieldByName("UID").SetAsInteger(9), EVelmoraError);
    EXPECT_THROW(T.FieldByName("Twice").SetAsInteger(9), EVelmoraError);
    EXPECT_THROW(T.SetValue(0, QByteArray("text")), EVelmoraError);
    EXPECT_THROW(T.FieldByName("Nope"), EVelmoraError);
    T.Cancel();
    // Edit on an empty table appends.
    TDataTable empty{ItemSchema()};
    empty.Edit();
    EXPECT_EQ(empty.State(), TDataTable::TState::dsInsert);
}

TEST_F(DataTableTest, TextIsStoredAsWindows1252CutToTheWidthInBytes) {
    Add(1, "€uro-zone");
    T.First();
    EXPECT_EQ(T.FieldByName("Name").AsBytes(), QByteArray("\x80uro-", 5));
    EXPECT_EQ(T.FieldByName("Name").AsString(), QString::fromUtf8("€uro-"));
}

TEST_F(DataTableTest, FilterLimitsNavigationCountsAndLocate) {
    Add(1, "a"); // 1
    Add(2, "b"); // 2
    Add(1, "c"); // 3
    Add(2, "d"); // 4
    T.SetFilter(QStringLiteral("Group=2"));
    EXPECT_EQ(T.RecordCount(), 4); // not yet switched on
    T.SetFiltered(true);
    EXPECT_EQ(T.RecordCount(), 2);
    EXPECT_EQ(Uids(), (std::vector<int>{2, 4}));
    EXPECT_FALSE(T.LocateUID(3));
    EXPECT_TRUE(T.LocateUID(4));
    EXPECT_EQ(T.RecNo(), 2);

    // A row posted outside the filter disappears from view; the cursor
    // settles on a visible row.
    T.Append();
    T.SetValue(0, int64_t(1));
    T.Post();
    EXPECT_EQ(T.RecordCount(), 2);
    EXPECT_EQ(T.CurrentRow()->Values[0], TFieldValue(int64_t(2)));

    T.SetFiltered(false);
    EXPECT_EQ(T.RecordCount(), 5);
    EXPECT_EQ(T.Filter(), QStringLiteral("Group=2"));
    EXPECT_THROW(T.SetFilter(QStringLiteral("Group>2")), EVelmoraError);
    EXPECT_THROW(T.SetFilter(QStringLiteral("Nope=2")), EVelmoraError);
}

TEST_F(DataTableTest, HooksRunWhenAssigned) {
    int newRows = 0, scrolls = 0, changes = 0;
    T.FOnNewRecord = [&](TDataTable &t) {
        ++newRows;
        t.SetValue(0, int64_t(7)); // a default filled before the caller's values
    };
    T.FAfterScroll = [&](TDataTable &) { ++scrolls; };
    T.FOnChange = [&](TDataTable &, TDataTable::TChange, const TDataTable::TRow *) { ++changes; };
    T.SetCalcHook(3, [](const TDataTable::TRow &row) -> TFieldValue {
        return int64_t(2 * std::get<int64_t>(row.Values[2]));
    });
    T.SetGetTextHook(0, [](const TFieldValue &v, QString &text) {
        text = QStringLiteral("G%1").arg(std::get<int64_t>(v));
    });

    T.Append();
    EXPECT_EQ(T.Fields(0).AsInteger(), 7);
    T.Post();
    EXPECT_EQ(newRows, 1);
    EXPECT_EQ(changes, 1);
    EXPECT_GE(scrolls, 1);
    T.First();
    EXPECT_EQ(T.FieldByName("Twice").AsInteger(), 2);
    EXPECT_EQ(T.Fields(0).DisplayText(), QStringLiteral("G7"));
    T.Edit();
    T.Fields(0).Clear();
    T.Post();
    EXPECT_EQ(T.Fields(0).DisplayText(), QString()); // null shows empty, hook or not
    // Calculated values never reach the file.
    EXPECT_EQ(T.ToPacket().Columns.size(), 3u);
}

TEST_F(DataTableTest, FailedLoadKeepsTheContent) {
    Add(1, "keep");
    TDataPacket dup = T.ToPacket();
    dup.Rows.push_back(dup.Rows.front()); // UID 1 twice
    EXPECT_THROW(T.LoadFromPacket(dup), EVelmoraError);
    EXPECT_EQ(T.RecordCount(), 1);

    TDataPacket wrongType = T.ToPacket();
    wrongType.Columns[0].Type = dsfld::ZSTRING | dsfld::Varying;
    wrongType.Columns[0].Size = 1;
    try {
        T.LoadFromPacket(wrongType);
        FAIL();
    } catch (const EVelmoraError &e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("\"Group\""))) << e.what();
    }
    EXPECT_EQ(T.RecordCount(), 1);
}

TEST_F(DataTableTest, LoadNeverHandsOutAKeyThatExists) {
    Add(1, "a");
    Add(1, "b");
    TDataPacket p = T.ToPacket();
    p.Properties[0] = TPacketProperty::Integer("AUTOINCVALUE", 4, dsfld::INT, 1); // stale
    T.LoadFromPacket(p);
    EXPECT_EQ(T.AutoIncValue(), 3);
}

} // namespace
