// The main window as a whole: start-up on an empty, a missing and a filled
// data folder, the pages and the navigation bar, the enabled rules, the
// commands that need no dialog, and the services' start and stop.
#include "platform/ProgramFiles.h"
#include "tests/support/Peers.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeSettings.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QApplication>
#include <QBrush>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace VelmoraTest;

namespace {

QStringList ChainNames(TfrmMain &w) {
    QStringList names;
    QTreeWidget *list = w.frmeSocksChain()->lvChains();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        names << list->topLevelItem(i)->text(TfrmeSocksChain::colName);
    return names;
}

QColor Background(const TProxyListItem &row) {
    return row.data(0, Qt::BackgroundRole).value<QBrush>().color();
}

} // namespace

TEST(MainWindow, FirstStartOnAMissingFolderOpensEmptyAndStartsServices) {
    TMainFixture f(TMainFixture::TData::Missing);
    TfrmMain &w = f.Open();
    EXPECT_TRUE(QDir(f.Folder()).exists("Proxies.cds")); // provisioned on first run
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Velmora Anonymizer by Corvanet v.1.0"));
    EXPECT_EQ(w.CurrentPage(), TMainPage::mpProxyManager);
    EXPECT_TRUE(w.NavigationButton(TMainPage::mpProxyManager)->isChecked());
    EXPECT_EQ(w.lvProxyList()->RowCount(), 0);
    EXPECT_EQ(ChainNames(w), QStringList({"Default"}));
    EXPECT_FALSE(w.actTestAll->isEnabled());
    EXPECT_FALSE(w.actCheck->isEnabled());
    EXPECT_TRUE(w.actTestProxy->isEnabled());
    EXPECT_TRUE(f.Prompts().Errors.isEmpty());

    // Services start only once the event loop turns.
    EXPECT_FALSE(w.ServicesStarted());
    EXPECT_FALSE(f.Services().ServiceActive());
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    EXPECT_TRUE(f.Services().ServiceActive());
    const QStringList lines = f.ActivityLines();
    EXPECT_TRUE(lines.contains("Starting services...")) << lines.join('|').toStdString();
    EXPECT_TRUE(lines.contains("Services started"));
    ASSERT_EQ(w.menuBar()->actions().size(), 2);
    EXPECT_EQ(w.menuBar()->actions().front()->text(), QStringLiteral("&File"));
    QMenu *proxies = w.menuBar()->actions().back()->menu();
    EXPECT_EQ(w.menuBar()->actions().back()->text(), QStringLiteral("&Proxies"));
    EXPECT_TRUE(proxies->actions().contains(w.actDeleteDeadProxies));
    EXPECT_TRUE(proxies->actions().contains(w.actStopChecking));
    EXPECT_FALSE(w.actStopChecking->isEnabled());
}

TEST(MainWindow, MissingTableFilesShowTheErrorAndStartNothing) {
    TMainFixture f(TMainFixture::TData::EmptyFolder);
    TfrmMain &w = f.Open();
    EXPECT_EQ(f.Prompts().Errors, QStringList({"Proxies.cds file not found"}));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Velmora Anonymizer by Corvanet"));
    EXPECT_EQ(w.lvProxyList()->RowCount(), 0);
    EXPECT_EQ(w.frmeSocksChain()->lvChains()->topLevelItemCount(), 0);
    PumpFor(100);
    EXPECT_FALSE(w.ServicesStarted());
    EXPECT_FALSE(f.Services().ServiceActive());
}

TEST(MainWindow, FilledStoreShowsRowsColouredByStatusAndChains) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    ASSERT_TRUE(f.Prompts().Errors.isEmpty()) << f.Prompts().Errors.join('|').toStdString();
    TProxyListView *list = w.lvProxyList();
    ASSERT_EQ(list->RowCount(), 4);
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colIPHost), QStringLiteral("192.0.2.10"));
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colPort), QStringLiteral("1080"));
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colStatus), QStringLiteral("Not Checked"));
    EXPECT_EQ(list->Row(2).text(TProxyListItem::colType), QStringLiteral("SOCKS 4"));
    EXPECT_EQ(list->Row(3).text(TProxyListItem::colStatus), QStringLiteral("OK"));
    EXPECT_EQ(list->Row(3).text(TProxyListItem::colSpeed), SpeedToText(1234.0));
    EXPECT_FALSE(list->Row(0).data(0, Qt::BackgroundRole).isValid());
    EXPECT_EQ(Background(list->Row(1)), QColor(177, 99, 99));
    EXPECT_EQ(Background(list->Row(3)), QColor(250, 208, 41));
    // A progress text hides the stored status's colour.
    list->Model()->SetProgress(4, "Testing");
    EXPECT_FALSE(list->Row(3).data(2, Qt::BackgroundRole).isValid());
    EXPECT_EQ(list->Row(3).text(TProxyListItem::colSpeed), QStringLiteral("0.00"));

    EXPECT_EQ(ChainNames(w), QStringList({"Default", "Work"}));
    EXPECT_TRUE(w.actTestAll->isEnabled());
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    // Neither chain has working proxies only.
    const QStringList lines = f.ActivityLines();
    EXPECT_TRUE(lines.contains("chain on port 1080 not started (some proxy items not working)"))
        << lines.join('|').toStdString();
}

TEST(MainWindow, NavigationShowsOnePageAndItsCommandPanel) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    w.show();
    struct {
        TMainPage Page;
        QAction *Action;
    } const pages[] = {
        {TMainPage::mpAnonymizeProgram, w.actAnonymizeProgram},
        {TMainPage::mpProxySocksChain, w.actProxySocksChain},
        {TMainPage::mpSettings, w.actSettings},
        {TMainPage::mpProxyManager, w.actProxyMgr},
    };
    for (const auto &p : pages) {
        QTest::mouseClick(w.NavigationButton(p.Page), Qt::LeftButton);
        EXPECT_EQ(w.CurrentPage(), p.Page);
        EXPECT_EQ(w.pgcPages()->currentIndex(), int(p.Page));
        EXPECT_EQ(w.pnlCommands()->currentIndex(), TMainScreenLogic::CommandPanelOf(p.Page));
        for (TMainPage other : {TMainPage::mpProxyManager, TMainPage::mpAnonymizeProgram,
                                TMainPage::mpProxySocksChain, TMainPage::mpSettings})
            EXPECT_EQ(w.NavigationButton(other)->isChecked(), other == p.Page);
        EXPECT_EQ(w.pnlCommands()->currentWidget()->findChildren<QToolButton *>().size(),
                  p.Page == TMainPage::mpProxyManager      ? 6
                  : p.Page == TMainPage::mpProxySocksChain ? 7
                                                           : 0);
    }
    // The program page reloads its list when shown; its count column is hidden.
    w.actAnonymizeProgram->trigger();
    QTreeWidget *programs = w.frmeAnonymize()->lvPrograms();
    ASSERT_EQ(programs->topLevelItemCount(), 2);
    EXPECT_EQ(programs->topLevelItem(0)->text(0), QStringLiteral("x.exe"));
    EXPECT_TRUE(programs->isColumnHidden(TfrmeAnonymize::colNoOfProxies));
    // A command of another page shows its own page first.
    w.actDeleteProxy->trigger();
    EXPECT_EQ(w.CurrentPage(), TMainPage::mpProxyManager);
}

TEST(MainWindow, EnabledRulesFollowTheProxyList) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    w.UpdateActions();
    EXPECT_FALSE(w.actCheck->isEnabled());
    EXPECT_TRUE(w.actTestAll->isEnabled());
    w.lvProxyList()->Row(1).setSelected(true);
    EXPECT_FALSE(w.actCheck->isEnabled());
    Idle(); // re-evaluated when idle
    EXPECT_TRUE(w.actCheck->isEnabled());
    w.actSelectAllProxies->trigger();
    EXPECT_EQ(w.GetSelectedProxyUIDs(), std::vector<int32_t>({1, 2, 3, 4}));
    w.lvProxyList()->clearSelection();
    w.ClearProxyList();
    Idle();
    EXPECT_FALSE(w.actCheck->isEnabled());
    EXPECT_FALSE(w.actTestAll->isEnabled());
    EXPECT_TRUE(w.GetSelectedProxyUIDs().empty());
}

TEST(MainWindow, CommandsWithNothingSelected) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TRecordingPrompts &p = f.Prompts();
    w.actEditProxy->trigger();
    w.actEditSocksChain->trigger();
    EXPECT_TRUE(p.Messages.isEmpty());
    EXPECT_TRUE(p.Errors.isEmpty());
    w.actTestProxy->trigger(); // starts no check
    EXPECT_TRUE(w.StatusText().isEmpty());
    w.actDeleteProxy->trigger();
    EXPECT_EQ(p.Messages, QStringList({"Please select a Proxy"}));
    w.actDeleteChain->trigger();
    EXPECT_TRUE(p.Questions.isEmpty());
}

TEST(MainWindow, DeleteProxiesAsksOnceAndRebuildsTheList) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TRecordingPrompts &p = f.Prompts();
    TProxyListView *list = w.lvProxyList();
    list->Row(0).setSelected(true);
    list->Row(2).setSelected(true);
    list->Row(3).setSelected(true);
    p.Answer = false;
    w.actDeleteProxy->trigger();
    EXPECT_EQ(list->RowCount(), 4);
    p.Answer = true;
    const int64_t saves = f.Store().SaveCount();
    w.actDeleteProxy->trigger();
    EXPECT_EQ(f.Store().SaveCount(), saves + 1); // one save for the whole selection
    EXPECT_EQ(p.Questions, QStringList({"Delete selected Proxies?", "Delete selected Proxies?"}));
    ASSERT_EQ(list->RowCount(), 1);
    EXPECT_EQ(list->Row(0).UID(), 2);
    TdmProxyData reread(f.Folder());
    reread.LoadData();
    EXPECT_EQ(reread.cdsProxies().RecordCount(), 1);
}

TEST(MainWindow, DeleteChainsStopsAndDeletesEachSelectedChain) {
    TMainFixture f(TMainFixture::TData::Missing);
    const uint16_t port = FreeLoopbackPort();
    SeedLiveChain(f, port);
    TfrmMain &w = f.Open();
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    ASSERT_TRUE(Accepting(port));
    QTreeWidget *chains = w.frmeSocksChain()->lvChains();
    ASSERT_EQ(ChainNames(w), QStringList({"Default", "Live"}));
    w.frmeSocksChain()->actSelectAll()->trigger();
    const int64_t saves = f.Store().SaveCount();
    w.actDeleteChain->trigger();
    EXPECT_EQ(f.Store().SaveCount(), saves + 1); // one save for the whole selection
    EXPECT_EQ(f.Prompts().Questions, QStringList({"Delete selected Proxy Chain(s)?"}));
    EXPECT_EQ(chains->topLevelItemCount(), 0);
    EXPECT_FALSE(Accepting(port));
    EXPECT_EQ(w.CurrentPage(), TMainPage::mpProxySocksChain);
    EXPECT_TRUE(f.Services().ChainMgr().Chains().empty());
}

TEST(MainWindow, HelpWebSiteAndStopAll) {
    TMainFixture f(TMainFixture::TData::Missing);
    const uint16_t port = FreeLoopbackPort();
    SeedLiveChain(f, port);
    TfrmMain &w = f.Open();
    // "Help", "Get Proxies" (and the banner) open the user guide from the
    // first folder that has it; found nowhere, each says where it looked.
    QTemporaryDir first, second;
    TProgramFiles::SetFolders(QStringList{first.path(), second.path()});
    w.actHelp->trigger();
    w.actGetProxies->trigger();
    EXPECT_TRUE(f.Prompts().Urls.isEmpty());
    ASSERT_EQ(f.Prompts().Errors.size(), 2);
    EXPECT_EQ(f.Prompts().Errors[0],
              QStringLiteral("Cannot find the file \"readme.txt\". It was looked for in:\n%1\n%2")
                  .arg(first.path(), second.path()));
    EXPECT_EQ(f.Prompts().Errors[1], f.Prompts().Errors[0]);

    QFile guide(second.filePath("readme.txt"));
    ASSERT_TRUE(guide.open(QIODevice::WriteOnly));
    guide.close();
    w.actHelp->trigger();
    w.actGetProxies->trigger();
    TProgramFiles::SetFolders(std::nullopt);
    ASSERT_EQ(f.Prompts().Urls.size(), 2);
    EXPECT_EQ(f.Prompts().Urls[0], QUrl::fromLocalFile(second.filePath("readme.txt")));
    EXPECT_EQ(f.Prompts().Urls[1], f.Prompts().Urls[0]);
    EXPECT_EQ(f.Prompts().Errors.size(), 2);

    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    ASSERT_TRUE(Accepting(port));
    w.actStopAll->trigger();
    EXPECT_FALSE(Accepting(port));
    EXPECT_FALSE(f.Services().ServiceActive());
    EXPECT_TRUE(f.Services().ChainMgr().Chains().empty());
    EXPECT_EQ(w.actStopAll->text(), QStringLiteral("Start All"));
}

// A connection through a running chain shows as one block that grows hop by
// hop and shrinks to one summary line when the connection ends; closing the
// window stops the chain with no question asked.
TEST(MainWindow, ConnectionBlockAndClosingStopsTheChains) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is not installed";
    TMicrosocksPeer hop;
    TEchoServer echo;
    TMainFixture f(TMainFixture::TData::Missing);
    const uint16_t port = FreeLoopbackPort();
    SeedLiveChain(f, port, hop.Port());
    TfrmMain &w = f.Open();
    w.show();
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    ASSERT_TRUE(
        Pump([&] { return f.ActivityLines().contains(QStringLiteral("Services started")); }));

    const int fd = Socks5Connect(port, echo.Port());
    ASSERT_GE(fd, 0);
    const QString request = QStringLiteral("Request connect to 127.0.0.1:%1").arg(echo.Port());
    int first = -1;
    ASSERT_TRUE(Pump([&] {
        const QStringList lines = f.ActivityLines();
        first = lines.indexOf(request);
        return first >= 0 && lines.size() >= first + 3;
    })) << f.ActivityLines().join('|').toStdString();
    QStringList lines = f.ActivityLines();
    EXPECT_TRUE(lines[first + 1].startsWith(" ...Connect Chain 127.0.0.1:"))
        << lines.join('|').toStdString();
    EXPECT_TRUE(lines[first + 2].startsWith(" ...Connect proxy ")) << lines.join('|').toStdString();
    ::close(fd);
    ASSERT_TRUE(Pump([&] { return !f.ActivityLines().contains(request); }))
        << f.ActivityLines().join('|').toStdString();
    lines = f.ActivityLines();
    ASSERT_GT(lines.size(), first);
    EXPECT_TRUE(lines[first].startsWith(request + " ... 1 hop, ")) << lines.join('|').toStdString();
    EXPECT_TRUE(lines[first].endsWith(" s")) << lines.join('|').toStdString();

    EXPECT_TRUE(w.close());
    EXPECT_FALSE(Accepting(port));
    EXPECT_TRUE(f.Services().ChainMgr().Chains().empty());
    EXPECT_FALSE(f.Services().ServiceActive());
    EXPECT_TRUE(f.Prompts().Questions.isEmpty());
    EXPECT_TRUE(f.ActivityLines().contains(QStringLiteral("Stopping services...")));
}

TEST(MainWindow, ProxyListKeysDeleteOpenAndCopy) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TRecordingPrompts &p = f.Prompts();
    TProxyListView *list = w.lvProxyList();
    w.show();
    list->setFocus();

    // Ctrl+C: "address:port" lines in the list's order, here sorted by port
    // downwards (the order is the list's, not the store's).
    list->sortByColumn(TProxyListItem::colPort, Qt::DescendingOrder);
    list->selectAll();
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QStringList expected;
    for (int i = 0; i < list->RowCount(); ++i)
        expected << list->Row(i).text(TProxyListItem::colIPHost) + ":" +
                        list->Row(i).text(TProxyListItem::colPort);
    EXPECT_EQ(QApplication::clipboard()->text(), expected.join('\n') + '\n');
    for (int i = 1; i < list->RowCount(); ++i)
        EXPECT_GE(list->Row(i - 1).text(TProxyListItem::colPort).toInt(),
                  list->Row(i).text(TProxyListItem::colPort).toInt());

    // Enter and a double click open the edit dialog, which is not there here.
    list->clearSelection();
    list->FindRow(2)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(p.Messages, QStringList({"This dialog is not available in this version."}));
    emit list->doubleClicked(list->model()->index(list->FindRow(2)->ViewRow(), 0));
    EXPECT_EQ(p.Messages.size(), 2);

    // Delete: the same question as the command; "No" keeps the row.
    p.Answer = false;
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(p.Questions, QStringList({"Delete selected Proxies?"}));
    EXPECT_TRUE(list->FindRow(2).has_value());
    p.Answer = true;
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_FALSE(list->FindRow(2).has_value());
    EXPECT_EQ(list->RowCount(), 3);
    TdmProxyData reread(f.Folder());
    reread.LoadData();
    EXPECT_EQ(reread.cdsProxies().RecordCount(), 3);
}

TEST(MainWindow, DeleteDeadProxiesAsksWithTheCountAndEmptiesTheirChains) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TRecordingPrompts &p = f.Prompts();
    TdmProxyData &store = f.Store();
    // Proxies 2 and 3 are "TIME OUT"; make each a hop of a chain.
    const int32_t chain = SeedChain(store, "Dead hops", 1091, {2, 3, 4});
    w.frmeSocksChain()->PopulatechainList();
    ASSERT_EQ(store.CountProxiesWithStatus(TProxyStatus::psUnavailable), 2);

    p.Answer = false;
    w.actDeleteDeadProxies->trigger();
    EXPECT_EQ(p.Questions, QStringList({"Delete 2 dead proxies (status TIME OUT) and take them "
                                        "out of every chain?"}));
    EXPECT_EQ(w.lvProxyList()->RowCount(), 4);

    p.Answer = true;
    w.actDeleteDeadProxies->trigger();
    EXPECT_EQ(p.Questions.size(), 2);
    ASSERT_EQ(w.lvProxyList()->RowCount(), 2);
    EXPECT_EQ(w.lvProxyList()->Row(0).UID(), 1);
    EXPECT_EQ(w.lvProxyList()->Row(1).UID(), 4);
    TChainedProxyData rec;
    store.GetChainedProxyRecord(chain, rec);
    ASSERT_EQ(rec.ItemsCount(), 1);
    EXPECT_EQ(rec.FChainedItems[0]->FUID, 4);
    TdmProxyData reread(f.Folder());
    reread.LoadData();
    EXPECT_EQ(reread.cdsProxies().RecordCount(), 2);
    EXPECT_EQ(reread.CountProxiesWithStatus(TProxyStatus::psUnavailable), 0);

    // None left: said, nothing asked.
    w.actDeleteDeadProxies->trigger();
    EXPECT_EQ(p.Questions.size(), 2);
    EXPECT_EQ(p.Messages, QStringList({"There are no dead proxies (status TIME OUT)."}));
}

TEST(MainWindow, ProxyListSortsByAHeaderClickAndFilters) {
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TProxyListView *list = w.lvProxyList();
    auto uids = [&] {
        std::vector<int32_t> out;
        for (int i = 0; i < list->RowCount(); ++i)
            out.push_back(list->Row(i).UID());
        return out;
    };
    ASSERT_EQ(uids(), std::vector<int32_t>({1, 2, 3, 4}));
    // Speed as a number: 0, 0, 0 and 1234 ms; the ties keep the store's order.
    list->header()->setSortIndicator(TProxyListItem::colSpeed, Qt::DescendingOrder);
    EXPECT_EQ(uids().front(), 4);
    list->header()->setSortIndicator(TProxyListItem::colStatus, Qt::AscendingOrder);
    EXPECT_EQ(list->Row(0).text(TProxyListItem::colStatus), QStringLiteral("Not Checked"));
    EXPECT_EQ(list->Row(3).text(TProxyListItem::colStatus), QStringLiteral("TIME OUT"));
    // The order is the list's own: the store keeps its rows as they were.
    TdmProxyData reread(f.Folder());
    reread.LoadData();
    std::vector<std::unique_ptr<TProxData>> stored;
    reread.GetAllProxyRecords(stored);
    EXPECT_EQ(stored.front()->FUID, 1);

    w.cbStatusFilter()->setCurrentText(QStringLiteral("TIME OUT"));
    EXPECT_EQ(list->RowCount(), 2);
    w.edtProxyFilter()->setText(list->Row(0).text(TProxyListItem::colIPHost).toUpper());
    EXPECT_EQ(list->RowCount(), 1);
    w.cbStatusFilter()->setCurrentText(QStringLiteral("All"));
    w.edtProxyFilter()->clear();
    EXPECT_EQ(list->RowCount(), 4);
}
