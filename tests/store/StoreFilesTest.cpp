// Loading and saving the five table files: values, first start, settings,
// atomic replacement and files that cannot be read.
#include "StoreFixture.h"

#include "platform/Clock.h"
#include "platform/Error.h"
#include "store/DataPacketReader.h"
#include "store/DataPacketWriter.h"
#include "store/StoreSchemas.h"
#include "tests/support/FailingDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace {

using StoreFiles = StoreFixture;

QByteArray TableTsv(TDataTable &table) {
    return tsv::Render(table.ToPacket());
}

TEST_F(StoreFiles, LoadsTheSampleSetToExactlyItsValues) {
    LoadSet(QStringLiteral("store"));
    const std::pair<TDataTable *, const char *> tables[] = {
        {&Store->cdsProxies(), "Proxies"},
        {&Store->cdsChainedProxies(), "ChainedProxies"},
        {&Store->cdsChainedProxyProxies(), "ChainedProxyProxies"},
        {&Store->cdsSettings(), "settings"},
        {&Store->cdsAnonymizedList(), "AnonymizedList"}};
    for (const auto &[table, name] : tables) {
        SCOPED_TRACE(name);
        EXPECT_EQ(TableTsv(*table),
                  tsv::ReadFile(tsv::DataPath(QStringLiteral("store/%1.current.tsv").arg(name))));
    }
    // Nothing was written by the load itself.
    for (const QString &name : TableFiles())
        EXPECT_FALSE(Rewritten(name)) << name.toStdString();

    TDataTable &p = Store->cdsProxies();
    ASSERT_TRUE(Store->LocateProxyRecord(1));
    for (const char *f : {"HostName", "LastChecked", "Desc", "SSLSupport", "Enabled", "Speed",
                          "CurrHostNameType", "Country"})
        EXPECT_TRUE(p.FieldByName(f).IsNull()) << f;
    ASSERT_TRUE(Store->LocateProxyRecord(2));
    EXPECT_EQ(p.FieldByName("IPAddress").AsBytes().size(), 50);
    EXPECT_FALSE(p.FieldByName("Desc").IsNull());
    EXPECT_EQ(p.FieldByName("Desc").AsString(), QString());
    EXPECT_EQ(p.FieldByName("LastChecked").AsDateTime(), 0.0);
    EXPECT_EQ(p.FieldByName("LastChecked").Value(), TFieldValue(59926521600000.0));
    EXPECT_EQ(p.FieldByName("Speed").AsFloat(), 0.1);
    EXPECT_EQ(p.FieldByName("Country").Value(), TFieldValue(int64_t(0)));
    ASSERT_TRUE(Store->LocateProxyRecord(3));
    EXPECT_EQ(p.FieldByName("HostName").AsBytes(), QByteArray("\x63\x61\x66\xE9\x2D\x80", 6));
    EXPECT_EQ(p.FieldByName("HostName").AsString(), QString::fromUtf8("café-€"));
    EXPECT_EQ(p.FieldByName("Desc").AsString(), QString::fromUtf8("naïve «proxy» – 5 €"));
    EXPECT_EQ(p.FieldByName("Country").AsInteger(), -1);
    TProxData rec;
    ASSERT_NE(Store->GetProxyRecord(4, &rec), nullptr);
    EXPECT_EQ(TClock::ToQDateTime(rec.FLastChecked),
              QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26, 535)));
    EXPECT_EQ(rec.FSpeed, 1234.0);
    EXPECT_EQ(rec.FProxyType, TProxyType::ptSOCKS5);
    EXPECT_EQ(rec.FStatus, TProxyStatus::psAvailable);

    EXPECT_TRUE(Store->AllowLocalHostOnly());
    EXPECT_EQ(Store->Timeout(), 5);
    EXPECT_EQ(Store->SessionsTimeout(), 0);
    ASSERT_TRUE(Store->LocateAnonymRec(2));
    EXPECT_TRUE(Store->cdsAnonymizedList().FieldByName("ChainUID").IsNull());
    EXPECT_EQ(Store->cdsChainedProxies().AutoIncValue(), 3);
}

TEST_F(StoreFiles, SavingUnchangedTablesGivesTheSameBytes) {
    LoadSet(QStringLiteral("store"));
    Store->SaveData();
    Store->SaveConfigs();
    Store->AnonymSaveData();
    for (const QString &name : TableFiles()) {
        EXPECT_TRUE(Rewritten(name)) << name.toStdString();
        EXPECT_EQ(Bytes(name), tsv::ReadFile(tsv::DataPath(QStringLiteral("store/") + name)))
            << name.toStdString();
    }
    QStringList sorted = TableFiles();
    sorted.sort();
    EXPECT_EQ(FolderEntries(), sorted); // no temporary files left
}

TEST_F(StoreFiles, RoundTripKeepsEveryValueAndNull) {
    LoadSet(QStringLiteral("store"));
    Store->AddProxy(QStringLiteral("10.0.0.1"), 8080, TProxyType::ptHTTP);
    TDataTable &p = Store->cdsProxies();
    p.Edit();
    p.FieldByName("Desc").SetAsString(QString::fromUtf8("über ‰ Ω")); // Ω is not in 1252
    p.FieldByName("SSLSupport").SetAsBoolean(false);
    p.FieldByName("LastChecked")
        .SetAsDateTime(
            TClock::FromQDateTime(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999))));
    p.Post();
    Store->SaveData();
    const QByteArray before = TableTsv(p);

    TdmProxyData again(Folder);
    again.LoadData();
    EXPECT_EQ(TableTsv(again.cdsProxies()), before);
    ASSERT_TRUE(again.LocateProxyRecord(5));
    EXPECT_EQ(again.cdsProxies().FieldByName("Desc").AsString(), QString::fromUtf8("über ‰ ?"));
    EXPECT_TRUE(again.cdsProxies().FieldByName("HostName").IsNull());
    EXPECT_FALSE(again.cdsProxies().FieldByName("SSLSupport").IsNull());
    TProxData rec;
    again.GetProxyRecord(rec);
    EXPECT_EQ(TClock::ToQDateTime(rec.FLastChecked),
              QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999)));
}

TEST_F(StoreFiles, FirstStartWithEmptyFilesMakesTheDefaultChain) {
    LoadSet(QStringLiteral("cds/empty"));
    // The three main files were rewritten at once, the other two not.
    EXPECT_TRUE(Rewritten(QStringLiteral("Proxies.cds")));
    EXPECT_TRUE(Rewritten(QStringLiteral("ChainedProxies.cds")));
    EXPECT_TRUE(Rewritten(QStringLiteral("ChainedProxyProxies.cds")));
    EXPECT_FALSE(Rewritten(QStringLiteral("settings.cds")));
    EXPECT_FALSE(Rewritten(QStringLiteral("AnonymizedList.cds")));

    EXPECT_EQ(Store->cdsSettings().RecordCount(), 1); // in memory only
    EXPECT_EQ(Store->Timeout(), 0);
    EXPECT_TRUE(Store->AllowLocalHostOnly()); // nothing served to other machines unasked

    const TDataPacket chains = TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxies.cds")));
    EXPECT_EQ(tsv::Render(chains),
              QByteArray("UID\tDateAdded\tDesc\tEnabled\tStatus\tLastChecked\tLocalServerPort\t"
                         "LocalServerStatus\tLocalServerEnabled\tAutoCreateChain\tChangeEvery\t"
                         "NoOfProxies\tHidden\n"
                         "1\t\\N\tDefault\t\\N\t0\t\\N\t1080\t\\N\t\\N\tfalse\t\\N\t3\tfalse\n"));
    TChainedProxyData chain;
    Store->GetChainedProxyRecord(1, chain);
    EXPECT_EQ(chain.FDesc, QStringLiteral("Default"));
    EXPECT_EQ(chain.FPort, 1080);
    EXPECT_EQ(chain.ItemsCount(), 0);
    EXPECT_FALSE(Store->VerifyChainedProxyItems(1));
}

TEST_F(StoreFiles, DeletingTheLastChainBringsTheDefaultBackAtNextStart) {
    LoadSet(QStringLiteral("store"));
    Store->DeleteChain(1);
    Store->DeleteChain(2);
    EXPECT_TRUE(Store->cdsChainedProxies().IsEmpty());
    TdmProxyData again(Folder);
    again.LoadData();
    ASSERT_EQ(again.cdsChainedProxies().RecordCount(), 1);
    TChainedProxyData chain;
    again.GetChainedProxyRecord(-1, chain);
    EXPECT_EQ(chain.FDesc, QStringLiteral("Default"));
    EXPECT_EQ(chain.FUID, 3); // keys are never reused
}

TEST_F(StoreFiles, ASettingIsWrittenAtOnceWithTheDefaultRow) {
    LoadSet(QStringLiteral("cds/empty"));
    Store->SetSessionsTimeout(45);
    EXPECT_EQ(tsv::Render(TDataPacketReader::Read(Bytes(QStringLiteral("settings.cds")))),
              QByteArray("AllowLocalHostOnly\tTimeOut\tSessionsTimeOut\ntrue\t0\t45\n"));
    Store->SetAllowLocalHostOnly(false);
    Store->SetTimeout(500);
    EXPECT_EQ(tsv::Render(TDataPacketReader::Read(Bytes(QStringLiteral("settings.cds")))),
              QByteArray("AllowLocalHostOnly\tTimeOut\tSessionsTimeOut\nfalse\t500\t45\n"));
    EXPECT_EQ(Store->cdsSettings().RecordCount(), 1);
}

// Only a missing row means local-only: a stored row keeps what it says,
// off included, at the next start.
TEST_F(StoreFiles, AStoredRowKeepsLocalOnlyOff) {
    LoadSet(QStringLiteral("cds/empty"));
    EXPECT_TRUE(Store->AllowLocalHostOnly());
    Store->SetAllowLocalHostOnly(false);
    TdmProxyData again(Folder);
    again.LoadData();
    EXPECT_FALSE(again.AllowLocalHostOnly());
}

TEST_F(StoreFiles, SaveWritesEveryChainsItemsWhateverTheFilter) {
    LoadSet(QStringLiteral("store"));
    Store->AddChainedItem(1, 2);
    Store->AddChainedItem(3, 4); // a chain that does not exist yet: filtered to 3
    EXPECT_EQ(Store->cdsChainedProxyProxies().Filter(), QStringLiteral("ChainUID=3"));
    EXPECT_EQ(Store->cdsChainedProxyProxies().RecordCount(), 1);
    Store->SaveData();
    const TDataPacket items =
        TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxyProxies.cds")));
    EXPECT_EQ(items.Rows.size(), 6u);
}

TEST_F(StoreFiles, MissingFilesGiveTheirErrorsAndLoadNothingMore) {
    Fill(QStringLiteral("store"));
    QFile::remove(Folder + QStringLiteral("Proxies.cds"));
    Open();
    EXPECT_EQ(MessageOf([&] { Store->LoadData(); }), QStringLiteral("Proxies.cds file not found"));
    EXPECT_TRUE(Store->cdsChainedProxies().IsEmpty());
    EXPECT_TRUE(Store->cdsSettings().IsEmpty());

    Fill(QStringLiteral("store"));
    QFile::remove(Folder + QStringLiteral("settings.cds"));
    Open();
    EXPECT_EQ(MessageOf([&] { Store->LoadData(); }), QStringLiteral("settings file not found"));
    EXPECT_TRUE(Store->cdsProxies().IsEmpty());

    Fill(QStringLiteral("store"));
    QFile::remove(Folder + QStringLiteral("ChainedProxyProxies.cds"));
    Open();
    const QString message = MessageOf([&] { Store->LoadData(); });
    EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot open file"))) << message.toStdString();
    EXPECT_TRUE(message.contains(Folder + QStringLiteral("ChainedProxyProxies.cds")));
    EXPECT_EQ(Store->cdsProxies().RecordCount(), 4); // loaded before it
    EXPECT_EQ(Store->cdsChainedProxies().RecordCount(), 2);
    EXPECT_TRUE(Store->cdsAnonymizedList().IsEmpty()); // after it
    EXPECT_FALSE(Rewritten(QStringLiteral("ChainedProxies.cds")));
}

TEST_F(StoreFiles, ProvisioningHappensOnlyWhenTheFolderDoesNotExist) {
    Open();
    Store->LoadData(); // the folder does not exist yet
    for (const QString &name : TableFiles())
        EXPECT_TRUE(QFileInfo::exists(Folder + name)) << name.toStdString();
    EXPECT_EQ(Bytes(QStringLiteral("settings.cds")),
              tsv::ReadFile(tsv::DataPath(QStringLiteral("cds/empty/settings.cds"))));
    EXPECT_EQ(Bytes(QStringLiteral("AnonymizedList.cds")),
              tsv::ReadFile(tsv::DataPath(QStringLiteral("cds/empty/AnonymizedList.cds"))));
    EXPECT_EQ(Store->cdsChainedProxies().RecordCount(), 1);

    // An existing folder is left as it is.
    QFile::remove(Folder + QStringLiteral("AnonymizedList.cds"));
    EXPECT_FALSE(TdmProxyData::ProvisionDataFolder(Folder));
    EXPECT_FALSE(QFileInfo::exists(Folder + QStringLiteral("AnonymizedList.cds")));
}

TEST_F(StoreFiles, AFailedSaveLeavesTheOldFileAndKeepsTheChange) {
    LoadSet(QStringLiteral("store"));
    const QByteArray old = Bytes(QStringLiteral("Proxies.cds"));
    Store->ProxiesFile().FDeviceWrap = [](QIODevice &target) -> std::unique_ptr<QIODevice> {
        // Passes 100 bytes to the real temporary file, then fails.
        return std::make_unique<VelmoraTest::TFailingDevice>(100, &target,
                                                             QStringLiteral("Disk quota exceeded"));
    };
    Store->AddProxy(QStringLiteral("10.1.1.1"), 1080, TProxyType::ptSOCKS5);
    const QString message = MessageOf([&] { Store->SaveData(); });
    EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot write file"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("Proxies.cds")));
    EXPECT_TRUE(message.contains(QStringLiteral("Disk quota exceeded")));
    EXPECT_EQ(Bytes(QStringLiteral("Proxies.cds")), old);
    EXPECT_EQ(FolderEntries().size(), 5); // no temporary file left behind
    EXPECT_EQ(Store->cdsProxies().RecordCount(), 5);

    Store->ProxiesFile().FDeviceWrap = nullptr;
    Store->SaveData();
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 5u);
}

// Runs the event loop (the batch's save timer) for `ms`, calling `step`
// every few milliseconds.
void RunFor(int ms, const std::function<void()> &step) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        step();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

TEST_F(StoreFiles, ABatchSavesAboutOnceASecondAndEverythingAtItsEnd) {
    LoadSet(QStringLiteral("store"));
    const int64_t before = Store->SaveCount();
    TProxData record;
    ASSERT_TRUE(Store->GetProxyRecord(4, &record));
    Store->BeginBatch();
    Store->BeginBatch(); // batches nest: only the outer end saves
    int changes = 0;
    RunFor(1500, [&] {
        record.FSpeed = ++changes;
        Store->UpdateProxyStatus(record, TProxyStatus::psAvailable);
    });
    // Hundreds of changes, and a file written a second into the batch and
    // once a second after (a loaded machine may write fewer times, never more).
    EXPECT_GT(changes, 50);
    EXPECT_GE(Store->SaveCount() - before, 1);
    EXPECT_LE(Store->SaveCount() - before, 2);
    // What the file holds is at most a second behind.
    Store->EndBatch();
    EXPECT_TRUE(Store->InBatch());
    Store->EndBatch();
    EXPECT_FALSE(Store->InBatch());
    EXPECT_FALSE(Store->Unsaved());
    TdmProxyData reread(Folder);
    reread.LoadData();
    TProxData saved;
    ASSERT_TRUE(reread.GetProxyRecord(4, &saved));
    EXPECT_EQ(saved.FSpeed, changes);
    EXPECT_EQ(saved.FStatus, TProxyStatus::psAvailable);

    // Outside a batch every change saves at once, as always.
    const int64_t outside = Store->SaveCount();
    Store->UpdateProxyStatus(record, TProxyStatus::psUnavailable);
    EXPECT_EQ(Store->SaveCount(), outside + 1);
}

TEST_F(StoreFiles, ABatchsTimedSaveThatFailsIsToldAndTheEndSavesIt) {
    LoadSet(QStringLiteral("store"));
    QStringList errors;
    Store->FOnSaveError = [&](const QString &message) { errors << message; };
    Store->ProxiesFile().FDeviceWrap = [](QIODevice &target) -> std::unique_ptr<QIODevice> {
        return std::make_unique<VelmoraTest::TFailingDevice>(10, &target,
                                                             QStringLiteral("No space left"));
    };
    Store->BeginBatch();
    Store->AddProxy(QStringLiteral("10.1.1.1"), 1080, TProxyType::ptSOCKS5);
    Store->DeleteProxy(1); // a change that saves
    RunFor(1300, [] {});   // the first timed save comes a second into the batch
    ASSERT_FALSE(errors.isEmpty());
    EXPECT_TRUE(errors[0].contains(QStringLiteral("No space left")));
    EXPECT_TRUE(Store->Unsaved());
    Store->ProxiesFile().FDeviceWrap = nullptr;
    Store->EndBatch();
    EXPECT_FALSE(Store->Unsaved());
    // The sample's four, one added, one deleted.
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 4u);
}

TEST_F(StoreFiles, ASaveIntoAMissingFolderFailsAndKeepsTheChange) {
    LoadSet(QStringLiteral("store"));
    ASSERT_TRUE(QDir(Folder).removeRecursively());
    Store->AddProxy(QStringLiteral("10.1.1.2"), 1080, TProxyType::ptSOCKS4);
    const QString message = MessageOf([&] { Store->SaveData(); });
    EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot create file"))) << message.toStdString();
    EXPECT_EQ(Store->cdsProxies().RecordCount(), 5);
    EXPECT_FALSE(QFileInfo::exists(Folder));
}

TEST_F(StoreFiles, AnUnreadableFileIsKeptAsideBeforeItIsReplaced) {
    Fill(QStringLiteral("store"));
    const QString path = Folder + QStringLiteral("Proxies.cds");
    QByteArray damaged = Bytes(QStringLiteral("Proxies.cds")).left(500);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(damaged);
    }
    Open();
    QStringList notices;
    Store->FOnNotice = [&](const QString &text) { notices << text; };
    const QString message = MessageOf([&] { Store->LoadData(); });
    EXPECT_TRUE(message.contains(path)) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("runs past the end"))) << message.toStdString();
    const QString aside = Store->ProxiesFile().AsidePath();
    EXPECT_TRUE(aside.startsWith(path + QStringLiteral(".unreadable-")));
    EXPECT_TRUE(message.contains(aside));
    EXPECT_EQ(Bytes(QStringLiteral("Proxies.cds")), damaged); // left alone until a save
    EXPECT_TRUE(Store->cdsProxies().IsEmpty());

    Store->AddProxy(QStringLiteral("10.2.2.2"), 3128, TProxyType::ptHTTP);
    Store->SaveData();
    EXPECT_EQ(tsv::ReadFile(aside), damaged);
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 1u);
    // The chain files were never loaded (the load stopped first), so they
    // were kept aside too instead of being replaced by empty tables.
    ASSERT_EQ(notices.size(), 3);
    EXPECT_TRUE(notices[0].contains(aside));
    const QStringList kept =
        QDir(Folder).entryList({QStringLiteral("ChainedProxies.cds.notloaded-*")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(tsv::ReadFile(Folder + kept[0]),
              tsv::ReadFile(tsv::DataPath(QStringLiteral("store/ChainedProxies.cds"))));

    // A second save replaces the file in the ordinary way.
    Store->SaveData();
    EXPECT_EQ(notices.size(), 3);
}

TEST_F(StoreFiles, AFailedReloadKeepsTheTablesAndNamesTheFileAndFault) {
    LoadSet(QStringLiteral("store"));
    TdmProxyData::TBatch hold(*Store);
    hold.Discard(); // nothing saves by itself
    Store->RemoveChainedItem(2, -1);
    {
        QFile f(Folder + QStringLiteral("ChainedProxyProxies.cds"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.write("XXXX");
    }
    const QString message = MessageOf([&] { Store->ReloadChains(); });
    EXPECT_TRUE(message.contains(QStringLiteral("ChainedProxyProxies.cds")));
    EXPECT_TRUE(message.contains(QStringLiteral("magic")));
    // The chains table was reloaded; the items table keeps what it had.
    Store->cdsChainedProxyProxies().SetFiltered(false);
    EXPECT_EQ(Store->cdsChainedProxyProxies().RecordCount(), 0);
}

TEST_F(StoreFiles, AColumnOfTheWrongTypeIsNamed) {
    Fill(QStringLiteral("store"));
    TTableSchema schema = TStoreSchemas::ChainedProxies();
    schema.Fields[6].Kind = TFieldKind::ftString; // LocalServerPort
    schema.Fields[6].Size = 10;
    TDataPacket packet;
    packet.Columns = schema.PacketColumns();
    packet.Properties = schema.PacketProperties(1);
    QFile f(Folder + QStringLiteral("ChainedProxies.cds"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(TDataPacketWriter::ToBytes(packet));
    f.close();
    Open();
    const QString message = MessageOf([&] { Store->LoadData(); });
    EXPECT_TRUE(message.contains(QStringLiteral("\"LocalServerPort\""))) << message.toStdString();
}

} // namespace

// A table file that another program changed since the store read or wrote it
// (replaced, or rewritten in place with the same size) is kept aside with a
// notice before the store's save replaces it; one left alone is replaced
// without a word, and so is the file at the save after.
TEST_F(StoreFiles, AFileChangedBehindTheStoresBackIsKeptAsideBeforeASave) {
    struct TCase {
        const char *Name;
        std::function<void(const QString &path)> Change;
        bool Kept;
    };
    const TCase cases[] = {
        {"left alone", [](const QString &) {}, false},
        {"replaced by another store's save",
         [this](const QString &) {
             TdmProxyData other(Folder);
             other.LoadData();
             other.AddProxy(QStringLiteral("203.0.113.7"), 8080, TProxyType::ptHTTP);
             other.ProxiesFile().Save(Folder);
         },
         true},
        {"rewritten in place with the same bytes",
         [](const QString &path) {
             QFile f(path);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             const QByteArray bytes = f.readAll();
             f.seek(0);
             f.write(bytes);
             f.setFileTime(QDateTime::currentDateTime().addSecs(5),
                           QFileDevice::FileModificationTime);
         },
         true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        LoadSet(QStringLiteral("store"));
        QStringList notices;
        Store->FOnNotice = [&](const QString &text) { notices << text; };
        const QString path = Folder + QStringLiteral("Proxies.cds");
        c.Change(path);
        const QByteArray theirs = Bytes(QStringLiteral("Proxies.cds"));
        Store->AddProxy(QStringLiteral("10.3.3.3"), 3128, TProxyType::ptHTTP);
        Store->SaveData();
        const QStringList kept = QDir(Folder).entryList({QStringLiteral("Proxies.cds.changed-*")});
        ASSERT_EQ(kept.size(), c.Kept ? 1 : 0);
        ASSERT_EQ(notices.size(), c.Kept ? 1 : 0);
        if (c.Kept) {
            EXPECT_EQ(tsv::ReadFile(Folder + kept[0]), theirs);
            EXPECT_TRUE(notices[0].contains(QStringLiteral("was changed by another program")))
                << notices[0].toStdString();
            EXPECT_TRUE(notices[0].contains(Folder + kept[0])) << notices[0].toStdString();
            QFile::remove(Folder + kept[0]);
        }
        // The store's own save is its last sight of the file.
        Store->AddProxy(QStringLiteral("10.3.3.4"), 3128, TProxyType::ptHTTP);
        Store->SaveData();
        EXPECT_EQ(notices.size(), c.Kept ? 1 : 0);
        EXPECT_TRUE(QDir(Folder).entryList({QStringLiteral("*.changed-*")}).isEmpty());
    }
}
