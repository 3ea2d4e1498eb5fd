// The window comes back as it was closed: size, splitter, the proxy and chain
// lists' column widths and the page, read from the settings file in the
// configuration folder.
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeSocksChain.h"

#include <QFile>
#include <QHeaderView>
#include <QSplitter>
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
