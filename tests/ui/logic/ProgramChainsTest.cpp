// The anonymized programs against the chains as they are now (which are
// marked, what "velmora run" is given, how "--chain" names a chain), and
// which menu entry a write, an edit and a deletion touch.
#include "platform/Error.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/XdgData.h"
#include "ui/logic/ProgramMenuEntry.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

const TProgramChains Chains({{1, "Default", 1080}, {2, "Work", 9050}, {3, " work", 9060}});

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(ProgramChains, FineNoChainDeletedAndPortChanged) {
    const TProgramChainView fine = Chains.View({7, "firefox", 1, 1080});
    EXPECT_FALSE(fine.Marked());
    EXPECT_EQ(fine.ChainText + "|" + fine.PortText + "|" + fine.ToolTip, "Default|1080|");
    EXPECT_EQ(Chains.View({7, "y", std::nullopt, 0}).ChainText, "(no chain)");
    const TProgramChainView deleted = Chains.View({7, "curl", 5, 4000});
    EXPECT_EQ(deleted.State, TProgramChainState::pcsChainDeleted);
    EXPECT_EQ(deleted.ChainText + "|" + deleted.PortText, "(chain deleted)|4000");
    EXPECT_FALSE(deleted.ToolTip.isEmpty());
    const TProgramChainView moved = Chains.View({7, "wget", 1, 1081});
    EXPECT_EQ(moved.State, TProgramChainState::pcsPortChanged);
    EXPECT_EQ(moved.ChainText, "Default (port changed: chain now on 1080)");

    EXPECT_EQ(Chains.RunArguments({7, "/usr/bin/firefox", 1, 1080}),
              QStringList({"run", "--chain", "Default", "/usr/bin/firefox"}));
    try {
        Chains.RunArguments({7, "wget", 1, 1081});
        FAIL() << "a marked program got arguments";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), "\"wget\" cannot be launched: it was set to chain \"Default\" on "
                               "port 1081, but the chain now listens on port 1080. Edit it and "
                               "press OK to follow the chain.");
    }
}

TEST(ProgramChains, ChainNamedByPortWhenItsNameWouldMislead) {
    const TProgramChains chains({{1, "Work", 1080},
                                 {2, "WORK", 1081},
                                 {3, "Home", 1082},
                                 {4, "", 1083},
                                 {5, "9050", 1084},
                                 {6, "--help", 1085},
                                 {7, "My Chain", 1086},
                                 {8, " Padded", 1087}});
    QStringList got;
    for (const TChainRef &chain : chains.Chains())
        got << chains.ChainArgument(chain);
    EXPECT_EQ(got,
              QStringList({"1080", "1081", "Home", "1083", "1084", "1085", "My Chain", "1087"}));
}

TEST(ProgramMenuEntry, WriteEditAndDeleteTouchTheRowsOwnEntryOnly) {
    TXdgData xdg;
    TXdgData::PutEntry(xdg.System(), "fx.desktop", "[Desktop Entry]\nExec=firefox %u\nIcon=fx\n");
    EXPECT_EQ(TProgramMenuEntry::FileName("/usr/bin/My Fire(fox)"), "velmora-my-fire-fox.desktop");
    EXPECT_EQ(TProgramMenuEntry::FileName("$$$"), "velmora-program.desktop");
    const TAnonymProgram mine{4, "firefox", 1, 1080}, other{8, "/opt/FireFox", 1, 1080};
    const QString velmora = "/opt/Velmora Anonymizer/velmora";
    // An edit makes no entry for a row that had none.
    EXPECT_EQ(TProgramMenuEntry::Follow(mine, {4, "firefox", 2, 9050}, Chains, velmora), "");
    EXPECT_THROW(TProgramMenuEntry::Write({4, "firefox", 9, 1}, Chains, velmora), EVelmoraError);
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(mine), TProgramMenuEntry::TOwner::oNone);

    const QString path = TProgramMenuEntry::Write(mine, Chains, velmora);
    EXPECT_EQ(path, xdg.UserApplications() + "/velmora-firefox.desktop");
    TDesktopEntry entry = TDesktopEntry::Load(path);
    EXPECT_EQ(entry.Value("Exec"),
              "\"/opt/Velmora Anonymizer/velmora\" run --chain Default firefox");
    EXPECT_EQ(entry.Value("Name"), "firefox (through Velmora chain Default)");
    EXPECT_EQ(entry.Value("Icon"), "fx");
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(other), TProgramMenuEntry::TOwner::oOther);
    EXPECT_EQ(TProgramMenuEntry::RemoveFor(other), "");

    // Moved to "Work", whose name " work" shares: the entry follows, by port.
    EXPECT_EQ(TProgramMenuEntry::Follow(mine, {4, "firefox", 2, 9050}, Chains, velmora), path);
    EXPECT_TRUE(TDesktopEntry::Load(path).Value("Exec").endsWith(" run --chain 9050 firefox"));
    // Left without a chain: the entry stays as it was, and the error says why.
    const QByteArray before = ReadFile(path);
    EXPECT_THROW(TProgramMenuEntry::Follow(mine, {4, "firefox", 9, 1}, Chains, velmora),
                 EVelmoraError);
    EXPECT_EQ(ReadFile(path), before);
    // Renamed: the entry moves.
    const QString moved =
        TProgramMenuEntry::Follow(mine, {4, "waterfox", 1, 1080}, Chains, velmora);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(TProgramMenuEntry::RemoveFor({4, "waterfox", 1, 1080}), moved);
    EXPECT_FALSE(QFileInfo::exists(moved));

    // A file the user made under that name is nobody's: left alone.
    const QString handMade = TXdgData::PutEntry(xdg.Home(), "velmora-firefox.desktop", "junk");
    EXPECT_EQ(TProgramMenuEntry::RemoveFor(mine), "");
    EXPECT_EQ(ReadFile(handMade), "junk");
}
