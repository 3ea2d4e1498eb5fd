// The chain dialog's steps against a real store and chain manager: what is
// stored, what is refused before anything is stored, and which chains start,
// stop or restart.
#include "ui/logic/ChainEditor.h"
#include "engine/chain/ChainManager.h"
#include "store/ChainedProxyData.h"
#include "tests/support/Peers.h"
#include "tests/ui/logic/LogicTestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
    ~ChainEditor() override { Chains().StopAll(); }

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

    // The three chain table files, hashed.
    QByteArray TableFiles() {
        QByteArray all;
        for (const char *name : {"Proxies.cds", "ChainedProxies.cds", "ChainedProxyProxies.cds"}) {
            QFile f(Fixture.Folder() + name);
            f.open(QIODevice::ReadOnly);
            all += f.readAll();
        }
        return QCryptographicHash::hash(all, QCryptographicHash::Sha256);
    }
    bool Running(int32_t uid) { return Chains().State(uid).State == TChainRunState::Running; }

    TDataFixture Fixture{TDataFixture::TData::Missing};
    int32_t A = 0, B = 0, C = 0;
};

// True when a few bytes sent on `fd` come back: the tunnel to the echo
// server is still open.
bool Echoes(int fd) {
    const char ping[] = "ping";
    if (::send(fd, ping, 4, MSG_NOSIGNAL) != 4)
        return false;
    char back[4];
    size_t got = 0;
    while (got < 4) {
        const ssize_t n = ::recv(fd, back + got, 4 - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return std::string(back, 4) == "ping";
}

} // namespace

TEST_F(ChainEditor, AddWithNothingPickedStillCreatesTheChain) {
    TChainEditor editor(Store(), Chains());
    TChainForm form = editor.Add();
    EXPECT_EQ(form.Interval, QStringLiteral("5"));
    EXPECT_TRUE(Store().SavesHeld());
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

TEST_F(ChainEditor, OkRefusesIncompleteChainsAndSavesAutoCreatedOnes) {
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
    EXPECT_EQ(Store().cdsChainedProxies().RecordCount(), 1); // only "Default"

    // Proxies put in by hand stay the first hops of an automatic chain: they
    // may be added and changed with it ticked.
    form.AutoCreate = true;
    EXPECT_TRUE(TChainEditor::AddEnabled(form));
    EXPECT_TRUE(TChainEditor::ItemCommandsEnabled(form, true));
    EXPECT_FALSE(TChainEditor::ItemCommandsEnabled(form, false));
    form.Port.clear();
    EXPECT_FALSE(TChainEditor::AddEnabled(form));

    // Automatic creation needs no proxy: OK saves the chain with its
    // rotation columns, and it runs on proxies drawn from the "OK" ones.
    form.Port = QString::number(FreeLoopbackPort());
    form.Interval = " 0 ";
    form.Count = "2";
    ASSERT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::Accepted)
        << message.toStdString();
    editor.Closed();
    TdmProxyData reread(Fixture.Folder());
    reread.LoadData();
    ASSERT_TRUE(reread.LocateChainRecord(editor.FUID));
    TDataTable &chains = reread.cdsChainedProxies();
    EXPECT_EQ(chains.FieldByName("Desc").AsString(), QStringLiteral("X"));
    EXPECT_TRUE(chains.FieldByName("AutoCreateChain").AsBoolean());
    EXPECT_EQ(chains.FieldByName("ChangeEvery").AsInteger(), 0);
    EXPECT_EQ(chains.FieldByName("NoOfProxies").AsInteger(), 2);
    EXPECT_TRUE(Running(editor.FUID));
    EXPECT_TRUE(Accepting(form.Port.toUShort()));
    ASSERT_NE(Chains().Find(editor.FUID), nullptr);
    EXPECT_EQ(Chains().Find(editor.FUID)->CurrentHops()->ItemsCount(), 2);

    // Edit shows what was saved.
    TChainForm shown;
    ASSERT_TRUE(editor.Edit(editor.FUID, shown));
    EXPECT_TRUE(shown.AutoCreate);
    EXPECT_EQ(shown.Interval, QStringLiteral("0"));
    EXPECT_EQ(shown.Count, QStringLiteral("2"));
    editor.Cancel();
    editor.Closed();
}

// Every port the chain may not take, and every bad rotation number, is
// refused before anything is stored: the store and its files stay as they
// were, and nothing starts.
TEST_F(ChainEditor, BadPortsAndNumbersAreRefusedBeforeAnythingIsStored) {
    Chains().SetReservedPort(9999); // the plain server's port, as in the program
    const uint16_t other = FreeLoopbackPort();
    Fixture.Seed([&](TdmProxyData &s) { SeedChain(s, "Other", other, {}); });
    Store().LoadData();
    const uint16_t held = FreeLoopbackPort();
    TSocket listener = TSocket::Listen(TSocket::Family::IPv4, held, 4);
    const QByteArray files = TableFiles();
    const int chainsBefore = Store().cdsChainedProxies().RecordCount();

    struct TCase {
        QString Port, Interval, Count, Message;
    };
    const TCase cases[] = {
        {"9999", "5", "3", "Port 9999 is the plain SOCKS server's; choose another port"},
        {QString::number(other), "5", "3", QString("Port %1 is already chain Other's").arg(other)},
        {QString::number(held), "5", "3",
         QString("Port %1 is in use by another program").arg(held)},
        {"0", "5", "3", "Port must be a number from 1 to 65535"},
        {"70000", "5", "3", "Port must be a number from 1 to 65535"},
        {"port", "5", "3", "'port' is not a valid integer value"},
        {"4003", "-1", "3", ""},
        {"4003", "1.5", "3", ""},
        {"4003", "", "3", ""},
        {"4003", "5", "0", ""},
        {"4003", "5", "11", ""},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Port.toStdString() + " " + c.Interval.toStdString() + " " +
                     c.Count.toStdString());
        TChainEditor editor(Store(), Chains());
        TChainForm form = editor.Add();
        form.Name = "Refused";
        form.Port = c.Port;
        form.Interval = c.Interval;
        form.Count = c.Count;
        form.AutoCreate = true;
        QString message;
        EXPECT_EQ(editor.Ok(form, false, message), TChainEditor::TOkResult::Refused);
        if (!c.Message.isEmpty())
            EXPECT_EQ(message, c.Message);
        else if (c.Interval != "5")
            EXPECT_TRUE(message.startsWith("Change the Chain every")) << message.toStdString();
        else
            EXPECT_TRUE(message.startsWith("Proxies in the chain")) << message.toStdString();
        EXPECT_EQ(editor.FormProblem(form), message);
        // "Add" would create the record: refused the same way.
        try {
            editor.AddPicked(form, {A});
            ADD_FAILURE() << "Add was not refused";
        } catch (const std::exception &e) {
            EXPECT_EQ(QString::fromUtf8(e.what()), message);
        }
        EXPECT_EQ(editor.FDataMode, TDataMode::dtmAdd);
        EXPECT_EQ(Store().cdsChainedProxies().RecordCount(), chainsBefore);
        editor.Cancel();
        editor.Closed();
    }
    EXPECT_EQ(TableFiles(), files);
    EXPECT_FALSE(Chains().AnyRunning());

    // The port an existing chain holds is refused to another chain only: the
    // chain itself keeps it when edited.
    TChainEditor editor(Store(), Chains());
    const int32_t live = MakeRunningChain(editor, FreeLoopbackPort());
    TChainForm form;
    ASSERT_TRUE(editor.Edit(live, form));
    EXPECT_EQ(editor.FormProblem(form), QString());
    editor.Cancel();
    editor.Closed();

    // The negative control: once the listener is gone its port is taken.
    listener.Close();
    TChainForm freed = editor.Add();
    freed.Name = "Freed";
    freed.Port = QString::number(held);
    editor.AddPicked(freed, {A});
    QString message;
    EXPECT_EQ(editor.Ok(freed, true, message), TChainEditor::TOkResult::Accepted)
        << message.toStdString();
    EXPECT_TRUE(Accepting(held));
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
    EXPECT_FALSE(Store().SavesHeld());
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

TEST_F(ChainEditor, PortChangeRestartsOnTheNewPortAndOkStartsAStoppedChain) {
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

    // After "Stop All" OK starts the chain again, changed or not.
    Chains().StopAll();
    EXPECT_FALSE(Accepting(second));
    const uint16_t third = FreeLoopbackPort();
    ASSERT_TRUE(editor.Edit(uid, form));
    form.Port = QString::number(third);
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_TRUE(Accepting(third));
    EXPECT_FALSE(Accepting(second));
    TChainedProxyData chain;
    Store().GetChainedProxyRecord(uid, chain);
    EXPECT_EQ(chain.FPort, third);

    Chains().StopChain(uid); // "Stop" on the chain page
    ASSERT_TRUE(editor.Edit(uid, form));
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_TRUE(Running(uid));
    EXPECT_TRUE(Accepting(third));
}

// A running chain keeps its listener and its clients when only its name
// changes; a change of its hops restarts it, which the open connection
// shows (the control that the test would see a restart).
TEST_F(ChainEditor, NameOnlyChangeKeepsClientsConnected) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is not installed";
    TMicrosocksPeer hop;
    TEchoServer echo;
    const int32_t live =
        AddProxy(Store(), hop.Port(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    TChainEditor editor(Store(), Chains());
    const uint16_t port = FreeLoopbackPort();
    TChainForm form = editor.Add();
    form.Name = "Work";
    form.Port = QString::number(port);
    editor.AddPicked(form, {live});
    QString message;
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted)
        << message.toStdString();
    editor.Closed();
    const int32_t uid = editor.FUID;
    const int client = Socks5Connect(port, echo.Port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(Echoes(client));

    ASSERT_TRUE(editor.Edit(uid, form));
    form.Name = "Work, renamed";
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    editor.Closed();
    EXPECT_TRUE(Echoes(client));
    EXPECT_EQ(Chains().State(uid).Connections, 1u);

    // A moved hop restarts the chain: its clients are cut off.
    ASSERT_TRUE(editor.Edit(uid, form));
    editor.AddPicked(form, {A});
    ASSERT_TRUE(editor.MoveItems({A}, -1));
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    editor.Closed();
    EXPECT_FALSE(Echoes(client));
    ::close(client);
    EXPECT_TRUE(Running(uid));
    EXPECT_EQ(HopsText(*Chains().Find(uid)->CurrentHops()),
              QString("127.0.0.1:1 => 127.0.0.1:%1").arg(hop.Port()));
}

TEST_F(ChainEditor, DeleteTakesEverySelectedProxy) {
    TChainEditor editor(Store(), Chains());
    const int32_t uid = MakeRunningChain(editor, FreeLoopbackPort());
    TChainForm form;
    ASSERT_TRUE(editor.Edit(uid, form));
    editor.AddPicked(form, {B, C});
    editor.RemoveItems({A, C});
    EXPECT_EQ(Items(uid), std::vector<int32_t>({B}));
    QString message;
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    EXPECT_EQ(StoredItems(uid), std::vector<int32_t>({B}));
}

// "Move Up" and "Move Down" move the selected proxies one place, a block
// stopping at either end; OK keeps the order, Cancel drops it.
TEST_F(ChainEditor, MovesKeepTheirOrderAfterOkAndAreUndoneByCancel) {
    TChainEditor editor(Store(), Chains());
    const int32_t uid = MakeRunningChain(editor, FreeLoopbackPort());
    TChainForm form;
    ASSERT_TRUE(editor.Edit(uid, form));
    editor.AddPicked(form, {B, C});
    EXPECT_TRUE(editor.MoveItems({C}, -1));
    EXPECT_EQ(Items(uid), std::vector<int32_t>({A, C, B}));
    EXPECT_FALSE(editor.MoveItems({A, C}, -1)); // A is first: C stays behind it
    EXPECT_FALSE(editor.MoveItems({B}, 1));
    EXPECT_TRUE(editor.MoveItems({A, C}, 1));
    EXPECT_EQ(Items(uid), std::vector<int32_t>({B, A, C}));
    QString message;
    ASSERT_EQ(editor.Ok(form, true, message), TChainEditor::TOkResult::Accepted);
    editor.Closed();
    EXPECT_EQ(StoredItems(uid), std::vector<int32_t>({B, A, C}));
    // The running chain walks them in the new order.
    EXPECT_EQ(HopsText(*Chains().Find(uid)->CurrentHops()),
              QStringLiteral("127.0.0.1:2 => 127.0.0.1:1 => 127.0.0.1:3"));

    ASSERT_TRUE(editor.Edit(uid, form));
    EXPECT_TRUE(editor.MoveItems({C}, -2));
    EXPECT_EQ(Items(uid), std::vector<int32_t>({C, B, A}));
    editor.Cancel();
    editor.Closed();
    EXPECT_EQ(Items(uid), std::vector<int32_t>({B, A, C}));
    EXPECT_EQ(StoredItems(uid), std::vector<int32_t>({B, A, C}));
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
    EXPECT_FALSE(Store().SavesHeld());
}
