// Choosing the chain of a launch, its arguments, and what a launch refuses
// before any program or namespace is made.

#include "anonymize/ProgramLaunch.h"
#include "platform/PortHolder.h"
#include "store/dmProxyData.h"
#include "tests/support/Loopback.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Peers.h"
#include "tests/support/StoreSeed.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <iostream>
#include <unistd.h>

using namespace VelmoraTest;

namespace {

class ProgramLaunchTest : public ::testing::Test {
protected:
    QTemporaryDir Data;
    std::unique_ptr<TdmProxyData> Store;
    int32_t Proxy = 0;

    void SetUp() override {
        const QString folder = Data.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        Store = std::make_unique<TdmProxyData>(folder);
        Store->LoadData();
        Proxy = SeedProxy(*Store, 1, TProxyType::ptSOCKS5);
    }

    void AddProgram(const QString &file, int32_t chainUID) {
        TDataTable &t = Store->cdsAnonymizedList();
        t.Append();
        t.FieldByName("Filename").SetAsString(file);
        t.FieldByName("ChainUID").SetAsInteger(chainUID);
        t.Post();
    }

    // The message of the ELaunchUsage that choosing throws.
    std::string Refusal(const QString &chain, const QString &program) {
        try {
            TProgramLaunch::ChooseChain(*Store, chain, program);
        } catch (const ELaunchUsage &e) {
            return e.what();
        }
        ADD_FAILURE() << "no refusal for " << chain.toStdString() << " " << program.toStdString();
        return {};
    }
};

TEST(ProgramLaunchParse, OptionsComeBeforeTheProgramWhoseOwnArgumentsAreLeftAlone) {
    const auto o = TProgramLaunch::Parse(
        {"--chain", "Work", "--verbose", "curl", "--chain", "x", "--preload"});
    EXPECT_EQ(o.Chain, "Work");
    EXPECT_TRUE(o.Verbose);
    EXPECT_FALSE(o.Preload);
    EXPECT_EQ(o.Program, QStringList({"curl", "--chain", "x", "--preload"}));

    const auto p = TProgramLaunch::Parse({"--preload", "--chain=41090", "--", "--odd-name"});
    EXPECT_TRUE(p.Preload);
    EXPECT_EQ(p.Chain, "41090");
    EXPECT_EQ(p.Program, QStringList({"--odd-name"}));
    EXPECT_FALSE(p.NoSound);
    EXPECT_TRUE(p.User.isEmpty());

    const auto q = TProgramLaunch::Parse({"--no-sound", "--user", "alice", "mpv"});
    EXPECT_TRUE(q.NoSound);
    EXPECT_EQ(q.User, "alice");
    EXPECT_EQ(TProgramLaunch::Parse({"--user=bob", "mpv"}).User, "bob");

    for (const QStringList &bad :
         {QStringList{}, QStringList{"--verbose"}, QStringList{"--chain"},
          QStringList{"--chain", " ", "curl"}, QStringList{"--unknown", "curl"},
          QStringList{"--user"}, QStringList{"--user", " ", "curl"},
          QStringList{"--user=", "curl"}})
        EXPECT_THROW(TProgramLaunch::Parse(bad), ELaunchUsage) << bad.join(' ').toStdString();
}

TEST_F(ProgramLaunchTest, ChainByNameOrPortOrTheProgramsOwnRow) {
    const int32_t work = SeedChain(*Store, "Work", 41090, {Proxy});
    const int32_t home = SeedChain(*Store, "Home", 41091, {Proxy});
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "Work", "curl"), work);
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "home", "curl"), home); // any case
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "41091", "curl"), home);

    // The row is found by file name, without regard to case or folder.
    AddProgram("Firefox", home);
    AddProgram("/usr/bin/curl", work);
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "", "/usr/lib/firefox/firefox"), home);
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "", "curl"), work);
    // A named chain wins over the row.
    EXPECT_EQ(TProgramLaunch::ChooseChain(*Store, "Home", "curl"), home);
}

TEST_F(ProgramLaunchTest, NoChainGivesAnErrorThatListsTheChains) {
    SeedChain(*Store, "Work", 41090, {Proxy});
    const int32_t gone = SeedChain(*Store, "Gone", 41092, {Proxy});
    AddProgram("wget", gone);
    ASSERT_TRUE(Store->DeleteChain(gone));

    const std::string unlisted = Refusal("", "/usr/bin/curl");
    EXPECT_NE(unlisted.find("\"curl\" is not on the Anonymize Program page"), std::string::npos);
    EXPECT_NE(unlisted.find("--chain"), std::string::npos);
    EXPECT_NE(unlisted.find("\"Work\" (port 41090)"), std::string::npos) << unlisted;

    EXPECT_NE(Refusal("", "wget").find("no longer exists"), std::string::npos);
    EXPECT_NE(Refusal("Play", "curl").find("no chain named \"Play\""), std::string::npos);
    EXPECT_NE(Refusal("1234", "curl").find("no chain on port \"1234\""), std::string::npos);

    SeedChain(*Store, "Work", 41093, {Proxy});
    const std::string twice = Refusal("Work", "curl");
    EXPECT_NE(twice.find("more than one chain is named \"Work\""), std::string::npos) << twice;
    EXPECT_NE(twice.find("port 41093"), std::string::npos);
}

TEST_F(ProgramLaunchTest, AChainThatDoesNotRunAndHasABadProxyIsNotStarted) {
    const int32_t dead = SeedProxy(*Store, 2, TProxyType::ptSOCKS5, TProxyStatus::psUnavailable);
    SeedChain(*Store, "Work", FreeLoopbackPort(), {Proxy, dead});
    TProgramLaunch::TOptions options;
    options.Chain = "Work";
    options.Program = {"true"};
    try {
        TProgramLaunch::Run(*Store, options, [](const QString &) {});
        FAIL() << "the launch went ahead";
    } catch (const EVelmoraError &e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("Chain \"Work\""), std::string::npos) << message;
        EXPECT_NE(message.find("127.0.0.1:2 (TIME OUT)"), std::string::npos) << message;
        EXPECT_EQ(message.find("127.0.0.1:1 "), std::string::npos) << message; // the OK one
    }
}

// What once made a port count as the running chain: a SOCKS 5 greeting
// answered. Kept here only to show that the squatters below would have
// passed it.
bool AnswersSocks5(uint16_t port) {
    try {
        TSocket s = TSocket::Connect("127.0.0.1", port, 1000);
        s.SetReadTimeout(1000);
        const uint8_t greeting[3] = {5, 1, 0};
        s.WriteAll(greeting, sizeof greeting);
        uint8_t reply[2] = {};
        s.ReadExact(reply, sizeof reply);
        return reply[0] == 5 && reply[1] == 0;
    } catch (const EVelmoraError &) {
        return false;
    }
}

// A chain's port held by a SOCKS 5 server that is not a verified instance
// (a stub of this process, microsocks like `ssh -D`): the launch is refused
// before anything runs, naming the port and the holder, and the squatter
// receives nothing beyond the probe of the test itself.
TEST_F(ProgramLaunchTest, AChainPortHeldByAnotherSocksServerIsRefusedWithItsHolder) {
    QTemporaryDir runtime; // no instance runs there
    const QByteArray before = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    EXPECT_FALSE(TPortHolder::Find(FreeLoopbackPort()).has_value());

    TLoopbackServer stub([](TSocket &client) {
        uint8_t greeting[3];
        client.ReadExact(greeting, sizeof greeting);
        const uint8_t accept[2] = {5, 0};
        client.WriteAll(accept, sizeof accept);
        client.ReadSome(greeting, 1);
    });
    std::unique_ptr<TMicrosocksPeer> microsocks;
    if (ProgramAvailable("microsocks"))
        microsocks = std::make_unique<TMicrosocksPeer>();
    struct TSquatter {
        uint16_t Port;
        std::string Holder;
        const TLoopbackServer *Counted;
    };
    std::vector<TSquatter> squatters{
        {stub.Port(), " (process " + std::to_string(::getpid()) + ", uid ", &stub}};
    if (microsocks)
        squatters.push_back({microsocks->Port(),
                             "microsocks (process " + std::to_string(microsocks->Pid()), nullptr});
    for (const TSquatter &squatter : squatters) {
        ASSERT_TRUE(AnswersSocks5(squatter.Port)) << "the old detection would not have taken it";
        const int probed = squatter.Counted ? squatter.Counted->Accepted() : 0;
        const QString name = QStringLiteral("On%1").arg(squatter.Port);
        SeedChain(*Store, name, squatter.Port, {Proxy});
        TProgramLaunch::TOptions options;
        options.Chain = name;
        options.Program = {"true"};
        try {
            TProgramLaunch::Run(*Store, options, [](const QString &) {});
            ADD_FAILURE() << "the launch went ahead on port " << squatter.Port;
        } catch (const EVelmoraError &e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("Port " + std::to_string(squatter.Port)), std::string::npos)
                << message;
            EXPECT_NE(message.find(squatter.Holder), std::string::npos) << message;
            EXPECT_NE(message.find("nothing was run"), std::string::npos) << message;
        }
        if (squatter.Counted)
            EXPECT_EQ(squatter.Counted->Accepted(), probed) << "the squatter was contacted";
    }
    if (!microsocks)
        std::cout << "microsocks is not installed: only the stub was tried\n";
    if (before.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", before);
}

} // namespace
