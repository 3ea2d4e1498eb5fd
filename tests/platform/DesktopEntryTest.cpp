// Desktop entries: awkward arguments quoted and read back (by a minimal
// reader of the test's own, and by the desktop's own tools where
// installed), refused values, write and removal failures, and the icon
// search over XDG folders of the test's own.
#include "platform/DesktopEntry.h"
#include "platform/Error.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/Process.h"
#include "tests/support/XdgData.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

const QStringList Awkward = {"My Program", "quote\"in", "$HOME", "back`tick", "back\\slash",
                             "100%",       "%u",        "x'y",   "~/bin",     "a;b|c&(d)*?#<>",
                             "tab\there",  "line\nbr",  " pad ", "Größe",     ""};

// The Exec line as a desktop reads it: the "[Desktop Entry]" line's string
// escapes undone, then split at spaces outside quotes, then "%%" read as '%'.
QStringList ReadExec(const QByteArray &text) {
    const QString line = QString::fromUtf8(text).section("\nExec=", 1).section('\n', 0, 0);
    QString exec;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            exec += line[i];
            continue;
        }
        const QChar e = line[++i];
        exec += e == 's' ? QChar(' ') : e == 'n' ? QChar('\n') : e == 't' ? QChar('\t') : e;
    }
    QStringList args;
    QString cur;
    bool quoted = false, any = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size() && QString("\"`$\\").contains(exec[i + 1])) {
            cur += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any)
                args << cur;
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any)
        args << cur;
    return args.replaceInStrings("%%", "%");
}

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(DesktopEntry, AwkwardArgumentsSurviveQuotingAndTheFile) {
    EXPECT_EQ(TDesktopEntry::QuoteArgument("/usr/bin/firefox"), "/usr/bin/firefox");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("100%"), "100%%");
    EXPECT_EQ(TDesktopEntry::QuoteArgument("a\"b`c$d\\e f"), "\"a\\\"b\\`c\\$d\\\\e f\"");
    EXPECT_EQ(TDesktopEntry::QuoteArgument(""), "\"\"");

    TDesktopEntry entry;
    entry.SetValue("Name", " padded ");
    entry.SetValue("Exec", TDesktopEntry::CommandLine(Awkward));
    const QByteArray text = entry.ToText();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nName=\\spadded\\s\nExec=")) << text.data();
    EXPECT_TRUE(text.contains("\"back\\\\\\\\slash\"")) << text.data(); // one '\' is four
    EXPECT_EQ(ReadExec(text), Awkward);
    const TDesktopEntry back = TDesktopEntry::FromText(text);
    EXPECT_EQ(back.Keys(), entry.Keys());
    EXPECT_EQ(TDesktopEntry::SplitCommandLine(back.Value("Exec")), Awkward);
    EXPECT_THROW(TDesktopEntry::SplitCommandLine("\"/opt/x %u"), EVelmoraError);
    EXPECT_THROW(TDesktopEntry::FromText("[Other]\nName=x\n"), EVelmoraError);
}

TEST(DesktopEntry, BadValuesAndFailuresLeaveTheFileAsItWas) {
    QTemporaryDir dir;
    const QString path = dir.filePath("apps/x.desktop"); // the folder is made
    TDesktopEntry good;
    good.SetValue("Name", "kept");
    good.Save(path);
    TDesktopEntry bad;
    bad.SetValue("Name", "bell\a");
    try {
        bad.Save(path);
        FAIL() << "saved";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), "The menu entry's Name holds a control character, which a menu "
                               "entry cannot carry.");
    }
    EXPECT_EQ(ReadFile(path), "[Desktop Entry]\nName=kept\n");
    try {
        good.Save(path + "/below-a-file.desktop");
        FAIL() << "saved";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), "Cannot write the menu entry \"" + path +
                                   "/below-a-file.desktop\": the folder \"" + path +
                                   "\" cannot be made.");
    }
    QDir().mkpath(dir.filePath("folder.desktop"));
    EXPECT_THROW(TDesktopEntry::Remove(dir.filePath("folder.desktop")), EVelmoraError);
    EXPECT_TRUE(TDesktopEntry::Remove(path));
    EXPECT_FALSE(TDesktopEntry::Remove(path));
}

// desktop-file-validate judges the file; GLib's launcher must hand each
// awkward argument to the program unchanged.
TEST(DesktopEntry, TheDesktopsToolsAcceptItAndPassTheArgumentsOn) {
    if (QStandardPaths::findExecutable("desktop-file-validate").isEmpty() ||
        QStandardPaths::findExecutable("gio").isEmpty())
        GTEST_SKIP() << "desktop-file-utils or libglib2.0-bin not installed";
    QTemporaryDir dir;
    const QString out = dir.filePath("args"), path = dir.filePath("velmora-test.desktop");
    TDesktopEntry entry;
    for (const auto &[k, v] : {std::pair{"Type", "Application"},
                               {"Version", "1.4"},
                               {"Name", "Größe (through \"Work\")"},
                               {"Icon", "x"},
                               {"Terminal", "false"},
                               {"Categories", "Network;"},
                               {"X-Velmora-Program-UID", "7"}})
        entry.SetValue(k, v);
    // The shell prints each argument, 0-terminated, into the file $0.
    const QString script = "for a; do printf '%s\\0' \"$a\"; done > \"$0\"";
    entry.SetValue("Exec",
                   TDesktopEntry::CommandLine(QStringList{"/bin/sh", "-c", script, out} + Awkward));
    entry.Save(path);

    const TRunResult valid = RunProgram({"desktop-file-validate", path.toStdString()}, 20000);
    EXPECT_EQ(valid.ExitCode, 0) << valid.Out << valid.Err;
    EXPECT_EQ(valid.Out + valid.Err, "");
    const TRunResult launched = RunProgram({"gio", "launch", path.toStdString()}, 20000);
    ASSERT_EQ(launched.ExitCode, 0) << launched.Err;
    QByteArray printed;
    EXPECT_TRUE(WaitFor([&] { return (printed = ReadFile(out)).count('\0') == Awkward.size(); }));
    QStringList got = QString::fromUtf8(printed).split(QChar(0));
    got.removeLast();
    EXPECT_EQ(got, Awkward);
}

TEST(DesktopEntry, IconFoundByTheProgramsFileNameThisUsersEntriesFirst) {
    TXdgData xdg;
    const auto put = [](const QString &folder, const char *name, const QByteArray &keys) {
        TXdgData::PutEntry(folder, name, "# comment\n[Desktop Entry]\n" + keys);
    };
    put(xdg.System(), "firefox-esr.desktop",
        "Exec = /usr/lib/firefox-esr/firefox-esr %u\n"
        "Icon=firefox-esr\n");
    put(xdg.System(), "vendor/tool.desktop", "Exec=\"/opt/My Tools/Tool\" %F\nIcon=tool\n");
    put(xdg.System(), "tried.desktop", "TryExec=tried\nExec=env X=1 tried\nIcon=tried-icon\n");
    put(xdg.System(), "noicon.desktop", "Exec=noicon\n");
    put(xdg.System(), "broken.desktop", "Exec=\"broken\nIcon=b\n");
    put(xdg.System(), "gone.desktop", "Exec=gone\nIcon=gone-icon\n");
    put(xdg.Home(), "mine.desktop", "Exec=firefox-esr --private\nIcon=my-firefox\n");
    put(xdg.Home(), "gone.desktop", "Hidden=true\nExec=gone\nIcon=x\n"); // deletes the system's

    EXPECT_EQ(TDesktopEntry::UserApplicationFolder(), xdg.UserApplications());
    EXPECT_EQ(TDesktopEntry::FindIcon("/usr/local/bin/Firefox-ESR"), "my-firefox");
    EXPECT_EQ(TDesktopEntry::FindIcon("tool"), "tool");
    EXPECT_EQ(TDesktopEntry::FindIcon("tried"), "tried-icon");
    for (const char *none : {"gone", "noicon", "broken", "firefox", ""})
        EXPECT_EQ(TDesktopEntry::FindIcon(none), "") << none;
}
