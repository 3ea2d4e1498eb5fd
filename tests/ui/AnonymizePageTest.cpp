// The Anonymize Program page in the main window: each program's chain and
// port with the misfits marked, "Launch", and "Add to menu" with the entry
// following an edit and a deletion.
#include "platform/DesktopEntry.h"
#include "platform/FdLimit.h"
#include "platform/StartReport.h"
#include "tests/support/Wait.h"
#include "tests/support/XdgData.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/TextContrast.h"
#include "ui/windows/frmeAnonymize.h"

#include <QAction>
#include <QBrush>
#include <QCoreApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace VelmoraTest;

namespace {

// The sample store (x.exe on "Work" 9050, y.exe without a chain), a program
// whose chain is gone, one whose chain moved, and one more that is fine.
class AnonymizePage : public testing::Test {
protected:
    AnonymizePage() : Fixture(TMainFixture::TData::Sample) {
        Fixture.Seed([](TdmProxyData &s) {
            AddProgram(s, "/usr/bin/curl", 99, 4000);
            AddProgram(s, "wget", 1, 1081); // "Default" is on 1080
            AddProgram(s, "Tor Browser", 2, 9050);
        });
        Fixture.Open().actAnonymizeProgram->trigger();
        StartDetached = Page().FOnStartDetached;
        Page().FOnStartDetached = [this](const QString &program, const QStringList &args,
                                         QString &error, const TStarted &started) {
            Starts << program + " " + args.join(' ');
            error = StartError;
            if (StartError.isEmpty())
                Pending.push_back(started);
            return StartError.isEmpty();
        };
    }
    static void AddProgram(TdmProxyData &s, const QString &file, int32_t chain, int32_t port) {
        TDataTable &t = s.cdsAnonymizedList();
        t.Append();
        t.FieldByName("Filename").SetAsString(file);
        t.FieldByName("ChainUID").SetAsInteger(chain);
        t.FieldByName("ChainPort").SetAsInteger(port);
        t.Post();
        s.AnonymSaveData();
    }
    TfrmeAnonymize &Page() { return *Fixture.Window().frmeAnonymize(); }
    QTreeWidgetItem *Row(int i) { return Page().lvPrograms()->topLevelItem(i); }
    void Run(QAction *command, std::initializer_list<int> rows) {
        Page().lvPrograms()->clearSelection();
        for (int i : rows)
            Row(i)->setSelected(true);
        Page().UpdateActions(); // as the window does when idle
        command->trigger();
    }
    QStringList Lines(const QString &start) { return Fixture.ActivityLines().filter(start); }

    QString LaunchColumn(int row) { return Row(row)->text(TfrmeAnonymize::colLaunch); }
    // The real start of `bash -c script` (dash takes one-digit descriptors
    // only); what it said of its start, or
    // "(not yet)" when nothing came back within `ms`.
    QString StartShell(const QString &script, int ms = 10000) {
        QString error;
        // Outlives the call: a word that comes later still has its place.
        auto outcome = std::make_shared<QString>("(not yet)");
        if (!StartDetached("/bin/bash", {"-c", script}, error,
                           [outcome](const QString &failure) { *outcome = failure; }))
            return "start failed: " + error;
        PumpUntil([&] { return *outcome != "(not yet)"; }, ms);
        return *outcome;
    }

    using TStarted = std::function<void(const QString &)>;
    TMainFixture Fixture;
    QStringList Starts;
    QString StartError;
    std::vector<TStarted> Pending; // the launches that have not said yet
    std::function<bool(const QString &, const QStringList &, QString &, const TStarted &)>
        StartDetached; // the real one
    const QString Self = QCoreApplication::applicationFilePath();
};

} // namespace

TEST_F(AnonymizePage, EachProgramShowsItsChainAndTheMisfitsAreRed) {
    ASSERT_EQ(Page().lvPrograms()->topLevelItemCount(), 5);
    const QStringList expected = {
        "x.exe|Work|9050|", "y.exe|(no chain)||red", "/usr/bin/curl|(chain deleted)|4000|red",
        "wget|Default (port changed: chain now on 1080)|1081|red", "Tor Browser|Work|9050|"};
    for (int i = 0; i < 5; ++i) {
        const QTreeWidgetItem *row = Row(i);
        // A red that reads on the list's background, whatever the palette.
        const QColor base = Page().lvPrograms()->palette().color(QPalette::Base);
        auto isRed = [&](int column) {
            const QColor c = row->foreground(column).color();
            return row->foreground(column).style() != Qt::NoBrush &&
                   (c.hsvHue() <= 15 || c.hsvHue() >= 340) && c.hsvSaturation() > 100 &&
                   TTextContrast::Ratio(c, base) >= TTextContrast::Readable;
        };
        const bool red = isRed(TfrmeAnonymize::colApplication) && isRed(TfrmeAnonymize::colChain) &&
                         !row->toolTip(TfrmeAnonymize::colChain).isEmpty();
        EXPECT_EQ(QStringList({row->text(TfrmeAnonymize::colApplication),
                               row->text(TfrmeAnonymize::colChain),
                               row->text(TfrmeAnonymize::colPort), red ? "red" : ""})
                      .join('|'),
                  expected[i]);
    }
    // Below the list, wide enough for their captions, and in its pop-up menu.
    for (QAction *command : {Page().actLaunch(), Page().actAddToMenu()}) {
        EXPECT_TRUE(Page().lvPrograms()->actions().contains(command));
        for (QPushButton *b : Page().findChildren<QPushButton *>())
            if (b->text() == command->text())
                EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 12, b->width());
    }
}

TEST_F(AnonymizePage, LaunchRunsVelmoraRunDetachedButNotForAMarkedProgram) {
    Run(Page().actLaunch(), {2});
    EXPECT_TRUE(Starts.isEmpty());
    EXPECT_EQ(Fixture.Prompts().Messages,
              QStringList({"\"/usr/bin/curl\" cannot be launched: its chain has been deleted. "
                           "Edit it and choose another chain."}));

    Run(Page().actLaunch(), {0, 3, 4});
    EXPECT_EQ(Starts, QStringList({Self + " run --chain Work x.exe",
                                   Self + " run --chain Work Tor Browser"}));
    EXPECT_EQ(Fixture.Prompts().Messages.size(), 2); // wget's refusal
    // Nothing is told before velmora run says how its start went.
    EXPECT_TRUE(Lines("Launched").isEmpty());
    EXPECT_EQ(LaunchColumn(0), "starting");
    EXPECT_EQ(LaunchColumn(4), "starting");
    ASSERT_EQ(Pending.size(), 2u);
    const QString notRun = "Cannot run \"Tor Browser\": No such file or directory";
    Pending[1](notRun);
    Pending[0]("");
    EXPECT_EQ(Lines("Launched"),
              QStringList({"Launched \"x.exe\" through chain \"Work\" (port 9050)"}));
    EXPECT_EQ(Lines("Could not"), QStringList({"Could not launch \"Tor Browser\": " + notRun}));
    EXPECT_EQ(Fixture.Prompts().Errors,
              QStringList({"Could not launch \"Tor Browser\": " + notRun}));
    // The rows keep what became of their launch over a refill.
    Page().RefreshList();
    EXPECT_EQ(LaunchColumn(0), "started");
    EXPECT_EQ(LaunchColumn(4), "failed: " + notRun);

    StartError = "No such file or directory";
    Run(Page().actLaunch(), {0});
    EXPECT_EQ(Lines("Could not").mid(1),
              QStringList({"Could not launch \"x.exe\": No such file or directory"}));
    EXPECT_EQ(LaunchColumn(0), "failed: No such file or directory");
    EXPECT_EQ(Fixture.Prompts().Errors.size(), 2);
}

// The real start: what the started process writes to the descriptor named
// in the variable, and its end without a word, reach the page without the
// page waiting for them.
TEST_F(AnonymizePage, TheRealStartHearsWhatVelmoraRunSaysOfItsStart) {
    const QString fd = QString("$%1").arg(StartReportVariable);
    const struct {
        QString Script, Outcome;
    } cases[] = {
        {"echo started >&" + fd, ""},
        {"echo 'failed Chain \"Work\" does not run' >&" + fd, "Chain \"Work\" does not run"},
        {"exit 3", "velmora run ended before the program started"},
        {"printf started >&" + fd, ""}, // its end closes the line
    };
    for (const auto &c : cases)
        EXPECT_EQ(StartShell(c.Script), c.Outcome) << c.Script.toStdString();
    // The window does not wait for the word: nothing within 200 ms of a
    // start that speaks after 3 s (the control: it does speak later).
    EXPECT_EQ(StartShell("sleep 3; echo started >&" + fd, 200), "(not yet)");
    EXPECT_EQ(StartShell("sleep 1; echo started >&" + fd), "");
}

TEST_F(AnonymizePage, TheVelmoraLaunchedIsToldTheUsersLimitOfOpenFiles) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    if (before.rlim_max != RLIM_INFINITY && before.rlim_max <= 300)
        GTEST_SKIP() << "the hard limit leaves no room above the test's soft one";
    // The user's soft limit is 300; the window raised its own, as main() does.
    rlimit low = before;
    low.rlim_cur = 300;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    RaiseDescriptorLimit();
    QTemporaryDir folder;
    const QString seen = folder.filePath("seen");
    QString error;
    ASSERT_TRUE(
        StartDetached("/bin/sh",
                      {"-c", QString("echo \"$%1 $(ulimit -Sn)\" > %2.part && mv %2.part %2")
                                 .arg(DescriptorLimitVariable, seen)},
                      error, [](const QString &) {}))
        << error.toStdString();
    EXPECT_TRUE(WaitFor([&] { return QFileInfo::exists(seen); }));
    QFile file(seen);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList words = QString::fromUtf8(file.readAll()).trimmed().split(' ');
    ::setrlimit(RLIMIT_NOFILE, &before);
    ASSERT_EQ(words.size(), 2) << words.join(' ').toStdString();
    EXPECT_EQ(words[0], "300");
    // Control: the child itself has the raised limit, which a program
    // started by the launched velmora would get without the variable.
    EXPECT_NE(words[1], "300");
}

TEST_F(AnonymizePage, AddToMenuWritesTheEntryWhichFollowsEditAndDelete) {
    TXdgData xdg;
    const QString path = xdg.UserApplications() + "/velmora-x.exe.desktop";
    Run(Page().actAddToMenu(), {0, 2});
    EXPECT_EQ(TDesktopEntry::SplitCommandLine(TDesktopEntry::Load(path).Value("Exec")),
              QStringList({Self, "run", "--chain", "Work", "x.exe"}));
    EXPECT_EQ(Lines("Menu entry"), QStringList({"Menu entry written: " + path}));
    EXPECT_EQ(Fixture.Prompts().Messages.size(), 1); // curl's refusal
    EXPECT_FALSE(QFileInfo::exists(xdg.UserApplications() + "/velmora-curl.desktop"));

    // The dialog moves x.exe to "Default".
    Page().FOnEditProgram = [this](int32_t uid) {
        TDataTable &t = Fixture.Store().cdsAnonymizedList();
        Fixture.Store().LocateAnonymRec(uid);
        t.Edit();
        t.FieldByName("ChainUID").SetAsInteger(1);
        t.FieldByName("ChainPort").SetAsInteger(1080);
        t.Post();
        return true;
    };
    Run(Page().actEdit(), {0});
    EXPECT_EQ(Row(0)->text(TfrmeAnonymize::colChain), "Default");
    EXPECT_TRUE(TDesktopEntry::Load(path).Value("Exec").endsWith(" run --chain Default x.exe"));

    Run(Page().actDelete(), {0});
    EXPECT_EQ(Row(0)->text(TfrmeAnonymize::colApplication), "y.exe");
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(Lines("Menu entry").mid(1),
              QStringList({"Menu entry rewritten: " + path, "Menu entry removed: " + path}));
    EXPECT_TRUE(Fixture.Prompts().Errors.isEmpty());
}

TEST_F(AnonymizePage, AddToMenuAsksBeforeReplacingAnotherFile) {
    TXdgData xdg;
    const QString path = TXdgData::PutEntry(xdg.Home(), "velmora-tor-browser.desktop",
                                            "[Desktop Entry]\nName=mine\n");
    Fixture.Prompts().Answer = false;
    Run(Page().actAddToMenu(), {4});
    EXPECT_EQ(Fixture.Prompts().Questions,
              QStringList({path + " exists and is not the menu entry of \"Tor Browser\". "
                                  "Replace it?"}));
    EXPECT_EQ(TDesktopEntry::Load(path).Value("Name"), "mine");
    Fixture.Prompts().Answer = true;
    Run(Page().actAddToMenu(), {4});
    Run(Page().actAddToMenu(), {4}); // its own now: not asked again
    EXPECT_EQ(Fixture.Prompts().Questions.size(), 2);
    EXPECT_EQ(TDesktopEntry::Load(path).Value("Name"), "Tor Browser (through Velmora chain Work)");
}
