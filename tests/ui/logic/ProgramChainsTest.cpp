// The anonymized programs against the chains as they are now: which are
// marked and why, how "--chain" names a chain, what "velmora run" is given,
// and the same read from a store whose chains change under the programs.
#include "ui/logic/ProgramChains.h"
#include "platform/Error.h"
#include "tests/ui/logic/LogicTestSupport.h"

#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

TAnonymProgram Program(const QString &file, std::optional<int32_t> chain, int32_t port) {
    return {7, file, chain, port};
}

const TProgramChains Chains({{1, "Default", 1080}, {2, "Work", 9050}});

} // namespace

TEST(ProgramChains, FineDeletedPortChangedAndNoChain) {
    const TProgramChainView fine = Chains.View(Program("firefox", 2, 9050));
    EXPECT_EQ(fine.State, TProgramChainState::pcsFine);
    EXPECT_FALSE(fine.Marked());
    EXPECT_EQ(fine.ChainText, "Work");
    EXPECT_EQ(fine.PortText, "9050");
    EXPECT_EQ(fine.ToolTip, "");
    ASSERT_TRUE(fine.Chain);
    EXPECT_EQ(fine.Chain->UID, 2);

    const TProgramChainView deleted = Chains.View(Program("curl", 5, 4000));
    EXPECT_EQ(deleted.State, TProgramChainState::pcsChainDeleted);
    EXPECT_TRUE(deleted.Marked());
    EXPECT_EQ(deleted.ChainText, "(chain deleted)");
    EXPECT_EQ(deleted.PortText, "4000");
    EXPECT_FALSE(deleted.Chain);
    EXPECT_NE(deleted.ToolTip.indexOf("has been deleted"), -1);

    const TProgramChainView moved = Chains.View(Program("wget", 1, 1081));
    EXPECT_EQ(moved.State, TProgramChainState::pcsPortChanged);
    EXPECT_EQ(moved.ChainText, "Default (port changed: chain now on 1080)");
    EXPECT_EQ(moved.PortText, "1081");
    EXPECT_EQ(moved.ToolTip,
              "This program was set to chain \"Default\" on port 1081, but the chain now listens "
              "on port 1080, so its connections would miss the chain. Edit it and press OK to "
              "follow the chain.");

    const TProgramChainView none = Chains.View(Program("y.exe", std::nullopt, 0));
    EXPECT_EQ(none.State, TProgramChainState::pcsNoChain);
    EXPECT_EQ(none.ChainText, "(no chain)");
    EXPECT_EQ(none.PortText, "");
    EXPECT_TRUE(none.Marked());
}

TEST(ProgramChains, RunArgumentsAndRefusals) {
    EXPECT_EQ(Chains.RunArguments(Program("/usr/bin/firefox", 2, 9050)),
              QStringList({"run", "--chain", "Work", "/usr/bin/firefox"}));
    EXPECT_EQ(Chains.Refusal(Program("firefox", 2, 9050), "launched"), "");
    EXPECT_EQ(Chains.Refusal(Program("curl", 5, 4000), "launched"),
              "\"curl\" cannot be launched: its chain has been deleted. Edit it and choose "
              "another chain.");
    EXPECT_EQ(Chains.Refusal(Program("wget", 1, 1081), "added to the menu"),
              "\"wget\" cannot be added to the menu: it was set to chain \"Default\" on port "
              "1081, but the chain now listens on port 1080. Edit it and press OK to follow the "
              "chain.");
    EXPECT_EQ(Chains.Refusal(Program("y.exe", std::nullopt, 0), "launched"),
              "\"y.exe\" cannot be launched: it has no chain. Edit it and choose a chain.");
    try {
        Chains.RunArguments(Program("wget", 1, 1081));
        FAIL() << "a marked program got arguments";
    } catch (const EVelmoraError &e) {
        EXPECT_TRUE(e.Message().startsWith("\"wget\" cannot be launched: it was set to chain"))
            << e.what();
    }
}

TEST(ProgramChains, ChainNamedByPortWhenItsNameWouldMislead) {
    const TProgramChains chains({{1, "Work", 1080},
                                 {2, " work ", 1081},
                                 {3, "Home", 1082},
                                 {4, "", 1083},
                                 {5, "9050", 1084},
                                 {6, "--help", 1085},
                                 {7, "My Chain", 1086},
                                 {8, " Padded", 1087}});
    const auto arg = [&](int index) { return chains.ChainArgument(chains.Chains()[index]); };
    EXPECT_EQ(arg(0), "1080"); // "Work" twice, letter case and spaces aside
    EXPECT_EQ(arg(1), "1081");
    EXPECT_EQ(arg(2), "Home");
    EXPECT_EQ(arg(3), "1083");
    EXPECT_EQ(arg(4), "1084"); // would be read as a port
    EXPECT_EQ(arg(5), "1085"); // would be read as an option
    EXPECT_EQ(arg(6), "My Chain");
    EXPECT_EQ(arg(7), "1087");
}

TEST(ProgramChains, ReadFromTheStoreAsItsChainsChange) {
    TDataFixture f(TDataFixture::TData::Sample);
    f.Store().LoadData();
    const std::vector<TAnonymProgram> programs = TProgramChains::Programs(f.Store());
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0].Filename, "x.exe");
    EXPECT_EQ(programs[0].ChainUID, 2);
    EXPECT_EQ(programs[0].ChainPort, 9050);
    EXPECT_EQ(programs[1].ChainUID, std::nullopt); // saved without a chain
    EXPECT_EQ(TProgramChains::Program(f.Store(), 2)->Filename, "y.exe");
    EXPECT_FALSE(TProgramChains::Program(f.Store(), 99));

    EXPECT_EQ(TProgramChains::FromStore(f.Store()).View(programs[0]).State,
              TProgramChainState::pcsFine);
    ASSERT_TRUE(f.Store().LocateChainRecord(2));
    TDataTable &c = f.Store().cdsChainedProxies();
    c.Edit();
    c.FieldByName("LocalServerPort").SetAsInteger(9051);
    c.Post();
    EXPECT_EQ(TProgramChains::FromStore(f.Store()).View(programs[0]).ChainText,
              "Work (port changed: chain now on 9051)");
    ASSERT_TRUE(f.Store().DeleteChain(2));
    EXPECT_EQ(TProgramChains::FromStore(f.Store()).View(programs[0]).State,
              TProgramChainState::pcsChainDeleted);
}
