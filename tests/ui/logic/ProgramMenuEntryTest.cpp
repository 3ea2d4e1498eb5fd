// A program's menu entry: its file name, what it holds, and which file a
// write, a deletion and an edit touch, on desktop folders of the test's own.
#include "ui/logic/ProgramMenuEntry.h"
#include "platform/Error.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/XdgData.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

const TProgramChains Chains({{1, "Default", 1080}, {2, "Work", 9050}, {3, "Work", 9060}});
const QString Velmora = QStringLiteral("/opt/Velmora Anonymizer/velmora");

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(ProgramMenuEntry, FileNames) {
    EXPECT_EQ(TProgramMenuEntry::FileName("firefox"), "velmora-firefox.desktop");
    EXPECT_EQ(TProgramMenuEntry::FileName("/usr/bin/Firefox"), "velmora-firefox.desktop");
    EXPECT_EQ(TProgramMenuEntry::FileName("My Program.AppImage"),
              "velmora-my-program.appimage.desktop");
    EXPECT_EQ(TProgramMenuEntry::FileName("/opt/tools/"), "velmora-program.desktop");
    EXPECT_EQ(TProgramMenuEntry::FileName("$$$"), "velmora-program.desktop");
}

TEST(ProgramMenuEntry, ComposedEntry) {
    const TDesktopEntry entry =
        TProgramMenuEntry::Compose({4, "/usr/bin/firefox", 1, 1080}, Chains, Velmora, "");
    EXPECT_EQ(entry.Value("Type"), "Application");
    EXPECT_EQ(entry.Value("Name"), "firefox (through Velmora chain Default)");
    EXPECT_EQ(entry.Value("Exec"),
              "\"/opt/Velmora Anonymizer/velmora\" run --chain Default /usr/bin/firefox");
    EXPECT_EQ(entry.Value("Icon"), "application-x-executable");
    EXPECT_EQ(entry.Value("Terminal"), "false");
    EXPECT_EQ(entry.Value("Categories"), "Network;");
    EXPECT_FALSE(entry.Value("Comment").isEmpty());
    EXPECT_EQ(entry.Value(TProgramMenuEntry::OwnerKey), "4");

    // "Work" names two chains: the port is given instead.
    const TDesktopEntry work =
        TProgramMenuEntry::Compose({5, "My App", 3, 9060}, Chains, Velmora, "my-app");
    EXPECT_EQ(TDesktopEntry::SplitCommandLine(work.Value("Exec")),
              QStringList({Velmora, "run", "--chain", "9060", "My App"}));
    EXPECT_EQ(work.Value("Icon"), "my-app");

    EXPECT_THROW(TProgramMenuEntry::Compose({6, "curl", 9, 1}, Chains, Velmora, ""), EVelmoraError);
}

TEST(ProgramMenuEntry, WriteTakesTheProgramsIcon) {
    TXdgData xdg;
    TXdgData::PutEntry(xdg.System(), "org.mozilla.firefox.desktop",
                       "[Desktop Entry]\nName=Firefox\nExec=firefox %u\nIcon=firefox\n");
    const QString path =
        TProgramMenuEntry::Write({4, "/usr/bin/firefox", 2, 9050}, Chains, Velmora);
    EXPECT_EQ(path, xdg.UserApplications() + "/velmora-firefox.desktop");
    const TDesktopEntry written = TDesktopEntry::Load(path);
    EXPECT_EQ(written.Value("Icon"), "firefox");
    EXPECT_EQ(written.Value("Name"), "firefox (through Velmora chain Work)");
}

TEST(ProgramMenuEntry, DeleteAndEditTouchTheRowsOwnEntryOnly) {
    TXdgData xdg;
    const TAnonymProgram mine{4, "firefox", 1, 1080};
    const TAnonymProgram other{8, "Firefox", 2, 9050}; // the same file name
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(mine), TProgramMenuEntry::TOwner::oNone);
    EXPECT_EQ(TProgramMenuEntry::RemoveFor(mine), "");
    EXPECT_EQ(TProgramMenuEntry::Follow(mine, {4, "firefox", 2, 9050}, Chains, Velmora), "");
    EXPECT_FALSE(QFileInfo::exists(TProgramMenuEntry::Path("firefox"))); // none made by an edit

    const QString path = TProgramMenuEntry::Write(mine, Chains, Velmora);
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(mine), TProgramMenuEntry::TOwner::oThis);
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(other), TProgramMenuEntry::TOwner::oOther);
    EXPECT_EQ(TProgramMenuEntry::RemoveFor(other), "");
    EXPECT_TRUE(QFileInfo::exists(path));

    // The chain changed in the dialog: the entry follows ("Work" names two
    // chains, so the port stands for it).
    EXPECT_EQ(TProgramMenuEntry::Follow(mine, {4, "firefox", 2, 9050}, Chains, Velmora), path);
    EXPECT_TRUE(ReadFile(path).contains("run --chain 9050 firefox\n")) << ReadFile(path).data();
    // Renamed: the entry moves to the new name.
    const QString moved = TProgramMenuEntry::Follow({4, "firefox", 2, 9050},
                                                    {4, "waterfox", 2, 9050}, Chains, Velmora);
    EXPECT_EQ(moved, xdg.UserApplications() + "/velmora-waterfox.desktop");
    EXPECT_FALSE(QFileInfo::exists(path));
    // Left without a chain: the entry stays as it was and the error says why.
    const QByteArray before = ReadFile(moved);
    EXPECT_THROW(TProgramMenuEntry::Follow({4, "waterfox", 2, 9050}, {4, "waterfox", 9, 9050},
                                           Chains, Velmora),
                 EVelmoraError);
    EXPECT_EQ(ReadFile(moved), before);

    EXPECT_EQ(TProgramMenuEntry::RemoveFor({4, "waterfox", 2, 9050}), moved);
    EXPECT_FALSE(QFileInfo::exists(moved));

    // A file the user made under that name is nobody's: left alone.
    const QString handMade = TXdgData::PutEntry(xdg.Home(), "velmora-firefox.desktop", "junk");
    EXPECT_EQ(TProgramMenuEntry::OwnerOf(mine), TProgramMenuEntry::TOwner::oOther);
    EXPECT_EQ(TProgramMenuEntry::RemoveFor(mine), "");
    EXPECT_EQ(ReadFile(handMade), "junk");
}
