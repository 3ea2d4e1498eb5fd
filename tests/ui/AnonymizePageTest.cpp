// The Anonymize Program page in the main window: each program's chain and
// port, the marks of programs that would miss their chain, "Launch" and
// "Add to menu", and the menu entry following an edit and a deletion.
#include "platform/DesktopEntry.h"
#include "tests/support/XdgData.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/frmeAnonymize.h"

#include <QAction>
#include <QBrush>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

struct TStart {
    QString Program;
    QStringList Arguments;
};

// The sample store (x.exe on "Work" 9050, y.exe without a chain) and three
// more programs: one whose chain is gone, one whose chain moved, one fine.
class AnonymizePage : public testing::Test {
protected:
    AnonymizePage() : Fixture(TMainFixture::TData::Sample) {
        Fixture.Seed([](TdmProxyData &s) {
            AddProgram(s, "/usr/bin/curl", 99, 4000);
            AddProgram(s, "wget", 1, 1081); // "Default" is on 1080
            AddProgram(s, "Tor Browser", 2, 9050);
            s.AnonymSaveData();
        });
        TfrmMain &w = Fixture.Open();
        w.actAnonymizeProgram->trigger();
        Page().FOnStartDetached = [this](const QString &program, const QStringList &args,
                                         QString &error) {
            Starts.push_back({program, args});
            error = StartError;
            return StartError.isEmpty();
        };
    }

    static void AddProgram(TdmProxyData &s, const QString &file, int32_t chain, int32_t port) {
        TDataTable &t = s.cdsAnonymizedList();
        t.Append();
        t.FieldByName("Filename").SetAsString(file);
        t.FieldByName("NoOfProxy").SetAsInteger(2);
        t.FieldByName("ChainUID").SetAsInteger(chain);
        t.FieldByName("ChainPort").SetAsInteger(port);
        t.Post();
    }

    TfrmeAnonymize &Page() { return *Fixture.Window().frmeAnonymize(); }
    QTreeWidgetItem *Row(int i) { return Page().lvPrograms()->topLevelItem(i); }
    void Select(std::initializer_list<int> rows) {
        Page().lvPrograms()->clearSelection();
        for (int i : rows)
            Row(i)->setSelected(true);
        Page().UpdateActions();
    }
    int RowOf(const QString &file) {
        for (int i = 0; i < Page().lvPrograms()->topLevelItemCount(); ++i)
            if (Row(i)->text(TfrmeAnonymize::colApplication) == file)
                return i;
        return -1;
    }
    QStringList Lines(const QString &start) { return Fixture.ActivityLines().filter(start); }

    TMainFixture Fixture;
    std::vector<TStart> Starts;
    QString StartError;
};

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QColor Red(Qt::red);

} // namespace

TEST_F(AnonymizePage, EachProgramShowsItsChainAndTheMisfitsAreMarked) {
    QTreeWidget *list = Page().lvPrograms();
    ASSERT_EQ(list->topLevelItemCount(), 5);
    const QTreeWidgetItem *header = list->headerItem();
    EXPECT_EQ(header->text(TfrmeAnonymize::colChain), "Chain");
    EXPECT_EQ(header->text(TfrmeAnonymize::colPort), "Port");
    EXPECT_FALSE(list->isColumnHidden(TfrmeAnonymize::colChain));
    EXPECT_FALSE(list->isColumnHidden(TfrmeAnonymize::colPort));

    struct {
        const char *File, *Chain, *Port;
        bool Marked;
    } const expected[] = {
        {"x.exe", "Work", "9050", false},
        {"y.exe", "(no chain)", "", true},
        {"/usr/bin/curl", "(chain deleted)", "4000", true},
        {"wget", "Default (port changed: chain now on 1080)", "1081", true},
        {"Tor Browser", "Work", "9050", false},
    };
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(expected[i].File);
        const QTreeWidgetItem *row = Row(i);
        EXPECT_EQ(row->text(TfrmeAnonymize::colApplication), expected[i].File);
        EXPECT_EQ(row->text(TfrmeAnonymize::colChain), expected[i].Chain);
        EXPECT_EQ(row->text(TfrmeAnonymize::colPort), expected[i].Port);
        for (int column : {TfrmeAnonymize::colApplication, TfrmeAnonymize::colChain}) {
            EXPECT_EQ(row->toolTip(column).isEmpty(), !expected[i].Marked);
            if (expected[i].Marked)
                EXPECT_EQ(row->foreground(column).color(), Red);
            else
                EXPECT_FALSE(row->data(column, Qt::ForegroundRole).isValid());
        }
    }

    // The commands, below the list (wide enough for their captions) and in
    // its pop-up menu; enabled with a selection.
    EXPECT_TRUE(list->actions().contains(Page().actLaunch()));
    EXPECT_TRUE(list->actions().contains(Page().actAddToMenu()));
    for (const char *caption : {"Launch", "Add to menu"}) {
        QPushButton *button = nullptr;
        for (QPushButton *b : Page().findChildren<QPushButton *>())
            if (b->text() == caption)
                button = b;
        ASSERT_TRUE(button) << caption;
        EXPECT_LE(button->fontMetrics().horizontalAdvance(caption) + 12, button->width())
            << caption;
    }
    Select({});
    EXPECT_FALSE(Page().actLaunch()->isEnabled());
    EXPECT_FALSE(Page().actAddToMenu()->isEnabled());
    Select({0});
    EXPECT_TRUE(Page().actLaunch()->isEnabled());
    EXPECT_TRUE(Page().actAddToMenu()->isEnabled());
}

TEST_F(AnonymizePage, LaunchRunsTheProgramThroughItsChainUnlessMarked) {
    Select({2}); // chain deleted
    Page().actLaunch()->trigger();
    EXPECT_TRUE(Starts.empty());
    EXPECT_EQ(Fixture.Prompts().Messages,
              QStringList({"\"/usr/bin/curl\" cannot be launched: its chain has been deleted. "
                           "Edit it and choose another chain."}));
    EXPECT_TRUE(Lines("Launched").isEmpty());

    Select({0});
    Page().actLaunch()->trigger();
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_EQ(Starts[0].Program, QCoreApplication::applicationFilePath());
    EXPECT_EQ(Starts[0].Arguments, QStringList({"run", "--chain", "Work", "x.exe"}));
    EXPECT_EQ(Lines("Launched"),
              QStringList({"Launched \"x.exe\" through chain \"Work\" (port 9050)"}));

    // Several at once: the fine ones start, the marked ones are named in one message.
    Fixture.Prompts().Messages.clear();
    Starts.clear();
    Select({1, 3, 4});
    Page().actLaunch()->trigger();
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_EQ(Starts[0].Arguments.last(), "Tor Browser");
    ASSERT_EQ(Fixture.Prompts().Messages.size(), 1);
    EXPECT_EQ(Fixture.Prompts().Messages[0].count("cannot be launched"), 2);

    StartError = "No such file or directory";
    Select({0});
    Page().actLaunch()->trigger();
    EXPECT_EQ(Lines("Could not launch"),
              QStringList({"Could not launch \"x.exe\": No such file or directory"}));
    EXPECT_TRUE(Fixture.Prompts().Errors.isEmpty());
}

TEST_F(AnonymizePage, AddToMenuWritesTheEntryWhichFollowsEditAndDelete) {
    TXdgData xdg;
    const QString path = xdg.UserApplications() + "/velmora-x.exe.desktop";
    Select({0});
    Page().actAddToMenu()->trigger();
    ASSERT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(Lines("Menu entry"), QStringList({"Menu entry written: " + path}));
    TDesktopEntry entry = TDesktopEntry::Load(path);
    EXPECT_EQ(
        TDesktopEntry::SplitCommandLine(entry.Value("Exec")),
        QStringList({QCoreApplication::applicationFilePath(), "run", "--chain", "Work", "x.exe"}));
    EXPECT_EQ(entry.Value("Name"), "x.exe (through Velmora chain Work)");
    EXPECT_EQ(entry.Value("Icon"), "application-x-executable");

    // A marked program is not put in the menu.
    Select({2});
    Page().actAddToMenu()->trigger();
    EXPECT_EQ(Fixture.Prompts().Messages.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(xdg.UserApplications() + "/velmora-curl.desktop"));

    // The edit dialog moves x.exe to "Default": the entry follows.
    Page().FOnEditProgram = [this](int32_t uid) {
        TDataTable &t = Fixture.Store().cdsAnonymizedList();
        EXPECT_TRUE(Fixture.Store().LocateAnonymRec(uid));
        t.Edit();
        t.FieldByName("ChainUID").SetAsInteger(1);
        t.FieldByName("ChainPort").SetAsInteger(1080);
        t.Post();
        Fixture.Store().AnonymSaveData();
        return true;
    };
    Select({0});
    Page().actEdit()->trigger();
    EXPECT_EQ(Row(0)->text(TfrmeAnonymize::colChain), "Default");
    entry = TDesktopEntry::Load(path);
    EXPECT_TRUE(entry.Value("Exec").endsWith(" run --chain Default x.exe"))
        << entry.Value("Exec").toStdString();
    EXPECT_EQ(Lines("Menu entry rewritten"), QStringList({"Menu entry rewritten: " + path}));

    // Deleted from the list: its entry goes too.
    Select({0});
    Page().actDelete()->trigger();
    EXPECT_EQ(RowOf("x.exe"), -1);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(Lines("Menu entry removed"), QStringList({"Menu entry removed: " + path}));
    EXPECT_TRUE(Fixture.Prompts().Errors.isEmpty())
        << Fixture.Prompts().Errors.join('|').toStdString();
}

TEST_F(AnonymizePage, AddToMenuAsksBeforeReplacingAFileThatIsNotTheProgramsOwn) {
    TXdgData xdg;
    const QString path = TXdgData::PutEntry(xdg.Home(), "velmora-tor-browser.desktop",
                                            "[Desktop Entry]\nName=mine\n");
    Select({RowOf("Tor Browser")});
    Fixture.Prompts().Answer = false;
    Page().actAddToMenu()->trigger();
    ASSERT_EQ(Fixture.Prompts().Questions.size(), 1);
    EXPECT_EQ(Fixture.Prompts().Questions[0],
              path + " exists and is not the menu entry of \"Tor Browser\". Replace it?");
    EXPECT_EQ(ReadFile(path), "[Desktop Entry]\nName=mine\n");
    Fixture.Prompts().Answer = true;
    Page().actAddToMenu()->trigger();
    EXPECT_EQ(TDesktopEntry::Load(path).Value("Name"), "Tor Browser (through Velmora chain Work)");
    Page().actAddToMenu()->trigger(); // its own now: no question
    EXPECT_EQ(Fixture.Prompts().Questions.size(), 2);
}

TEST_F(AnonymizePage, DeletingAProgramLeavesAnEntryThatIsNotItsOwn) {
    TXdgData xdg;
    const QString path =
        TXdgData::PutEntry(xdg.Home(), "velmora-wget.desktop", "[Desktop Entry]\nName=mine\n");
    Select({RowOf("wget")});
    Page().actDelete()->trigger();
    EXPECT_EQ(RowOf("wget"), -1);
    EXPECT_EQ(ReadFile(path), "[Desktop Entry]\nName=mine\n");
    EXPECT_TRUE(Lines("Menu entry").isEmpty());
}
