// Desktop entries: the command-line quoting of awkward arguments, the file's
// text read back by a reader of the test's own and by the desktop's tools
// (desktop-file-validate, GLib's launcher), the reading of entries written
// elsewhere, the icon search over the XDG folders, writing and removal.
#include "platform/DesktopEntry.h"
#include "platform/Error.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/support/XdgData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

using namespace VelmoraTest;

namespace {

// Arguments a program's name or a chain's name may bring along.
const QStringList Awkward = {
    QStringLiteral("plain-name_1.2"),
    QStringLiteral("My Program"),
    QStringLiteral("quote\"in"),
    QStringLiteral("$HOME"),
    QStringLiteral("back`tick`"),
    QStringLiteral("back\\slash"),
    QStringLiteral("100%"),
    QStringLiteral("%u"),
    QStringLiteral("x'y"),
    QStringLiteral("~/bin/tool"),
    QStringLiteral("a;b|c&d"),
    QStringLiteral("(paren)*?#<>"),
    QStringLiteral("tab\there"),
    QStringLiteral("line\nbreak"),
    QStringLiteral("  spaced  "),
    QStringLiteral("Größe"),
    QString(),
};

// The test's own reader of what a desktop uses: the "[Desktop Entry]" lines,
// the string escapes, then the command line's quotes and "%%".
std::map<QString, QString> ReadGroup(const QByteArray &text) {
    std::map<QString, QString> keys;
    bool in = false;
    for (const QString &line : QString::fromUtf8(text).split('\n')) {
        if (line.startsWith('['))
            in = line == "[Desktop Entry]";
        const qsizetype eq = line.indexOf('=');
        if (!in || eq < 0)
            continue;
        QString value;
        const QString raw = line.mid(eq + 1);
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const QChar e = raw[++i];
            if (e == 's')
                value += ' ';
            else if (e == 'n')
                value += '\n';
            else if (e == 't')
                value += '\t';
            else if (e == 'r')
                value += '\r';
            else if (e == '\\')
                value += '\\';
            else
                value += QStringLiteral("\\") + e;
        }
        keys[line.left(eq)] = value;
    }
    return keys;
}

QStringList SplitExec(const QString &exec) {
    QStringList args;
    QString cur;
    bool quoted = false, any = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size() && QString("\"`$\\").contains(exec[i + 1]))
            cur += exec[++i];
        else if (c == '"')
            quoted = !quoted, any = true;
        else if (c == ' ' && !quoted) {
            if (any)
                args << cur;
            cur.clear(), any = false;
        } else
            cur += c, any = true;
    }
    if (any)
        args << cur;
    for (QString &a : args)
        a.replace("%%", "%");
    return args;
}

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Installed(const char *program) {
    return !QStandardPaths::findExecutable(QLatin1String(program)).isEmpty();
}

} // namespace

TEST(DesktopEntryQuoting, ArgumentsAreQuotedOnlyWhenTheyMustBe) {
    EXPECT_EQ(TDesktopEntry::QuoteArgument("/usr/bin/firefox"), "/usr/bin/firefox");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("--chain"), "--chain");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("100%"), "100%%");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("My Program"), "\"My Program\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("a\"b`c$d\\e"), "\"a\\\"b\\`c\\$d\\\\e\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("50% off"), "\"50%% off\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("x'y"), "\"x'y\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("~/bin"), "\"~/bin\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument(""), "\"\"");
    EXPECT_EQ(TDesktopEntry::CommandLine({"/opt/v m/velmora", "run", "My App"}),
              "\"/opt/v m/velmora\" run \"My App\"");
}

TEST(DesktopEntryQuoting, EveryArgumentComesBackWhole) {
    const QString line = TDesktopEntry::CommandLine(Awkward);
    EXPECT_EQ(TDesktopEntry::SplitCommandLine(line), Awkward) << line.toStdString();
    EXPECT_EQ(SplitExec(line), Awkward) << line.toStdString();
    // Field codes of entries written elsewhere are left for their launcher.
    EXPECT_EQ(TDesktopEntry::SplitCommandLine("  /usr/bin/app   --new %U "),
              QStringList({"/usr/bin/app", "--new", "%U"}));
    try {
        TDesktopEntry::SplitCommandLine("\"/opt/My App/app %u");
        FAIL() << "an open quote was taken";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(),
                  "The command line \"\"/opt/My App/app %u\" has a quote that is never closed.");
    }
}

TEST(DesktopEntryFile, TextReadBackByAnotherReader) {
    TDesktopEntry entry;
    entry.SetValue("Type", "Application");
    entry.SetValue("Name", "first");
    entry.SetValue("Exec", TDesktopEntry::CommandLine(Awkward));
    entry.SetValue("Name", "  Größe\\tab\t(through chain) "); // set again: keeps its place
    const QByteArray text = entry.ToText();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\nName=\\s\\sGr"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("\\\\tab\\t(through chain)\\s\n")) << text.toStdString();
    EXPECT_EQ(text.count("Name="), 1);
    // One backslash of an argument is four in the file.
    EXPECT_TRUE(text.contains("\"back\\\\\\\\slash\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("\"\\\\$HOME\"")) << text.toStdString();

    const auto keys = ReadGroup(text);
    EXPECT_EQ(keys.at("Name"), "  Größe\\tab\t(through chain) ");
    EXPECT_EQ(SplitExec(keys.at("Exec")), Awkward);
    // And by its own reader.
    const TDesktopEntry back = TDesktopEntry::FromText(text);
    EXPECT_EQ(back.Keys(), entry.Keys());
}

TEST(DesktopEntryFile, EntriesWrittenElsewhereAreRead) {
    const TDesktopEntry entry = TDesktopEntry::FromText("# a comment\n"
                                                        "\n"
                                                        "[Desktop Entry]\n"
                                                        "Name = Web Browser\n"
                                                        "Name[de]=Webbrowser\n"
                                                        "Exec=/usr/lib/firefox-esr/firefox-esr %u\n"
                                                        "Icon=firefox-esr\n"
                                                        "Icon=second\n"
                                                        "Keywords=a\\;b;\n"
                                                        "\n"
                                                        "[Desktop Action new-window]\n"
                                                        "Exec=/usr/bin/other\n"
                                                        "[Desktop Entry]\n"
                                                        "TryExec=again\n");
    EXPECT_EQ(entry.Value("Name"), "Web Browser");
    EXPECT_EQ(entry.Value("Name[de]"), "Webbrowser");
    EXPECT_EQ(entry.Value("Exec"), "/usr/lib/firefox-esr/firefox-esr %u");
    EXPECT_EQ(entry.Value("Icon"), "firefox-esr");
    EXPECT_EQ(entry.Value("Keywords"), "a\\;b;"); // a list's escape is the list's own
    EXPECT_FALSE(entry.Contains("TryExec"));
    try {
        TDesktopEntry::FromText("[Other]\nName=x\n");
        FAIL() << "no group, no error";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), "Not a menu entry: there is no [Desktop Entry] group.");
    }
}

TEST(DesktopEntryFile, ControlCharactersAreRefusedAndNothingIsWritten) {
    QTemporaryDir dir;
    const QString path = dir.filePath("x.desktop");
    TDesktopEntry good;
    good.SetValue("Name", "kept");
    good.Save(path);
    TDesktopEntry bad;
    bad.SetValue("Name", QStringLiteral("bell\a"));
    try {
        bad.Save(path);
        FAIL() << "saved";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(),
                  "The menu entry's Name holds a control character, which a menu entry cannot "
                  "carry.");
    }
    EXPECT_EQ(ReadFile(path), "[Desktop Entry]\nName=kept\n");
}

TEST(DesktopEntryFile, SaveMakesTheFolderLoadAndRemoveReportFailures) {
    QTemporaryDir dir;
    const QString path = dir.filePath("new/applications/velmora-x.desktop");
    TDesktopEntry entry;
    entry.SetValue("Type", "Application");
    entry.Save(path);
    EXPECT_EQ(TDesktopEntry::Load(path).Value("Type"), "Application");
    EXPECT_TRUE(TDesktopEntry::Remove(path));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(TDesktopEntry::Remove(path)); // none there

    // A plain file where the folder should be.
    QFile blocker(dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    try {
        entry.Save(dir.filePath("blocker/velmora-x.desktop"));
        FAIL() << "saved";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("Cannot write the menu entry \"%1\": the folder \"%2\" "
                                 "cannot be made.")
                      .arg(dir.filePath("blocker/velmora-x.desktop"), dir.filePath("blocker")));
    }
    EXPECT_THROW(TDesktopEntry::Load(dir.filePath("missing.desktop")), EVelmoraError);
    // A folder by that name cannot be removed as a file.
    QDir().mkpath(dir.filePath("folder.desktop"));
    EXPECT_THROW(TDesktopEntry::Remove(dir.filePath("folder.desktop")), EVelmoraError);
    EXPECT_TRUE(QFileInfo(dir.filePath("folder.desktop")).isDir());
}

TEST(DesktopEntryFile, SafeNames) {
    EXPECT_EQ(TDesktopEntry::SafeName("Firefox"), "firefox");
    EXPECT_EQ(TDesktopEntry::SafeName("My Program (x86).exe"), "my-program-x86-.exe");
    EXPECT_EQ(TDesktopEntry::SafeName("tor_browser-13.0"), "tor_browser-13.0");
    EXPECT_EQ(TDesktopEntry::SafeName("Größe"), "gr-e");
    EXPECT_EQ(TDesktopEntry::SafeName("$ `x` $"), "x");
    EXPECT_EQ(TDesktopEntry::SafeName(".."), "");
    EXPECT_EQ(TDesktopEntry::SafeName("!!!"), "");
}

// The desktop's own tools, where installed, judge what is written.
TEST(DesktopEntryFile, TheDesktopsToolsAcceptTheEntryAndGetTheArguments) {
    if (!Installed("desktop-file-validate") || !Installed("gio"))
        GTEST_SKIP() << "desktop-file-utils or libglib2.0-bin not installed";
    QTemporaryDir dir;
    const QString out = dir.filePath("args");
    const QString path = dir.filePath("velmora-test.desktop");
    TDesktopEntry entry;
    entry.SetValue("Type", "Application");
    entry.SetValue("Version", "1.4");
    entry.SetValue("Name", "Größe (through Velmora chain \"Work\")");
    entry.SetValue("Comment", "Runs it");
    // The shell prints each argument it is given, 0-terminated.
    entry.SetValue("Exec", TDesktopEntry::CommandLine(
                               QStringList{"/bin/sh", "-c",
                                           "for a; do printf '%s\\0' \"$a\"; done > \"$0\"", out} +
                               Awkward));
    entry.SetValue("Icon", "application-x-executable");
    entry.SetValue("Terminal", "false");
    entry.SetValue("Categories", "Network;");
    entry.SetValue("X-Velmora-Program-UID", "7");
    entry.Save(path);

    const TRunResult valid = RunProgram({"desktop-file-validate", path.toStdString()}, 20000);
    EXPECT_EQ(valid.ExitCode, 0) << valid.Out << valid.Err;
    EXPECT_EQ(valid.Out + valid.Err, "");

    const TRunResult launched = RunProgram({"gio", "launch", path.toStdString()}, 20000);
    ASSERT_EQ(launched.ExitCode, 0) << launched.Out << launched.Err;
    QByteArray printed;
    ASSERT_TRUE(WaitFor(
        [&] {
            printed = ReadFile(out);
            return printed.count('\0') == Awkward.size();
        },
        10000))
        << printed.toStdString();
    QStringList got = QString::fromUtf8(printed).split(QChar(0));
    got.removeLast();
    EXPECT_EQ(got, Awkward);
}

TEST(DesktopEntryIcon, FoundByTheProgramsFileNameInTheXdgFolders) {
    TXdgData xdg;
    TXdgData::PutEntry(xdg.System(), "firefox-esr.desktop",
                       "[Desktop Entry]\nType=Application\nName=Firefox ESR\n"
                       "Exec=/usr/lib/firefox-esr/firefox-esr %u\nIcon=firefox-esr\n");
    TXdgData::PutEntry(xdg.System(), "vendor/tool.desktop",
                       "[Desktop Entry]\nName=Tool\nExec=\"/opt/My Tools/Tool\" %F\n"
                       "Icon=/opt/My Tools/tool.png\n");
    TXdgData::PutEntry(
        xdg.System(), "tried.desktop",
        "[Desktop Entry]\nName=T\nTryExec=tried\nExec=env X=1 tried\nIcon=tried-icon\n");
    TXdgData::PutEntry(xdg.System(), "noicon.desktop", "[Desktop Entry]\nName=N\nExec=noicon\n");
    TXdgData::PutEntry(xdg.System(), "broken.desktop", "[Desktop Entry]\nExec=\"broken\nIcon=b\n");
    TXdgData::PutEntry(xdg.System(), "gone.desktop",
                       "[Desktop Entry]\nName=G\nExec=gone\nIcon=gone-icon\n");
    // This user's entry comes first; a hidden one is a deleted one.
    TXdgData::PutEntry(xdg.Home(), "mine.desktop",
                       "[Desktop Entry]\nName=F\nExec=firefox-esr --private\nIcon=my-firefox\n");
    TXdgData::PutEntry(xdg.Home(), "gone.desktop",
                       "[Desktop Entry]\nHidden=true\nExec=gone\nIcon=x\n");

    ASSERT_EQ(TDesktopEntry::ApplicationFolders().front(), xdg.UserApplications());
    EXPECT_EQ(TDesktopEntry::UserApplicationFolder(), xdg.UserApplications());
    EXPECT_EQ(TDesktopEntry::FindIcon("firefox-esr"), "my-firefox");
    EXPECT_EQ(TDesktopEntry::FindIcon("/usr/local/bin/Firefox-ESR"), "my-firefox");
    EXPECT_EQ(TDesktopEntry::FindIcon("tool"), "/opt/My Tools/tool.png");
    EXPECT_EQ(TDesktopEntry::FindIcon("tried"), "tried-icon"); // by TryExec: Exec starts with env
    EXPECT_EQ(TDesktopEntry::FindIcon("gone"), ""); // hidden by this user's entry of that ID
    EXPECT_EQ(TDesktopEntry::FindIcon("noicon"), "");
    EXPECT_EQ(TDesktopEntry::FindIcon("broken"), "");
    EXPECT_EQ(TDesktopEntry::FindIcon("firefox"), "");
    EXPECT_EQ(TDesktopEntry::FindIcon(""), "");
}
