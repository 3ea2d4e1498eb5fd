// The table file codec judged by files written elsewhere: our five empty
// files, a populated set from an independent encoder, and real files of other
// programs that carry a change log.
#include "TsvRender.h"

#include "platform/Error.h"
#include "store/DataPacketReader.h"
#include "store/DataPacketWriter.h"
#include "store/StoreSchemas.h"
#include "tests/support/FailingDevice.h"

#include <gtest/gtest.h>
#include <random>

namespace {

using VelmoraTest::TFailingDevice;

TDataPacket EmptyPacket(const TTableSchema &schema) {
    TDataPacket p;
    p.Columns = schema.PacketColumns();
    p.Properties = schema.PacketProperties(1);
    return p;
}

QString FaultOf(const QByteArray &bytes) {
    try {
        TDataPacketReader::Read(bytes);
    } catch (const EVelmoraError &e) {
        return e.Message();
    }
    return {};
}

void PutLe(QByteArray &bytes, int at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

struct TNamedSchema {
    const char *File;
    TTableSchema Schema;
    int Size;
};

std::vector<TNamedSchema> OurTables() {
    return {{"Proxies", TStoreSchemas::Proxies(), 342},
            {"ChainedProxies", TStoreSchemas::ChainedProxies(), 331},
            {"ChainedProxyProxies", TStoreSchemas::ChainedProxyProxies(), 186},
            {"settings", TStoreSchemas::Settings(), 93},
            {"AnonymizedList", TStoreSchemas::AnonymizedList(), 221}};
}

TEST(DataPacket, OurEmptyTablesAreByteIdenticalToTheReferenceFiles) {
    for (const auto &t : OurTables()) {
        SCOPED_TRACE(t.File);
        const QByteArray expected =
            tsv::ReadFile(tsv::DataPath(QStringLiteral("cds/empty/%1.cds").arg(t.File)));
        ASSERT_EQ(expected.size(), t.Size);
        EXPECT_EQ(TDataPacketWriter::ToBytes(EmptyPacket(t.Schema)), expected);
        // And the reader takes them apart into the same metadata.
        const TDataPacket read = TDataPacketReader::Read(expected);
        EXPECT_TRUE(read.Rows.empty());
        EXPECT_EQ(TDataPacketWriter::ToBytes(read), expected);
    }
}

TEST(DataPacket, PopulatedStoreFilesDecodeToTheirValuesAndReencodeIdentically) {
    for (const auto &t : OurTables()) {
        SCOPED_TRACE(t.File);
        const QByteArray bytes =
            tsv::ReadFile(tsv::DataPath(QStringLiteral("store/%1.cds").arg(t.File)));
        ASSERT_FALSE(bytes.isEmpty());
        const TDataPacket packet = TDataPacketReader::Read(bytes);
        EXPECT_EQ(tsv::Render(packet),
                  tsv::ReadFile(tsv::DataPath(QStringLiteral("store/%1.current.tsv").arg(t.File))));
        EXPECT_EQ(TDataPacketWriter::ToBytes(packet), bytes);
    }
}

TEST(DataPacket, ForeignFilesWithAChangeLogGiveTheirCurrentData) {
    for (const char *name : {"jvdbgrid-country", "pipeline-customer"}) {
        SCOPED_TRACE(name);
        const TDataPacket packet = TDataPacketReader::Read(
            tsv::ReadFile(tsv::DataPath(QStringLiteral("cds/%1.cds").arg(name))));
        EXPECT_EQ(tsv::Render(packet),
                  tsv::ReadFile(tsv::DataPath(QStringLiteral("cds/%1.current.tsv").arg(name))));
    }
}

TEST(DataPacket, MergedRewriteOfAChangeLogFileKeepsTheCurrentDataAndDropsTheLog) {
    const TDataPacket packet =
        TDataPacketReader::Read(tsv::ReadFile(tsv::DataPath("cds/pipeline-customer.cds")));
    TDataPacket merged = packet;
    std::erase_if(merged.Properties,
                  [](const TPacketProperty &p) { return p.Name == "CHANGE_LOG"; });
    const QByteArray bytes = TDataPacketWriter::ToBytes(merged);
    const TDataPacket again = TDataPacketReader::Read(bytes);
    EXPECT_EQ(tsv::Render(again), tsv::Render(packet));
    EXPECT_EQ(again.Rows.size(), 55u);
}

// A small table written by hand with a change log: row 1 plain, row 2
// deleted, row 3 inserted with one column never assigned, row 4 a new version
// of row 1 that leaves its text out.
TEST(DataPacket, DeletedRowsGoAndLeftOutValuesComeFromEarlierVersions) {
    TDataPacket meta;
    TPacketColumn id{"Id", 4, dsfld::INT, 0, {}};
    TPacketColumn name{"Name", 1, dsfld::ZSTRING | dsfld::Varying, 0, {}};
    meta.Columns = {id, name};
    meta.Properties = {
        TPacketProperty::IntegerArray("CHANGE_LOG", 4, dsfld::INT, {2, 0, 2, 3, 0, 4, 4, 1, 8})};
    QByteArray bytes = TDataPacketWriter::ToBytes(meta);
    auto row = [&](uint8_t state, uint8_t marks, const QByteArray &values) {
        bytes.append(static_cast<char>(state));
        bytes.append(static_cast<char>(marks));
        bytes.append(values);
    };
    row(0x01, 0x00, QByteArray("\x01\0\0\0\x03one", 8));
    row(0x02, 0x00, QByteArray("\x02\0\0\0\x03two", 8));
    row(0x04, 0x08, QByteArray("\x03\0\0\0", 4)); // Name never assigned
    row(0x08, 0x08, QByteArray("\x0B\0\0\0", 4)); // Id changed to 11, Name left out
    PutLe(bytes, 14, 4, 4);
    const TDataPacket p = TDataPacketReader::Read(bytes);
    EXPECT_EQ(tsv::Render(p), QByteArray("Id\tName\n11\tone\n3\t\\N\n"));
}

TEST(DataPacket, ColumnTypesWeDoNotReadFailNamingTheColumn) {
    struct TCase {
        const char *Name;
        uint16_t Size, Type;
        const char *Kind;
    } cases[] = {{"Price", 34, dsfld::BCD, "BCD"},
                 {"Remark", 2, dsfld::UNICODE | dsfld::Varying, "Unicode"},
                 {"Codes", 4, dsfld::INT | dsfld::Array, "array"},
                 {"Orders", 4, 14, "nested table"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        TDataPacket p;
        p.Columns = {TPacketColumn{"Id", 4, dsfld::INT, 0, {}},
                     TPacketColumn{c.Name, c.Size, c.Type, 0, {}}};
        const QString fault = FaultOf(TDataPacketWriter::ToBytes(p));
        EXPECT_TRUE(fault.contains(QStringLiteral("\"%1\"").arg(c.Name))) << fault.toStdString();
        EXPECT_TRUE(fault.contains(QLatin1String(c.Kind))) << fault.toStdString();
    }
}

TEST(DataPacket, DamagedFilesFailWithTheFault) {
    const QByteArray good = tsv::ReadFile(tsv::DataPath("store/Proxies.cds"));
    ASSERT_EQ(good.size(), 613);

    QByteArray magic = good;
    magic[0] = 'X';
    EXPECT_TRUE(FaultOf(magic).contains(QLatin1String("magic")));

    QByteArray rows = good;
    PutLe(rows, 14, 5000, 4); // more rows than the bytes can hold
    EXPECT_TRUE(FaultOf(rows).contains(QLatin1String("5000 rows")));

    QByteArray fewer = good;
    PutLe(fewer, 14, 3, 4); // one row's bytes left over
    EXPECT_TRUE(FaultOf(fewer).contains(QLatin1String("follow the last")));

    QByteArray offset = good;
    PutLe(offset, 22, 300, 2);
    EXPECT_TRUE(FaultOf(offset).contains(QLatin1String("offset 300")));

    QByteArray columns = good;
    PutLe(columns, 12, 200, 2);
    EXPECT_FALSE(FaultOf(columns).isEmpty());

    QByteArray text = good;
    text[342 + 1 + 4] = static_cast<char>(0xFF); // first address claims 255 bytes
    EXPECT_TRUE(FaultOf(text).contains(QLatin1String("row ")));

    // Cut anywhere: always a clean failure, never a crash or a short table.
    for (int n = 0; n < good.size(); ++n)
        ASSERT_FALSE(FaultOf(good.left(n)).isEmpty()) << "cut at " << n;
}

TEST(DataPacket, HugeCountsOfEmptyElementsCostNothing) {
    TDataPacket p;
    p.Columns = {TPacketColumn{"Id", 4, dsfld::INT, 0, {}}};
    p.Properties = {
        TPacketProperty{"EMPTY", 0, dsfld::UINT | dsfld::Array, QByteArray("\xFF\xFF\xFF\xFF", 4)}};
    const TDataPacket read = TDataPacketReader::Read(TDataPacketWriter::ToBytes(p));
    ASSERT_EQ(read.Properties.size(), 1u);
    EXPECT_EQ(read.Properties[0].Value.size(), 4);
}

TEST(DataPacket, BadChangeLogsFailInsteadOfGuessing) {
    QByteArray country = tsv::ReadFile(tsv::DataPath("cds/jvdbgrid-country.cds"));
    ASSERT_EQ(country.size(), 1814);
    // The log's last triple (19, 1, 8) sits just before the first row (420).
    QByteArray outOfRange = country;
    PutLe(outOfRange, 420 - 12, 77, 4);
    EXPECT_TRUE(FaultOf(outOfRange).contains(QLatin1String("row 77")));
    QByteArray noLink = country;
    PutLe(noLink, 420 - 8, 0, 4); // row 19 keeps state 12 but names no earlier row
    EXPECT_TRUE(FaultOf(noLink).contains(QLatin1String("row 19")));
}

TEST(DataPacket, RandomDamageNeverCrashes) {
    std::mt19937 rng(20260314);
    for (const char *file : {"store/Proxies.cds", "cds/jvdbgrid-country.cds",
                             "cds/pipeline-customer.cds", "store/ChainedProxyProxies.cds"}) {
        const QByteArray good = tsv::ReadFile(tsv::DataPath(QString::fromLatin1(file)));
        for (int round = 0; round < 400; ++round) {
            QByteArray bad = good;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; ++i)
                bad[static_cast<int>(rng() % bad.size())] = static_cast<char>(rng());
            try {
                TDataPacketReader::Read(bad);
            } catch (const EVelmoraError &) {
            }
        }
    }
}

TEST(DataPacket, WriteErrorsReachTheCaller) {
    TDataPacket p = TDataPacketReader::Read(tsv::ReadFile(tsv::DataPath("store/Proxies.cds")));
    for (int i = 0; i < 1200; ++i)
        p.Rows.push_back(p.Rows[static_cast<size_t>(i % 4)]); // about 80 KiB
    const QByteArray whole = TDataPacketWriter::ToBytes(p);
    ASSERT_GT(whole.size(), 64 * 1024);
    for (qint64 limit : {qint64(0), qint64(10), qint64(400), qint64(whole.size() - 1)}) {
        SCOPED_TRACE(limit);
        TFailingDevice device(limit);
        try {
            TDataPacketWriter::Write(p, device);
            FAIL() << "no error";
        } catch (const EVelmoraError &e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("No space left on device")));
        }
        EXPECT_EQ(device.Written, whole.left(limit));
    }
    TFailingDevice roomy(whole.size());
    TDataPacketWriter::Write(p, roomy);
    EXPECT_EQ(roomy.Written, whole);
}

TEST(DataPacket, WriterRefusesAValueThatDoesNotSuitItsColumn) {
    TDataPacket p = EmptyPacket(TStoreSchemas::Settings());
    p.Rows.push_back({TFieldValue(true), TFieldValue(QByteArray("5")), TFieldValue()});
    EXPECT_THROW(TDataPacketWriter::ToBytes(p), EVelmoraError);
}

TEST(DataPacket, TsvFloatsFollowTheShortestRoundTripForm) {
    EXPECT_EQ(tsv::Float(2777815.0), "2777815.0");
    EXPECT_EQ(tsv::Float(8.5), "8.5");
    EXPECT_EQ(tsv::Float(0.1), "0.1");
    EXPECT_EQ(tsv::Float(0.0), "0.0");
    EXPECT_EQ(tsv::Float(1e-05), "1e-05");
    EXPECT_EQ(tsv::Float(1.5e16), "1.5e+16");
    EXPECT_EQ(tsv::Float(-0.00012), "-0.00012");
}

} // namespace
