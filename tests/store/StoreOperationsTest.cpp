// Store operations on the sample set: proxies 1-4 (statuses 0, 1, 1, 2),
// chain 1 "Default" without items, chain 2 "Work" with the hops proxy 3,
// proxy 1, proxy 4 and a dangling item naming proxy 99.
#include "StoreFixture.h"

#include "platform/Clock.h"
#include "platform/Error.h"
#include "store/DataPacketReader.h"

namespace {

class StoreOperations : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        LoadSet(QStringLiteral("store"));
    }
    std::vector<int> Hops(int chain) {
        TChainedProxyData rec;
        Store->GetChainedProxyRecord(chain, rec);
        std::vector<int> out;
        for (const auto &item : rec.FChainedItems)
            out.push_back(item->FUID);
        return out;
    }
    // (ChainUID, ProxyUID) of every item row, filter ignored, in index order.
    std::vector<std::pair<int, int>> Items() {
        std::vector<std::pair<int, int>> out;
        TDataTable &t = Store->cdsChainedProxyProxies();
        for (const auto *row : t.AllRows())
            out.emplace_back(static_cast<int>(std::get<int64_t>(row->Values[0])),
                             static_cast<int>(std::get<int64_t>(row->Values[1])));
        return out;
    }
    void SetStatus(int uid, TProxyStatus status) {
        TProxData rec;
        rec.FUID = uid;
        Store->UpdateProxyStatus(rec, status);
    }
    bool AnyFileRewritten() {
        for (const QString &name : TableFiles())
            if (Rewritten(name))
                return true;
        return false;
    }
};

TEST_F(StoreOperations, ChainRecordSkipsDanglingItemsAndKeepsHopOrder) {
    TChainedProxyData rec;
    rec.FStatus = TProxyStatus::psDisabled;
    rec.AddItem(std::make_unique<TProxData>()); // items are appended after these
    Store->GetChainedProxyRecord(2, rec);
    ASSERT_EQ(rec.ItemsCount(), 4);
    EXPECT_EQ(rec.FChainedItems[1]->FUID, 3);
    EXPECT_EQ(rec.FChainedItems[2]->FUID, 1);
    EXPECT_EQ(rec.FChainedItems[3]->FUID, 4);
    EXPECT_EQ(rec.FChainedItems[1]->FIPAddress, QStringLiteral("198.51.100.7"));
    EXPECT_EQ(rec.FChainedItems[1]->FHostName, QString::fromUtf8("café-€"));
    EXPECT_EQ(rec.FChainedItems[1]->FCurrHostNameType, hntIPAddress); // whatever the row holds
    EXPECT_EQ(rec.FDesc, QStringLiteral("Work"));
    EXPECT_EQ(rec.FPort, 9050);
    EXPECT_EQ(rec.FUID, 2);
    EXPECT_EQ(rec.FStatus, TProxyStatus::psDisabled); // not read from the table
    // The cursor effects the views rely on.
    EXPECT_EQ(Store->cdsChainedProxies().Fields(0).AsInteger(), 2);
    EXPECT_EQ(Store->cdsChainedProxyProxies().Filter(), QStringLiteral("ChainUID=2"));
    EXPECT_TRUE(Store->cdsChainedProxyProxies().Filtered());
    EXPECT_EQ(Store->cdsChainedProxyProxies().RecordCount(), 4);
}

TEST_F(StoreOperations, VerifyNeedsItemsThatAllExistAndWork) {
    EXPECT_FALSE(Store->VerifyChainedProxyItems(1)); // no items
    EXPECT_FALSE(Store->VerifyChainedProxyItems(2)); // dangling and unchecked items
    for (int uid : {3, 1, 4})
        SetStatus(uid, TProxyStatus::psAvailable);
    EXPECT_FALSE(Store->VerifyChainedProxyItems(2)); // still the dangling item
    Store->RemoveChainedItem(2, 99);
    EXPECT_TRUE(Store->VerifyChainedProxyItems(2));
    SetStatus(1, TProxyStatus::psUnknown);
    EXPECT_FALSE(Store->VerifyChainedProxyItems(2));
}

TEST_F(StoreOperations, UnknownChainsFailWithTheMessage) {
    TChainedProxyData rec;
    const std::function<void()> calls[] = {
        [&] { Store->LocateChainRecord(77); },       [&] { Store->GetChainedProxyRecord(77, rec); },
        [&] { Store->VerifyChainedProxyItems(77); }, [&] { Store->DeleteChain(77); },
        [&] { Store->RemoveChainedItem(77, 1); },
    };
    for (const auto &call : calls)
        EXPECT_EQ(MessageOf(call), QStringLiteral("chain record not found"));
    EXPECT_FALSE(AnyFileRewritten());
}

TEST_F(StoreOperations, AddingAProxyTwiceToAChainFailsTheSecondTime) {
    Store->AddChainedItem(1, 3);
    EXPECT_EQ(MessageOf([&] { Store->AddChainedItem(1, 3); }),
              QStringLiteral("Proxy already exists in chain"));
    EXPECT_EQ(Hops(1), (std::vector<int>{3}));
    Store->AddChainedItem(1, 4); // appended as the last hop
    EXPECT_EQ(Hops(1), (std::vector<int>{3, 4}));
    EXPECT_EQ(MessageOf([&] { Store->AddChainedItem(2, 3); }),
              QStringLiteral("Proxy already exists in chain"));
    EXPECT_FALSE(AnyFileRewritten()); // never saves, held back or not
}

TEST_F(StoreOperations, RemoveTakesOnlyTheEarlierOfTwoEqualItems) {
    // A second item for proxy 3 in chain 2, as a direct table append makes it.
    TDataTable &items = Store->cdsChainedProxyProxies();
    items.Append();
    items.FieldByName("ChainUID").SetAsInteger(2);
    items.FieldByName("ProxyUID").SetAsInteger(3);
    items.Post();
    EXPECT_EQ(Hops(2), (std::vector<int>{3, 1, 4, 3}));
    Store->RemoveChainedItem(2, 3);
    EXPECT_EQ(Hops(2), (std::vector<int>{1, 4, 3}));
    // Saved at once (no batch holds the saves back).
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxyProxies.cds"))).Rows.size(),
              4u);
    Store->RemoveChainedItem(2, -1);
    EXPECT_EQ(Hops(2), std::vector<int>{});
    EXPECT_TRUE(Items().empty());
}

// Moving a hop hands ProxyUID on between the item rows: the rows, their
// UIDs and the dangling item stay where they are, and nothing is saved
// until SaveData.
TEST_F(StoreOperations, MoveChainedItemReordersHopsInPlace) {
    Store->AddChainedItem(2, 2); // behind the dangling item: hops 3 1 4 2
    TDataTable &items = Store->cdsChainedProxyProxies();
    auto rowUIDs = [&] {
        std::vector<int64_t> out;
        for (const auto *row : items.AllRows())
            out.push_back(std::get<int64_t>(items.RowValue(*row, items.FieldIndex("UID"))));
        return out;
    };
    const std::vector<int64_t> before = rowUIDs();

    EXPECT_TRUE(Store->MoveChainedItem(2, 2, -1)); // over the dangling item to before 4
    EXPECT_EQ(Hops(2), (std::vector<int>{3, 1, 2, 4}));
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{2, 3}, {2, 1}, {2, 2}, {2, 99}, {2, 4}}));
    EXPECT_TRUE(Store->MoveChainedItem(2, 3, 1));
    EXPECT_EQ(Hops(2), (std::vector<int>{1, 3, 2, 4}));
    EXPECT_TRUE(Store->MoveChainedItem(2, 4, -3)); // to the front
    EXPECT_EQ(Hops(2), (std::vector<int>{4, 1, 3, 2}));
    EXPECT_EQ(rowUIDs(), before);

    // Moves that would leave the chain, a proxy not in it, no move at all.
    EXPECT_FALSE(Store->MoveChainedItem(2, 4, -1));
    EXPECT_FALSE(Store->MoveChainedItem(2, 2, 1));
    EXPECT_FALSE(Store->MoveChainedItem(2, 1, 3));
    EXPECT_FALSE(Store->MoveChainedItem(2, 99, -1)); // dangling: not a hop
    EXPECT_FALSE(Store->MoveChainedItem(1, 3, 1));
    EXPECT_FALSE(Store->MoveChainedItem(2, 1, 0));
    EXPECT_EQ(Hops(2), (std::vector<int>{4, 1, 3, 2}));
    EXPECT_EQ(MessageOf([&] { Store->MoveChainedItem(77, 1, 1); }),
              QStringLiteral("chain record not found"));
    EXPECT_FALSE(AnyFileRewritten());

    Store->SaveData();
    TdmProxyData again(Folder);
    again.LoadData();
    TChainedProxyData rec;
    again.GetChainedProxyRecord(2, rec);
    std::vector<int> saved;
    for (const auto &item : rec.FChainedItems)
        saved.push_back(item->FUID);
    EXPECT_EQ(saved, (std::vector<int>{4, 1, 3, 2}));
}

TEST_F(StoreOperations, DeleteProxyLeavesEveryChainAndTheFilterAsItWas) {
    Store->AddChainedItem(1, 1);
    Store->AddChainedItem(1, 2);
    TChainedProxyData walked;
    Store->GetChainedProxyRecord(2, walked); // leaves the items filtered to chain 2
    ASSERT_EQ(Store->cdsChainedProxyProxies().Filter(), QStringLiteral("ChainUID=2"));

    EXPECT_TRUE(Store->DeleteProxy(1));
    EXPECT_EQ(Store->cdsChainedProxyProxies().Filter(), QStringLiteral("ChainUID=2"));
    EXPECT_TRUE(Store->cdsChainedProxyProxies().Filtered());
    EXPECT_EQ(Store->cdsChainedProxyProxies().RecordCount(), 3);
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{1, 2}, {2, 3}, {2, 4}, {2, 99}}));
    EXPECT_FALSE(Store->LocateProxyRecord(1));
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 3u);

    // Unfiltered before, unfiltered after.
    Store->cdsChainedProxyProxies().SetFiltered(false);
    EXPECT_TRUE(Store->DeleteProxy(2));
    EXPECT_FALSE(Store->cdsChainedProxyProxies().Filtered());
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{2, 3}, {2, 4}, {2, 99}}));
}

TEST_F(StoreOperations, DeleteProxiesWithStatusTakesTheirChainItemsAndSavesOnce) {
    Store->AddChainedItem(1, 2);
    Store->AddChainedItem(1, 4);
    TChainedProxyData walked;
    Store->GetChainedProxyRecord(2, walked); // items filtered to chain 2
    int resets = 0, others = 0;
    Store->WatchProxies([&](TDataTable::TChange change, const TDataTable::TRow *) {
        ++(change == TDataTable::TChange::Reset ? resets : others);
    });
    const int64_t saves = Store->SaveCount();

    // Proxies 2 and 3 are "TIME OUT"; 3 is a hop of "Work", 2 of "Default".
    EXPECT_EQ(Store->CountProxiesWithStatus(TProxyStatus::psUnavailable), 2);
    EXPECT_EQ(Store->CountProxiesWithStatus(TProxyStatus::psAvailable), 1);
    EXPECT_EQ(Store->DeleteProxiesWithStatus(TProxyStatus::psUnavailable), 2);
    EXPECT_EQ(Store->SaveCount(), saves + 1);
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(others, 0);
    EXPECT_FALSE(Store->LocateProxyRecord(2));
    EXPECT_FALSE(Store->LocateProxyRecord(3));
    EXPECT_TRUE(Store->LocateProxyRecord(1));
    EXPECT_TRUE(Store->LocateProxyRecord(4));
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{1, 4}, {2, 1}, {2, 4}, {2, 99}}));
    EXPECT_EQ(Hops(2), (std::vector<int>{1, 4}));
    EXPECT_EQ(Store->cdsChainedProxyProxies().Filter(), QStringLiteral("ChainUID=2"));
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 2u);
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxyProxies.cds"))).Rows.size(),
              4u);

    // None left with that status: nothing changes, nothing is written.
    EXPECT_EQ(Store->CountProxiesWithStatus(TProxyStatus::psUnavailable), 0);
    EXPECT_EQ(Store->DeleteProxiesWithStatus(TProxyStatus::psUnavailable), 0);
    EXPECT_EQ(Store->SaveCount(), saves + 1);
    EXPECT_EQ(resets, 1);
}

TEST_F(StoreOperations, ASelectionOfProxiesChainsOrProgramsGoesInOnePassAndOneSave) {
    Store->AddChainedItem(1, 4);
    int resets = 0, others = 0;
    Store->WatchProxies([&](TDataTable::TChange change, const TDataTable::TRow *) {
        ++(change == TDataTable::TChange::Reset ? resets : others);
    });
    const int64_t saves = Store->SaveCount();
    // 2 is no chain's hop: the items stay as they were.
    const auto itemsBefore = Items();
    EXPECT_EQ(Store->DeleteProxies({2}), 1);
    EXPECT_EQ(Items(), itemsBefore);
    // 42 is no proxy: skipped. 3 and 4 are hops; 4 of both chains.
    EXPECT_EQ(Store->DeleteProxies({3, 42, 4}), 2);
    EXPECT_EQ(Store->SaveCount(), saves + 2);
    EXPECT_EQ(std::make_pair(resets, others), std::make_pair(2, 0));
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{2, 1}, {2, 99}}));
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("Proxies.cds"))).Rows.size(), 1u);
    EXPECT_EQ(Store->DeleteProxies({}), 0);
    EXPECT_EQ(Store->SaveCount(), saves + 2);

    EXPECT_EQ(Store->DeleteChains({2, 77}), 1);
    EXPECT_EQ(Store->SaveCount(), saves + 3);
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(Store->ChainUIDs(), std::vector<int32_t>{1});
    EXPECT_TRUE(
        TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxyProxies.cds"))).Rows.empty());

    std::vector<int32_t> programs;
    for (const TAnonymProgram &p : Store->AnonymizedPrograms())
        programs.push_back(p.UID);
    ASSERT_FALSE(programs.empty());
    const int32_t kept = programs.back();
    programs.back() = 12345; // no such program
    EXPECT_EQ(Store->AnonymDeleteAll(programs), int(programs.size()) - 1);
    ASSERT_EQ(Store->AnonymizedPrograms().size(), 1u);
    EXPECT_EQ(Store->AnonymizedPrograms().front().UID, kept);
    EXPECT_EQ(Store->SaveCount(), saves + 3); // programs are saved by their caller
}

TEST_F(StoreOperations, ProxyWatchersSeeEachChangeWithItsRow) {
    std::vector<std::pair<TDataTable::TChange, int64_t>> first, second;
    auto watcher = [](auto &seen) {
        return [&seen](TDataTable::TChange change, const TDataTable::TRow *row) {
            seen.emplace_back(change, row ? std::get<int64_t>(row->Values[2]) : -1);
        };
    };
    const int a = Store->WatchProxies(watcher(first));
    Store->WatchProxies(watcher(second));
    Store->AddProxy(QStringLiteral("192.0.2.99"), 8080, TProxyType::ptHTTP);
    SetStatus(1, TProxyStatus::psAvailable);
    Store->DeleteProxy(4); // the row that goes is still readable during the call
    Store->UnwatchProxies(a);
    Store->LoadData();
    using C = TDataTable::TChange;
    const std::vector<std::pair<C, int64_t>> told = {
        {C::Inserted, 5}, {C::Changed, 1}, {C::Deleted, 4}};
    EXPECT_EQ(first, told);
    ASSERT_GE(second.size(), 4u);
    EXPECT_EQ(second.back(), std::make_pair(C::Reset, int64_t(-1)));
}

TEST_F(StoreOperations, DeleteChainTakesAllItsItems) {
    Store->AddChainedItem(2, 2); // five items now
    Store->AddChainedItem(1, 4);
    Store->DeleteChain(2);
    EXPECT_EQ(Items(), (std::vector<std::pair<int, int>>{{1, 4}}));
    EXPECT_EQ(Store->cdsChainedProxies().RecordCount(), 1);
    const TDataPacket saved =
        TDataPacketReader::Read(Bytes(QStringLiteral("ChainedProxyProxies.cds")));
    EXPECT_EQ(saved.Rows.size(), 1u);
}

TEST_F(StoreOperations, MissingProxiesAreNoError) {
    EXPECT_TRUE(Store->DeleteProxy(42));
    TProxData rec;
    rec.FUID = 42;
    rec.FSpeed = 5;
    Store->UpdateProxyStatus(rec, TProxyStatus::psAvailable);
    Store->UpdateProxyType(rec);
    EXPECT_FALSE(AnyFileRewritten());
    rec.FHostName = QStringLiteral("untouched");
    EXPECT_EQ(Store->GetProxyRecord(42, &rec), nullptr);
    EXPECT_EQ(rec.FHostName, QStringLiteral("untouched"));
    EXPECT_EQ(MessageOf([&] { Store->GetProxyRecord(1, nullptr); }),
              QStringLiteral("error , instance must be created"));
}

TEST_F(StoreOperations, UpdatesWriteTheirColumnsAndSave) {
    TProxData rec;
    rec.FUID = 1;
    rec.FSpeed = 812;
    rec.FStatus = TProxyStatus::psUnavailable; // the argument counts, not this
    rec.FProxyType = TProxyType::ptSOCKS45;
    const TDateTime before = TClock::Now();
    Store->UpdateProxyStatus(rec, TProxyStatus::psAvailable);
    Store->UpdateProxyType(rec);
    TProxData read;
    Store->GetProxyRecord(1, &read);
    EXPECT_EQ(read.FStatus, TProxyStatus::psAvailable);
    EXPECT_EQ(read.FSpeed, 812);
    EXPECT_EQ(read.FProxyType, TProxyType::ptSOCKS45);
    EXPECT_GE(read.FLastChecked, before - 1.0 / 86400);
    EXPECT_LE(read.FLastChecked, TClock::Now() + 1.0 / 86400);
    EXPECT_TRUE(Rewritten(QStringLiteral("Proxies.cds")));
    EXPECT_FALSE(Rewritten(QStringLiteral("settings.cds")));
}

TEST_F(StoreOperations, RecordsTakeTheLowByteOfTypeAndStatus) {
    TDataTable &p = Store->cdsProxies();
    ASSERT_TRUE(Store->LocateProxyRecord(2));
    p.Edit();
    p.FieldByName("HostType").SetAsInteger(260);
    p.FieldByName("Status").SetAsInteger(258);
    p.Post();
    TProxData rec;
    Store->GetProxyRecord(-1, &rec);
    EXPECT_EQ(rec.FProxyType, TProxyType::ptHTTP);
    EXPECT_EQ(rec.FStatus, TProxyStatus::psAvailable);
    EXPECT_EQ(rec.FUID, 2);
    // A null Speed reads as 0.
    Store->GetProxyRecord(1, &rec);
    EXPECT_EQ(rec.FSpeed, 0);
    EXPECT_EQ(rec.FLastChecked, 0);
}

TEST_F(StoreOperations, AddProxyAppendsWithDefaultsAndCutsTheAddress) {
    const QString longAddress = QString(60, QLatin1Char('a'));
    Store->AddProxy(longAddress, 1081, TProxyType::ptUnknown);
    EXPECT_FALSE(AnyFileRewritten());
    TDataTable &p = Store->cdsProxies();
    ASSERT_TRUE(Store->LocateProxyRecord(5));
    EXPECT_EQ(p.FieldByName("IPAddress").AsString(), longAddress.left(50));
    EXPECT_EQ(p.FieldByName("Status").DisplayText(), QStringLiteral("Not Checked"));
    EXPECT_EQ(p.FieldByName("HostType").DisplayText(), QStringLiteral("Unknown"));
    EXPECT_TRUE(p.FieldByName("HostName").IsNull());
    EXPECT_EQ(p.FieldByName("Speed").DisplayText(), QString());

    std::vector<std::unique_ptr<TProxData>> all;
    all.push_back(std::make_unique<TProxData>());
    Store->GetAllProxyRecords(all);
    ASSERT_EQ(all.size(), 6u);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(all[i]->FUID, i);
}

TEST_F(StoreOperations, TablesShowWhatViewsExpect) {
    TDataTable &p = Store->cdsProxies();
    for (const char *hidden : {"UID", "SSLSupport", "HostName", "Enabled"})
        EXPECT_FALSE(p.FieldByName(hidden).Visible()) << hidden;
    EXPECT_TRUE(p.FieldByName("IPAddress").Visible());
    EXPECT_EQ(p.FieldByName("IPAddress").DisplayWidth(), 18);
    EXPECT_FALSE(Store->cdsChainedProxies().FieldByName("Enabled").Visible());
    ASSERT_TRUE(Store->LocateProxyRecord(4));
    EXPECT_EQ(p.FieldByName("Status").DisplayText(), QStringLiteral("OK"));
    EXPECT_EQ(p.FieldByName("HostType").DisplayText(), QStringLiteral("SOCKS 5"));

    TDataTable &c = Store->cdsChainedProxies();
    Store->LocateChainRecord(2);
    c.Edit();
    c.FieldByName("LastChecked").SetAsDateTime(TClock::Now());
    c.Post();
    EXPECT_EQ(c.FieldByName("LastChecked").DisplayText(), QString());
    EXPECT_EQ(c.FieldByName("Status").DisplayText(), QStringLiteral("Not Checked"));

    // Lookup columns of the items, dangling item included.
    TDataTable &items = Store->cdsChainedProxyProxies();
    std::vector<QString> lookups;
    for (items.First(); !items.Eof(); items.Next())
        lookups.push_back(items.FieldByName("IPaddrLookup").AsString() + QLatin1Char(':') +
                          items.FieldByName("portlookup").AsString());
    EXPECT_EQ(lookups, (std::vector<QString>{
                           QStringLiteral("198.51.100.7:1081"), QStringLiteral("192.0.2.10:1080"),
                           QStringLiteral("203.0.113.99:1085"), QStringLiteral(":")}));
}

TEST_F(StoreOperations, ChainScrollFiltersItemsExceptOnANullKey) {
    TDataTable &c = Store->cdsChainedProxies();
    TDataTable &items = Store->cdsChainedProxyProxies();
    c.First();
    EXPECT_EQ(items.Filter(), QStringLiteral("ChainUID=1"));
    c.Next();
    EXPECT_EQ(items.Filter(), QStringLiteral("ChainUID=2"));
    // Appending a chain (insert state) leaves the filter alone.
    c.Append();
    EXPECT_EQ(items.Filter(), QStringLiteral("ChainUID=2"));
    c.Cancel();

    // A chain row whose UID is null (as a foreign file may hold) does not
    // move the filter either.
    TDataPacket packet = c.ToPacket();
    packet.Rows[0][0] = TFieldValue();
    c.LoadFromPacket(packet);
    Store->LocateChainRecord(2);
    ASSERT_EQ(items.Filter(), QStringLiteral("ChainUID=2"));
    c.First();
    EXPECT_TRUE(c.Fields(0).IsNull());
    EXPECT_EQ(items.Filter(), QStringLiteral("ChainUID=2"));
}

TEST_F(StoreOperations, WithoutAutoSaveNothingIsWrittenUntilSaveData) {
    TdmProxyData::TBatch hold(*Store);
    hold.Discard(); // nothing saves by itself
    Store->RemoveChainedItem(2, 1);
    Store->DeleteProxy(4);
    Store->DeleteChain(1);
    SetStatus(3, TProxyStatus::psAvailable);
    EXPECT_FALSE(AnyFileRewritten());
    EXPECT_EQ(Hops(2), (std::vector<int>{3}));
    Store->SaveData();
    TdmProxyData again(Folder);
    again.LoadData();
    TChainedProxyData rec;
    again.GetChainedProxyRecord(2, rec);
    ASSERT_EQ(rec.ItemsCount(), 1);
    EXPECT_EQ(rec.FChainedItems[0]->FStatus, TProxyStatus::psAvailable);
    EXPECT_EQ(again.cdsChainedProxies().RecordCount(), 1);
}

TEST_F(StoreOperations, ReloadChainsDropsUnsavedChainChanges) {
    TdmProxyData::TBatch hold(*Store);
    hold.Discard(); // nothing saves by itself
    TDataTable &c = Store->cdsChainedProxies();
    c.Append();
    c.FieldByName("Desc").SetAsString(QStringLiteral("New"));
    c.Post();
    Store->AddChainedItem(3, 1);
    Store->RemoveChainedItem(2, -1);
    Store->ReloadChains();
    EXPECT_EQ(c.RecordCount(), 2);
    EXPECT_EQ(Hops(2), (std::vector<int>{3, 1, 4}));
    EXPECT_EQ(Items().size(), 4u);
}

TEST_F(StoreOperations, AnonymizedProgramsByUID) {
    EXPECT_TRUE(Store->LocateAnonymRec(1));
    EXPECT_EQ(Store->cdsAnonymizedList().FieldByName("Filename").AsString(),
              QStringLiteral("x.exe"));
    EXPECT_EQ(Store->cdsAnonymizedList().FieldByName("ChainPort").AsInteger(), 9050);
    EXPECT_FALSE(Store->LocateAnonymRec(3));
    EXPECT_TRUE(Store->AnonymDelete(2));
    EXPECT_FALSE(Store->AnonymDelete(2));
    EXPECT_FALSE(AnyFileRewritten());
    Store->AnonymSaveData();
    EXPECT_EQ(TDataPacketReader::Read(Bytes(QStringLiteral("AnonymizedList.cds"))).Rows.size(), 1u);
    EXPECT_FALSE(Rewritten(QStringLiteral("Proxies.cds")));
}

} // namespace
