// Choosing the chain of a launch, its arguments, and what a launch refuses
// before any program or namespace is made.

#include "anonymize/ProgramLaunch.h"
#include "store/dmProxyData.h"
#include "tests/support/Loopback.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Peers.h"
#include "tests/support/StoreSeed.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

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

TEST(ProgramLaunchRunning, OnlyASocks5ServerCountsAsTheRunningChain) {
    EXPECT_FALSE(TProgramLaunch::SocksServerAnswers(FreeLoopbackPort()));
    TLoopbackServer web([](TSocket &client) {
        char buffer[16];
        client.ReadSome(buffer, sizeof buffer);
        client.WriteAll(std::string("HTTP/1.0 400 Bad Request\r\n\r\n"));
    });
    EXPECT_FALSE(TProgramLaunch::SocksServerAnswers(web.Port()));
    if (!ProgramAvailable("microsocks"))
        GTEST_SKIP() << "microsocks is not installed";
    TMicrosocksPeer socks;
    EXPECT_TRUE(TProgramLaunch::SocksServerAnswers(socks.Port()));
}

} // namespace
