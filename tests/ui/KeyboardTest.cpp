// The window's keys reach their commands: F1 the user guide, F5 the check of
// the selected proxies, Delete on the chain and program lists, Ctrl+Q ends as
// closing does; the menus carry their mnemonics.
#include "platform/ProgramFiles.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

// Presses `key` on `target` with the window active, as the user would.
void Press(TfrmMain &w, QWidget *target, QKeyCombination key) {
    w.activateWindow();
    QApplication::setActiveWindow(&w);
    target->setFocus();
    QTest::keyClick(target, key.key(), key.keyboardModifiers());
}

} // namespace

TEST(Keyboard, KeysRunTheirCommands) {
    TMainFixture f(TMainFixture::TData::Missing);
    const uint16_t closed = FreeLoopbackPort();
    f.Seed([&](TdmProxyData &s) {
        const int32_t proxy = AddProxy(s, closed, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
        SeedChain(s, "Spare", FreeLoopbackPort(), {proxy});
        TDataTable &t = s.cdsAnonymizedList();
        t.Append();
        t.FieldByName("Filename").SetAsString("curl");
        t.FieldByName("ChainUID").SetAsInteger(0);
        t.FieldByName("ChainPort").SetAsInteger(0);
        t.Post();
        s.AnonymSaveData();
    });
    TfrmMain &w = f.Open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    TRecordingPrompts &p = f.Prompts();

    EXPECT_EQ(w.actHelp->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(w.actTestProxy->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(w.actExit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(w.actExit->text(), QStringLiteral("&Quit"));
    for (QAction *menu : w.menuBar()->actions())
        EXPECT_TRUE(menu->text().startsWith('&')) << menu->text().toStdString();

    // F1: the user guide, wherever the focus is.
    QTemporaryDir guides;
    TProgramFiles::SetFolders(QStringList{guides.path()});
    Press(w, w.lvProxyList(), Qt::Key_F1);
    TProgramFiles::SetFolders(std::nullopt);
    ASSERT_EQ(p.Errors.size(), 1);
    EXPECT_TRUE(p.Errors[0].startsWith("Cannot find the file \"readme.txt\""));

    // F5: the selected proxy is checked.
    QSignalSpy checks(w.actTestProxy, &QAction::triggered);
    w.lvProxyList()->selectAll();
    w.UpdateActions();
    Press(w, w.lvProxyList(), Qt::Key_F5);
    EXPECT_EQ(checks.size(), 1);
    EXPECT_TRUE(w.Checking());
    ASSERT_TRUE(Pump([&] { return !w.Checking(); }, 30000));

    // Delete on the chain list: the chain command's question.
    w.actProxySocksChain->trigger();
    QTreeWidget *chains = w.frmeSocksChain()->lvChains();
    const QList<QTreeWidgetItem *> spare =
        chains->findItems("Spare", Qt::MatchExactly, TfrmeSocksChain::colName);
    ASSERT_EQ(spare.size(), 1);
    const int rows = chains->topLevelItemCount();
    spare[0]->setSelected(true);
    w.UpdateActions();
    p.Answer = false;
    Press(w, chains, Qt::Key_Delete);
    EXPECT_EQ(p.Questions, QStringList({"Delete selected Proxy Chain(s)?"}))
        << p.Questions.join("|").toStdString();
    EXPECT_EQ(chains->topLevelItemCount(), rows);

    // Delete on the program list: the program page's delete command.
    w.actAnonymizeProgram->trigger();
    QTreeWidget *programs = w.frmeAnonymize()->lvPrograms();
    ASSERT_EQ(programs->topLevelItemCount(), 1);
    programs->topLevelItem(0)->setSelected(true);
    w.UpdateActions();
    QSignalSpy deletes(w.frmeAnonymize()->findChild<QAction *>("actDelete"), &QAction::triggered);
    Press(w, programs, Qt::Key_Delete);
    EXPECT_EQ(deletes.size(), 1);

    // Ctrl+Q: the window closes and every chain stops.
    Press(w, w.frmeSocksChain()->lvChains(), QKeyCombination(Qt::ControlModifier, Qt::Key_Q));
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(f.Services().ServiceActive());
}
