// Takes the screenshots of the README: the splash, each page of the main
// window, and the window while a check runs and after it, on a data folder
// of its own with local proxies (microsocks, tinyproxy when present, a
// closed port), a chain that carries two open connections, a chain stopped
// on the chain page, chains that could not start, and the "Test Chain"
// report of the running chain, and the window under a dark palette.
//   velmora_screenshots OUTPUT_FOLDER
// Run by scripts/screenshots.sh under Xvfb; works on the offscreen platform
// as well.
#include "tests/support/CheckTestSupport.h"
#include "tests/support/Peers.h"
#include "tests/support/ProxyStubs.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/ThemeManager.h"
#include "ui/windows/frmAddBulkProxy.h"
#include "ui/windows/frmAnonymizedProgram.h"
#include "ui/windows/frmChainTest.h"
#include "ui/windows/frmProxyRecord.h"
#include "ui/windows/frmSocksChainRecord.h"
#include "ui/windows/frmSplash.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeProxyList.h"
#include "ui/windows/frmeSettings.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace VelmoraTest;

namespace {

QString gOut;

void Save(QWidget &widget, const char *name) {
    QApplication::processEvents();
    const QString path = gOut + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    if (!widget.grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

void AddProgram(TdmProxyData &s, const QString &file, int32_t chainUID, int32_t port) {
    s.PutAnonym({.Filename = file, .ChainUID = chainUID, .ChainPort = port, .NoOfProxy = 2});
    s.AnonymSaveData();
}

// The local peers and ports the screenshots show.
struct TScene {
    TMicrosocksPeer Hop;
    std::unique_ptr<TTinyproxyPeer> Http =
        TTinyproxyPeer::Available() ? std::make_unique<TTinyproxyPeer>() : nullptr;
    TEchoServer Echo;
    TEchoPage Page;
    const uint16_t Closed = FreeLoopbackPort();
    const uint16_t WorkPort = FreeLoopbackPort();
    const uint16_t BackupPort = FreeLoopbackPort();
    const uint16_t SparePort = FreeLoopbackPort();
    // Another program's port, which the chain "Office" is set to.
    const uint16_t OfficePort = FreeLoopbackPort();
    TSocket OtherProgram = TSocket::Listen(TSocket::Family::IPv4, OfficePort, 4);
    int32_t WorkUID = 0;
};

// Proxies of every status, four chains (one on another program's port) and
// four programs (two whose chain has moved or gone).
void SeedStore(TdmProxyData &s, TScene &scene) {
    s.SetTimeout(5);
    const int32_t fast =
        AddProxy(s, scene.Hop.Port(), TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
    const int32_t dead =
        AddProxy(s, scene.Closed, TProxyType::ptSOCKS4, TProxyStatus::psUnavailable);
    if (scene.Http)
        AddProxy(s, scene.Http->Port(), TProxyType::ptHTTP, TProxyStatus::psUnknown);
    AddProxy(s, scene.Hop.Port(), TProxyType::ptUnknown, TProxyStatus::psUnknown);
    AddProxy(s, 1080, TProxyType::ptSOCKS5, TProxyStatus::psUnknown, "192.0.2.10");
    AddProxy(s, 3128, TProxyType::ptHTTP, TProxyStatus::psUnavailable, "198.51.100.7");
    const int32_t work = SeedChain(s, "Work", scene.WorkPort, {fast});
    scene.WorkUID = work;
    const int32_t backup = SeedChain(s, "Backup", scene.BackupPort, {fast, dead});
    SeedChain(s, "Spare", scene.SparePort, {fast});
    SeedChain(s, "Office", scene.OfficePort, {fast});
    AddProgram(s, "firefox", work, scene.WorkPort);
    AddProgram(s, "thunderbird", work, scene.WorkPort);
    AddProgram(s, "/usr/bin/curl", backup, scene.BackupPort + 1); // the chain has moved since
    AddProgram(s, "wget", backup + 10, 1090);                     // its chain was deleted
}

void SelectChain(QTreeWidget *chainList, const char *name) {
    for (int i = 0; i < chainList->topLevelItemCount(); ++i)
        chainList->topLevelItem(i)->setSelected(
            chainList->topLevelItem(i)->text(TfrmeSocksChain::colName) == name);
}

// Every page, "Spare" stopped from the chain page, the "Test Chain" report
// of "Work", and a check under way and done.
void ShootPages(TMainFixture &f, TfrmMain &w, TScene &scene) {
    Save(w, "proxy-manager");
    w.actAnonymizeProgram->trigger();
    w.frmeAnonymize()->lvPrograms()->topLevelItem(0)->setSelected(true);
    w.frmeAnonymize()->UpdateActions();
    Save(w, "anonymize-program");
    // "Spare" is stopped from the chain page; nothing stays selected.
    w.actProxySocksChain->trigger();
    QTreeWidget *chainList = w.frmeSocksChain()->lvChains();
    SelectChain(chainList, "Spare");
    w.frmeSocksChain()->actStopChain()->trigger();
    chainList->clearSelection();
    w.UpdateActions();
    Save(w, "socks-chains");
    // "Test Chain" on "Work", from the chain page, with the page answering at once.
    scene.Page.DelayMs = 0;
    SelectChain(chainList, "Work");
    w.frmeSocksChain()->actTestChain()->trigger();
    if (Pump([&] { return w.frmChainTest() && w.frmChainTest()->isVisible(); }, 60000)) {
        Save(*w.frmChainTest(), "dialog-test-chain");
        w.frmChainTest()->accept();
    } else {
        std::fprintf(stderr, "the chain test did not report\n");
    }
    chainList->clearSelection();
    w.actSettings->trigger();
    Save(w, "settings");

    w.actProxyMgr->trigger();
    w.UpdateActions();
    w.actTestAll->trigger();
    PumpFor(300);
    Save(w, "checking");
    Pump([&] { return f.Prompts().Messages.contains(QStringLiteral("Check done")); }, 60000);
    Save(w, "checked");
}

void ApplyTheme(QApplication &app) {
    TThemeManager::LoadAndApply(app, QStringLiteral(VELMORA_SOURCE_DIR "/Style.vsf"),
                                QStringLiteral("My Style"));
}

// The same window under a dark desktop palette, the theme over it.
void ShootDark(QApplication &app, TfrmMain &w) {
    const QPalette light = QApplication::palette();
    QPalette dark;
    const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
    for (auto role : {QPalette::Window, QPalette::Button, QPalette::AlternateBase})
        dark.setColor(role, window);
    dark.setColor(QPalette::Base, base);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(role, text);
    dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    QApplication::setPalette(dark);
    ApplyTheme(app);
    Save(w, "dark-proxy-manager");
    w.actProxySocksChain->trigger();
    Save(w, "dark-socks-chains");
    w.actProxyMgr->trigger();
    QApplication::setPalette(light);
    ApplyTheme(app);
}

// The dialogs, each prepared as its command would and shown without
// waiting for the user.
void ShootDialogs(TDialogs &dialogs, TfrmMain &w, int32_t workUID) {
    TfrmSocksChainRecord *chain = dialogs.frmSocksChainRecord();
    chain->Edit(workUID);
    chain->show();
    TProxyListView *picker = chain->frmeProxyList()->lvProxies();
    picker->SetChecked(picker->Row(2), true);
    Save(*chain, "dialog-chain");
    chain->reject();
    TfrmProxyRecord *proxy = dialogs.frmProxyRecord();
    proxy->Edit(w.lvProxyList()->Row(0).UID());
    proxy->show();
    Save(*proxy, "dialog-proxy");
    proxy->reject();
    TfrmAddBulkProxy *bulk = dialogs.frmAddBulkProxy();
    bulk->mmProxies()->setPlainText(
        QStringLiteral("192.0.2.20:1080\n192.0.2.21:3128\n198.51.100.30:8080\n"));
    bulk->show();
    Save(*bulk, "dialog-bulk");
    bulk->reject();
    TfrmAnonymizedProgram *program = dialogs.frmAnonymizedProgram();
    program->Edit(1);
    program->show();
    Save(*program, "dialog-program");
    program->reject();
}

// A list of 10,000 proxies a second into its check: most never answer
// (their rows stay "Testing" until the time-out), some refuse at once,
// some work; the status bar counts the results.
void ShootBigList(TMainFixture &f, TfrmMain &w, TScene &scene) {
    TBlackHole dead;
    TdmProxyData &s = f.Store();
    for (int i = 0; i < 10000; ++i) {
        if (i % 9 == 4)
            s.AddProxy(QStringLiteral("127.0.0.1"), scene.Hop.Port(), TProxyType::ptUnknown);
        else if (i % 7 == 2)
            s.AddProxy(QStringLiteral("127.0.0.1"), scene.Closed, TProxyType::ptUnknown);
        else
            s.AddProxy(QString::fromStdString(TBlackHole::Address(i)), dead.Port(),
                       TProxyType::ptUnknown);
    }
    s.SaveData();
    // More of the list, less of the activity panel.
    if (auto *split = w.findChild<QSplitter *>())
        split->setSizes({560, 140});
    w.UpdateActions();
    w.actTestAll->trigger();
    PumpFor(1500);
    Save(w, "big-list-checking");
    w.UpdateActions();
    w.actStopChecking->trigger();
    Pump([&] { return f.Prompts().Messages.count(QStringLiteral("Check done")) >= 2; }, 30000);
}

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    QApplication app(argc, argv);
    gOut = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(gOut);
    QApplication::setApplicationName(QStringLiteral("Velmora Anonymizer"));
    ApplyTheme(app);

    {
        TfrmSplash splash;
        splash.ShowNow();
        Save(splash, "splash");
    }

    TScene scene;
    scene.Page.DelayMs = 1500; // long enough to see the checks under way
    TCheckURLOverride checkURL(scene.Page.URL());
    TMainFixture f(TMainFixture::TData::Missing);
    f.Seed([&](TdmProxyData &s) { SeedStore(s, scene); });

    TfrmMain &w = f.Open();
    w.resize(w.width(), 700); // the extra height goes to the activity panel
    w.show();
    if (!Pump([&] { return w.ServicesStarted(); }) ||
        !Pump([&] { return f.ActivityLines().contains(QStringLiteral("Services started")); })) {
        std::fprintf(stderr, "the services did not start\n");
        return 1;
    }
    // Two connections through the chain stay open while the pictures are taken.
    const int first = Socks5Connect(scene.WorkPort, scene.Echo.Port());
    const int second = Socks5Connect(scene.WorkPort, scene.Echo.Port());
    Pump([&] { return f.ActivityLines().filter(QStringLiteral(" ...Connect proxy")).size() >= 2; });

    ShootPages(f, w, scene);
    ShootDark(app, w);
    TDialogs dialogs(f.Store(), f.Services().ChainMgr(), f.Prompts(), &w);
    w.SetDialogs(&dialogs);
    ShootDialogs(dialogs, w, scene.WorkUID);
    ShootBigList(f, w, scene);

    ::close(first);
    ::close(second);
    return 0;
}
