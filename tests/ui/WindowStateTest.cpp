// The window's own settings file in the configuration folder: the window
// comes back as it was closed (size, splitter, the proxy and chain lists'
// column widths, the page), and the activity log file holds from the
// Settings page or the command line.
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeSettings.h"
#include "ui/windows/frmeSocksChain.h"

#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QSplitter>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

QSplitter *SplitterOf(TfrmMain &w) {
    return w.findChild<QSplitter *>(QStringLiteral("splActivity"));
}

} // namespace

TEST(WindowState, ClosedWindowOpensAgainWithItsSizeSplitterColumnsAndPage) {
    TMainFixture f(TMainFixture::TData::Sample);
    const QSize defaultSize = f.Open().size();
    const QList<int> defaultSplit = SplitterOf(f.Window())->sizes();
    const int defaultPortWidth =
        f.Window().lvProxyList()->header()->sectionSize(TProxyListItem::colPort);
    f.Window().close();
    f.Drop();

    TfrmMain &w = f.Open();
    w.show();
    w.resize(defaultSize.width() + 193, defaultSize.height() + 71);
    const QSize size = w.size();
    ASSERT_NE(size, defaultSize);
    QSplitter *splitter = SplitterOf(w);
    const int total = splitter->sizes()[0] + splitter->sizes()[1];
    splitter->setSizes({total - 170, 170});
    const QList<int> split = splitter->sizes();
    ASSERT_NE(split, defaultSplit);
    w.lvProxyList()->header()->resizeSection(TProxyListItem::colPort, defaultPortWidth + 37);
    w.frmeSocksChain()->lvChains()->header()->resizeSection(TfrmeSocksChain::colName, 211);
    w.actProxySocksChain->trigger();
    ASSERT_TRUE(w.close());
    f.Drop();
    EXPECT_TRUE(QFile::exists(TWindowSettings::FileName()));

    TfrmMain &again = f.Open();
    again.show();
    EXPECT_EQ(again.size(), size);
    EXPECT_EQ(SplitterOf(again)->sizes(), split);
    EXPECT_EQ(again.lvProxyList()->header()->sectionSize(TProxyListItem::colPort),
              defaultPortWidth + 37);
    EXPECT_EQ(again.frmeSocksChain()->lvChains()->header()->sectionSize(TfrmeSocksChain::colName),
              211);
    EXPECT_EQ(again.CurrentPage(), TMainPage::mpProxySocksChain);
    EXPECT_EQ(again.NavigationButton(TMainPage::mpProxySocksChain)->isChecked(), true);
}

TEST(WindowState, WithoutASettingsFileTheWindowOpensOnTheProxyPage) {
    TMainFixture f(TMainFixture::TData::Sample);
    QFile::remove(TWindowSettings::FileName());
    TfrmMain &w = f.Open();
    EXPECT_EQ(w.CurrentPage(), TMainPage::mpProxyManager);
    EXPECT_EQ(SplitterOf(w)->sizes().size(), 2);
}

// "Log the activity to a file" on the Settings page holds at once and at the
// next start; a log file from the command line wins for its run. The panel's
// Save As asks through the window's prompts.
TEST(WindowState, ActivityLogFileSettingAndSaveAs) {
    QTemporaryDir dir;
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    TfrmeSettings *settings = w.frmeSettings();
    TfrmeActivityPanel *panel = w.frmeActivityPanel();
    w.actSettings->trigger();
    EXPECT_FALSE(settings->chkLogToFile()->isChecked());
    EXPECT_TRUE(panel->LogFile().isEmpty());
    const QString log = dir.filePath("velmora.log");
    settings->edtLogFile()->setText(log);
    settings->chkLogToFile()->setChecked(true);
    EXPECT_EQ(panel->LogFile(), log);
    panel->AddMessage("first run");
    panel->Flush();

    f.Prompts().SaveFileName = dir.filePath("saved.txt");
    panel->actSaveAs()->trigger();
    EXPECT_EQ(f.Prompts().SaveQuestions, QStringList({"Save As"}));
    EXPECT_TRUE(QFile::exists(dir.filePath("saved.txt")));
    w.close();
    f.Drop();

    TfrmMain &again = f.Open();
    EXPECT_EQ(again.frmeActivityPanel()->LogFile(), log);
    again.actSettings->trigger();
    EXPECT_TRUE(again.frmeSettings()->chkLogToFile()->isChecked());
    EXPECT_EQ(again.frmeSettings()->edtLogFile()->text(), log);
    const QString other = dir.filePath("other.log");
    again.SetCommandLineLogFile(other);
    again.frmeSettings()->chkLogToFile()->setChecked(false); // stored, not applied this run
    EXPECT_EQ(again.frmeActivityPanel()->LogFile(), other);
    again.frmeActivityPanel()->AddMessage("second run");
    again.frmeActivityPanel()->Flush();
    EXPECT_TRUE(TWindowSettings().ActivityLogFile().isEmpty());

    QFile first(log), second(other);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(first.readAll()).contains("first run"));
    EXPECT_TRUE(QString::fromUtf8(second.readAll()).endsWith(" second run\n"));
}
