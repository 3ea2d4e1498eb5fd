// A table and its datapacket: a packet whose columns stand in another order,
// lack one or carry a foreign one still loads by name; over-long texts are cut
// to the column width; rows come back in key order with their keys indexed;
// the saved packet holds the stored fields only.
#include "store/TablePacket.h"
#include "platform/Error.h"
#include "tests/store/ItemSchema.h"

#include <gtest/gtest.h>

namespace {

TPacketColumn Column(const char *name, const TPacketColumn &like) {
    TPacketColumn c = like;
    c.Name = name;
    return c;
}

// The table's own columns as UID, a foreign "Note", then "name" in another
// case; "Group" is missing.
TDataPacket ForeignPacket(const TTableSchema &schema) {
    const std::vector<TPacketColumn> own = schema.PacketColumns();
    TDataPacket packet;
    packet.Columns = {own[2], Column("Note", own[1]), Column("name", own[1])};
    packet.Rows = {{int64_t(7), QByteArray("n7"), QByteArray("seven-long")},
                   {int64_t(3), QByteArray("n3"), QByteArray("three")},
                   {TFieldValue(), QByteArray("n-"), TFieldValue()}};
    return packet;
}

} // namespace

TEST(TablePacket, ForeignColumnOrderLoadsByNameAndCutsTexts) {
    TDataTable table(ItemSchema());
    table.LoadFromPacket(ForeignPacket(table.Schema()));
    ASSERT_EQ(table.RecordCount(), 3);
    // Group is null everywhere, so the key order is by UID, null first.
    std::vector<TFieldValue> uids;
    std::vector<QString> names;
    for (table.First(); !table.Eof(); table.Next()) {
        uids.push_back(table.Value(2));
        names.push_back(table.FieldByName(QStringLiteral("Name")).AsString());
        EXPECT_TRUE(table.FieldByName(QStringLiteral("Group")).IsNull());
    }
    EXPECT_EQ(uids, (std::vector<TFieldValue>{TFieldValue(), int64_t(3), int64_t(7)}));
    EXPECT_EQ(names, (std::vector<QString>{QString(), "three", "seven"}));
    EXPECT_NE(table.FindUID(7), nullptr);
    EXPECT_EQ(table.FindUID(5), nullptr);
    // No stored next key: one past the highest.
    EXPECT_EQ(table.AutoIncValue(), 8);
}

TEST(TablePacket, LoadedRowsComeInKeyOrderAndNewKeysFollowTheHighest) {
    TDataTable table(ItemSchema());
    TDataPacket packet = table.ToPacket();
    packet.Rows = {{int64_t(1), QByteArray("a"), int64_t(4)},
                   {int64_t(1), QByteArray("b"), int64_t(2)}};
    table.LoadFromPacket(packet);
    EXPECT_EQ(table.AutoIncValue(), 5);
    table.Append();
    table.SetValue(0, int64_t(1));
    table.Post();
    std::vector<QString> names;
    for (table.First(); !table.Eof(); table.Next())
        names.push_back(table.FieldByName(QStringLiteral("Name")).AsString());
    EXPECT_EQ(names, (std::vector<QString>{"b", "a", QString()}));
}

TEST(TablePacket, SavedPacketHoldsStoredFieldsAndTheNextKey) {
    TDataTable table(ItemSchema());
    table.SetCalcHook(3, [](const TDataTable::TRow &) { return TFieldValue(int64_t(99)); });
    table.Append();
    table.SetValue(0, int64_t(2));
    table.Post();
    const TDataPacket packet = table.ToPacket();
    ASSERT_EQ(packet.Columns.size(), 3u);
    ASSERT_EQ(packet.Rows.size(), 1u);
    EXPECT_EQ(packet.Rows[0].size(), 3u);
    EXPECT_EQ(packet.Rows[0][2], TFieldValue(int64_t(1)));
    const TPacketProperty *next = packet.Property("AUTOINCVALUE");
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->AsInteger(), 2);
    EXPECT_TRUE(table.Metadata().Rows.empty());
    EXPECT_EQ(table.Metadata().Columns.size(), 3u);

    // A stored next key above the rows' keys is kept.
    TDataPacket ahead = packet;
    ahead.Properties = TTablePacket(table.Schema()).Metadata(40).Properties;
    TDataTable other(ItemSchema());
    other.LoadFromPacket(ahead);
    EXPECT_EQ(other.AutoIncValue(), 40);
}

TEST(TablePacket, ARepeatedKeyFailsWithoutTouchingTheTable) {
    TDataTable table(ItemSchema());
    table.Append();
    table.Post();
    TDataPacket packet = table.ToPacket();
    packet.Rows.push_back(packet.Rows.front());
    try {
        TTablePacket(table.Schema()).Load(packet, [](auto &, auto &) { return false; });
        FAIL();
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("the key UID = 1 occurs more than once"));
    }
    EXPECT_EQ(table.RecordCount(), 1);
}
