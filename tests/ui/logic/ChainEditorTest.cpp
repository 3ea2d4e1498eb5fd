// The chain dialog's steps against a real store and chain manager: what is
// stored, and which chains start, stop or restart.
#include "ui/logic/ChainEditor.h"
#include "engine/chain/ChainManager.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"
#include "tests/ui/logic/LogicTestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

class ChainEditor : public testing::Test {
protected:
    ChainEditor() {
        Fixture.Seed([&](TdmProxyData &s) {
            A = AddProxy(s, 1, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
            B = AddProxy(s, 2, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
            C = AddProxy(s, 3, TProxyType::ptSOCKS4, TProxyStatus::psAvailable);
        });
        Store().LoadData();
        Chains().SetStore(&Store());
    }
    ~ChainEditor() override { Chains().StopAllServices(false); }

    TdmProxyData &Store() { return Fixture.Store(); }
    TChainManager &Chains() { return Fixture.Services().ChainMgr(); }
    std::vector<int32_t> Items(int32_t chainUID) {
        TChainedProxyData chain;
        Store().GetChainedProxyRecord(chainUID, chain);
        std::vector<int32_t> uids;
        for (const auto &p : chain.FChainedItems)
            uids.push_back(p->FUID);
        return uids;
    }
    // The chain as the files hold it.
    std::vector<int32_t> StoredItems(int32_t chainUID) {
        TdmProxyData reread(Fixture.Folder());
        reread.LoadData();
        TChainedProxyData chain;
        reread.GetChainedProxyRecord(chainUID, chain);
        std::vector<int32_t> uids;
        for (const auto &p : chain.FChainedItems)
            uids.push_back(p->FUID);
        return uids;
    }
    // A running chain "Live" made through the editor.
    int32_t MakeRunningChain(TChainEditor &editor, uint16_t port) {
        TChainForm form = editor.Add();
        form.Name = "Live";
        form.Port = QString::number(port);
        editor.AddPicked(form, {A});
        QString message;
        EXPECT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted)
            << message.toStdString();
        editor.Closed();
        return editor.FUID;
    }

    TDataFixture Fixture{TDataFixture::TData::Missing};
    int32_t A = 0, B = 0, C = 0;
};

} // namespace

TEST_F(ChainEditor, AddWithNothingPickedStillCreatesTheChain) {
    TChainEditor editor(Store(), Chains());
    TChainForm form = editor.Add();
    EXPECT_EQ(form.Interval, QStringLiteral("5"));
    EXPECT_FALSE(Store().FAutoSave);
    EXPECT_EQ(editor.FDataMode, TDataMode::dtmAdd);
    form.Name = "New";
    form.Port = " 4321 ";
    editor.AddPicked(form, {});
    EXPECT_EQ(editor.FDataMode, TDataMode::dtmEdit);
    ASSERT_GT(editor.FUID, 0);
    EXPECT_TRUE(Items(editor.FUID).empty());
    TChainedProxyData chain;
    Store().GetChainedProxyRecord(editor.FUID, chain);
    EXPECT_EQ(chain.FDesc, QStringLiteral("New"));
    EXPECT_EQ(chain.FPort, 4321);
    EXPECT_FALSE(editor.FProxyItemsChanged);
}

TEST_F(ChainEditor, APickedProxyAlreadyInTheChainStopsTheRest) {
    TChainEditor editor(Store(), Chains());
    TChainForm form = editor.Add();
    form.Name = "Three";
    form.Port = "4000";
    editor.AddPicked(form, {B});
    try {
        editor.AddPicked(form, {A, B, C});
        FAIL() << "no error";
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "Proxy already exists in chain");
    }
    EXPECT_EQ(Items(editor.FUID), std::vector<int32_t>({B, A}));
}

TEST_F(ChainEditor, OkRefusesIncompleteChainsAndIgnoresAutoCreation) {
    TChainEditor editor(Store(), Chains());
    QString message;
    EXPECT_EQ(editor.Ok({}, false, message), TChainEditor::TOkResult::Ignored);
    TChainForm form = editor.Add();
    EXPECT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::Refused);
    EXPECT_EQ(message, QStringLiteral("Name and port must be entered"));
    form.Name = "X";
    EXPECT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::Refused);
    EXPECT_EQ(message, QStringLiteral("Name and port must be entered"));
    form.Port = "4001";
    EXPECT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::Refused);
    EXPECT_EQ(message, QStringLiteral("Chain must has at least one proxy"));
    form.AutoCreate = true;
    EXPECT_FALSE(TChainEditor::AddEnabled(form));
    EXPECT_FALSE(TChainEditor::ItemCommandsEnabled(form, true));
    EXPECT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::StayOpen);
    EXPECT_EQ(Store().cdsChainedProxies().RecordCount(), 1); // only "Default"
    form.AutoCreate = false;
    EXPECT_TRUE(TChainEditor::AddEnabled(form));
    form.Port.clear();
    EXPECT_FALSE(TChainEditor::AddEnabled(form));
}

TEST_F(ChainEditor, PortsMustBeWholeNumbersInRange) {
    EXPECT_EQ(TChainEditor::ReadPort(" 1080 "), 1080);
    for (const char *bad : {"abc", "10 80", "-"}) {
        try {
            TChainEditor::ReadPort(bad);
            ADD_FAILURE() << bad;
        } catch (const std::exception &e) {
            EXPECT_EQ(
                QString::fromUtf8(e.what()),
                QStringLiteral("'%1' is not a valid integer value").arg(QString(bad).trimmed()));
        }
    }
    for (const char *outside : {"0", "65536", "-5"}) {
        try {
            TChainEditor::ReadPort(outside);
            ADD_FAILURE() << outside;
        } catch (const std::exception &e) {
            EXPECT_STREQ(e.what(), "Port must be a number from 1 to 65535");
        }
    }
}

TEST_F(ChainEditor, OkSavesAndStartsANewChain) {
    TChainEditor editor(Store(), Chains());
    const uint16_t port = FreeLoopbackPort();
    const int32_t uid = MakeRunningChain(editor, port);
    EXPECT_TRUE(Store().FAutoSave);
    EXPECT_TRUE(Accepting(port));
    EXPECT_EQ(StoredItems(uid), std::vector<int32_t>({A}));
}

TEST_F(ChainEditor, NameChangeLeavesTheRunningChainAlone) {
    TChainEditor editor(Store(), Chains());
    const uint16_t port = FreeLoopbackPort();
    const int32_t uid = MakeRunningChain(editor, port);
    const TProxyChain *running = Chains().Find(uid);
    ASSERT_NE(running, nullptr);
    TChainForm form;
    ASSERT_TRUE(editor.Edit(uid, form));
    EXPECT_EQ(form.Name, QStringLiteral("Live"));
    form.Name = "Renamed";
    QString message;
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_EQ(Chains().Find(uid), running);
    EXPECT_TRUE(Accepting(port));
    TChainedProxyData chain;
    TdmProxyData reread(Fixture.Folder());
    reread.LoadData();
    reread.GetChainedProxyRecord(uid, chain);
    EXPECT_EQ(chain.FDesc, QStringLiteral("Renamed"));
}

TEST_F(ChainEditor, PortChangeRestartsOnTheNewPortUnlessStoppedAll) {
    TChainEditor editor(Store(), Chains());
    const uint16_t first = FreeLoopbackPort();
    const int32_t uid = MakeRunningChain(editor, first);
    const uint16_t second = FreeLoopbackPort();
    TChainForm form;
    ASSERT_TRUE(editor.Edit(uid, form));
    form.Port = QString::number(second);
    QString message;
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_TRUE(editor.FPortChanged);
    EXPECT_FALSE(Accepting(first));
    EXPECT_TRUE(Accepting(second));

    Chains().StopAllServices(true); // "Stop All"
    const uint16_t third = FreeLoopbackPort();
    ASSERT_TRUE(editor.Edit(uid, form));
    form.Port = QString::number(third);
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_FALSE(Accepting(third));
    EXPECT_FALSE(Accepting(second));
    TChainedProxyData chain;
    Store().GetChainedProxyRecord(uid, chain);
    EXPECT_EQ(chain.FPort, third);
}

TEST_F(ChainEditor, CancelDropsTheProxiesAddedAndTheNewChain) {
    TChainEditor editor(Store(), Chains());
    const int32_t uid = MakeRunningChain(editor, FreeLoopbackPort());
    TChainForm form;
    ASSERT_TRUE(editor.Edit(uid, form));
    editor.AddPicked(form, {B, C});
    editor.RemoveItem(A);
    EXPECT_EQ(Items(uid), std::vector<int32_t>({B, C}));
    editor.Cancel();
    editor.Closed();
    EXPECT_EQ(Items(uid), std::vector<int32_t>({A}));

    form = editor.Add();
    form.Name = "Dropped";
    form.Port = "4002";
    editor.AddPicked(form, {B});
    const int32_t dropped = editor.FUID;
    editor.Cancel();
    editor.Closed();
    EXPECT_FALSE(Store().cdsChainedProxies().LocateUID(dropped));
    EXPECT_TRUE(Store().FAutoSave);
}
