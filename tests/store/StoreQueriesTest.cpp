// The store's value queries and its scoped batch, on the sample set of
// StoreOperationsTest (chain 2 "Work": proxies 3, 1, 4 and a dangling 99;
// programs 1 "x.exe" and 2).
#include "StoreFixture.h"

#include <functional>
#include <stdexcept>

namespace {

class StoreQueries : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        LoadSet(QStringLiteral("store"));
    }
    // Where every cursor and the items filter stand.
    QStringList Cursors() {
        QStringList out;
        for (TDataTable *t : {&Store->cdsProxies(), &Store->cdsChainedProxies(),
                              &Store->cdsChainedProxyProxies(), &Store->cdsAnonymizedList()})
            out << QString::number(t->RecNo()) + t->Filter() + (t->Filtered() ? "+" : "-");
        return out;
    }
    TProxyStatus DiskStatus(int32_t uid) {
        TdmProxyData again(Folder);
        again.LoadData();
        return again.FindProxy(uid)->FStatus;
    }
};

TEST_F(StoreQueries, AnswerWithoutMovingACursor) {
    Store->LocateProxyRecord(2);
    Store->LocateChainRecord(1);
    Store->LocateAnonymRec(2);
    const QStringList before = Cursors();
    const std::pair<const char *, std::function<bool()>> cases[] = {
        {"proxy", [&] { return Store->FindProxy(3)->FIPAddress == "198.51.100.7"; }},
        {"no proxy", [&] { return !Store->FindProxy(99); }},
        {"chain with its existing proxies in hop order",
         [&] {
             const auto chain = Store->FindChain(2);
             return chain->FDesc == "Work" && chain->ItemsCount() == 3 &&
                    chain->FChainedItems[0]->FUID == 3 && chain->FChainedItems[2]->FUID == 4;
         }},
        {"no chain", [&] { return !Store->FindChain(99); }},
        {"chains", [&] { return Store->Chains().size() == 2 && Store->Chains()[1].Port == 9050; }},
        {"one stored chain",
         [&] {
             const auto chain = Store->FindStoredChain(2);
             return chain && chain->Name == "Work" && !Store->FindStoredChain(99);
         }},
        {"program",
         [&] {
             const auto p = Store->FindAnonym(1);
             return p->Filename == "x.exe" && p->ChainPort == 9050;
         }},
        {"programs", [&] { return Store->AnonymizedPrograms().size() == 2; }},
    };
    for (const auto &[name, holds] : cases) {
        EXPECT_TRUE(holds()) << name;
        EXPECT_EQ(Cursors(), before) << name;
    }
}

TEST_F(StoreQueries, ABatchSavesOnceAtItsEnd) {
    auto change = [&] {
        TProxData rec;
        rec.FUID = 1;
        Store->UpdateProxyStatus(rec, TProxyStatus::psAvailable);
    };
    struct TCase {
        const char *Name;
        std::function<void(TdmProxyData::TBatch &)> Body;
        int64_t Saves; // at the end of the outermost batch
    };
    const TCase cases[] = {
        {"changes", [&](TdmProxyData::TBatch &) { change(), change(); }, 1},
        {"nothing changed", [&](TdmProxyData::TBatch &) {}, 0},
        {"nested",
         [&](TdmProxyData::TBatch &) {
             TdmProxyData::TBatch inner(*Store);
             change();
         },
         1},
        {"committed", [&](TdmProxyData::TBatch &b) { change(), b.Commit(); }, 1},
        {"discarded", [&](TdmProxyData::TBatch &b) { change(), b.Discard(); }, 0},
        {"an exception leaves the scope",
         [&](TdmProxyData::TBatch &) { change(), throw std::runtime_error("x"); }, 1},
    };
    for (const TCase &c : cases) {
        LoadSet(QStringLiteral("store"));
        const int64_t start = Store->SaveCount();
        try {
            TdmProxyData::TBatch batch(*Store);
            c.Body(batch);
            EXPECT_EQ(Store->SaveCount() - start, c.Name == std::string("committed")) << c.Name;
        } catch (const std::runtime_error &) {
        }
        EXPECT_FALSE(Store->SavesHeld()) << c.Name;
        EXPECT_EQ(Store->SaveCount() - start, c.Saves) << c.Name;
        EXPECT_EQ(DiskStatus(1) == TProxyStatus::psAvailable, c.Saves == 1) << c.Name;
    }
}

} // namespace
