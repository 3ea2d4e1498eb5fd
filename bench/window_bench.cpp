// Window benchmark: the main window over a data folder of 100,000 proxies,
// offscreen. Not a test; prints one line per measurement.
//
//   window_bench seed DIR [N]   writes N proxies (default 100,000) into the
//                               data folder DIR, every one at a closed
//                               loopback port, Time-Out 1 s
//   window_bench startup DIR    from the start of the process to the Proxy
//                               Manager page painted with all its rows
//   window_bench check DIR      "Test All" over every proxy; the longest gap
//                               seen by a 10 ms timer on the window's thread
//   window_bench delete DIR     every row selected and "Delete" (answered
//                               Yes): its time on the window's thread and
//                               the saves it made; DIR loses its proxies
//   window_bench treewidget DIR the same rows filled into a QTreeWidget, one
//                               item per row with its own texts, as the list
//                               was built before it read the store directly
//
// The services listen on a port the system chooses; the prompts answer
// "Yes" and only record. Run with QT_QPA_PLATFORM=offscreen.
#include "engine/chain/dmSocksMgr.h"
#include "store/dmProxyData.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QElapsedTimer &Clock() {
    static QElapsedTimer clock;
    return clock;
}

double Ms(qint64 ns) {
    return static_cast<double>(ns) / 1e6;
}

class TBenchPrompts : public TUiPrompts {
public:
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
        Errors << text;
    }
    bool AskYesNo(const QString &) override { return true; }
    void OpenUrl(const QUrl &) override {}
    QStringList Messages, Errors;
};

// Calls `done` at the first paint of `widget` (after its events ran).
class TFirstPaint : public QObject {
public:
    TFirstPaint(QWidget *widget, std::function<void()> done) : FDone(std::move(done)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject *watched, QEvent *e) override {
        if (e->type() == QEvent::Paint && FDone) {
            watched->removeEventFilter(this);
            auto done = std::move(FDone);
            FDone = nullptr;
            QTimer::singleShot(0, done); // once this paint is over
        }
        return false;
    }

private:
    std::function<void()> FDone;
};

// The longest time between two ticks of a 10 ms timer, from Start on.
class TStallMeter {
public:
    TStallMeter() {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(10);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            const qint64 now = Clock().nsecsElapsed();
            FMax = std::max(FMax, now - FLast);
            FLast = now;
            ++FTicks;
        });
    }
    void Start() {
        FLast = Clock().nsecsElapsed();
        FTimer.start();
    }
    void Stop() { FTimer.stop(); }
    double MaxGapMs() const { return Ms(FMax); }
    int Ticks() const { return FTicks; }

private:
    QTimer FTimer;
    qint64 FLast = 0, FMax = 0;
    int FTicks = 0;
};

int Seed(const QString &folder, int count) {
    // A loopback port the system hands out, closed again: nobody listens.
    uint16_t port = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    TdmProxyData store(folder);
    store.LoadData();
    TdmProxyData::TBatch hold(store);
    hold.Discard(); // nothing saves by itself
    for (int i = 0; i < count; ++i)
        store.AddProxy(QStringLiteral("127.0.0.1"), port, TProxyType::ptSOCKS5);
    // Statuses as a list that was checked before: a third each.
    TDataTable &t = store.cdsProxies();
    int i = 0;
    for (t.First(); !t.Eof(); t.Next(), ++i) {
        t.Edit();
        t.FieldByName(QStringLiteral("Status")).SetAsInteger(i % 3);
        t.FieldByName(QStringLiteral("Speed")).SetAsFloat(i % 3 == 2 ? 100.0 + i % 900 : 0.0);
        t.Post();
    }
    store.SaveData();
    store.SetTimeout(1);
    std::printf("seeded %d proxies at 127.0.0.1:%u in %s\n", count, port, qPrintable(folder));
    return 0;
}

struct TWindow {
    explicit TWindow(const QString &folder) : Services(0), Store(folder) {
        Services.ChainMgr().SetStore(&Store);
        Window = std::make_unique<TfrmMain>(Services, Store, Prompts);
    }
    ~TWindow() { Window->close(); }
    TBenchPrompts Prompts;
    TdmSocksMgr Services;
    TdmProxyData Store;
    std::unique_ptr<TfrmMain> Window; // goes first
};

int Startup(QApplication &app, const QString &folder) {
    TWindow w(folder);
    const double built = Ms(Clock().nsecsElapsed());
    const int rows = w.Window->lvProxyList()->RowCount();
    double painted = 0;
    TFirstPaint paint(w.Window->lvProxyList()->viewport(), [&] {
        painted = Ms(Clock().nsecsElapsed());
        app.quit();
    });
    w.Window->show();
    QTimer::singleShot(30000, &app, &QApplication::quit);
    app.exec();
    std::printf("startup rows=%d window_ms=%.1f shown_ms=%.1f\n", rows, built, painted);
    return painted > 0 && rows > 0 && w.Prompts.Errors.isEmpty() ? 0 : 1;
}

// Shows the window and runs its events until the list's first paint.
void ShowAndWait(QApplication &app, TWindow &w) {
    bool shown = false;
    TFirstPaint paint(w.Window->lvProxyList()->viewport(), [&] { shown = true; });
    w.Window->show();
    while (!shown)
        app.processEvents(QEventLoop::AllEvents, 10);
}

int Check(QApplication &app, const QString &folder) {
    TWindow w(folder);
    ShowAndWait(app, w);
    const int rows = w.Window->lvProxyList()->RowCount();
    TStallMeter meter;
    QElapsedTimer took;
    int progressTexts = 0;
    double startMs = 0;
    QString lastText;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w.Window->StatusText() != lastText) {
            lastText = w.Window->StatusText();
            ++progressTexts;
        }
        if (w.Prompts.Messages.contains(QStringLiteral("Check done")))
            app.quit();
    });
    QTimer::singleShot(0, [&] {
        meter.Start();
        took.start();
        w.Window->UpdateActions();
        const qint64 before = Clock().nsecsElapsed();
        w.Window->actTestAll->trigger();
        startMs = Ms(Clock().nsecsElapsed() - before);
        watch.start();
    });
    QTimer::singleShot(600000, &app, &QApplication::quit);
    app.exec();
    meter.Stop();
    const bool done = w.Prompts.Messages.contains(QStringLiteral("Check done"));
    std::printf("check rows=%d done=%d total_ms=%.0f max_gap_ms=%.1f start_ms=%.1f ticks=%d "
                "status_texts=%d saves=%lld\n",
                rows, done ? 1 : 0, Ms(took.nsecsElapsed()), meter.MaxGapMs(), startMs,
                meter.Ticks(), progressTexts, static_cast<long long>(w.Store.SaveCount()));
    return done ? 0 : 1;
}

int Delete(QApplication &app, const QString &folder) {
    TWindow w(folder);
    ShowAndWait(app, w);
    w.Window->lvProxyList()->selectAll();
    const int rows = static_cast<int>(w.Window->lvProxyList()->SelectedUIDs().size());
    w.Window->UpdateActions();
    const int64_t saves = w.Store.SaveCount();
    QElapsedTimer took;
    took.start();
    w.Window->actDeleteProxy->trigger();
    const double ms = Ms(took.nsecsElapsed());
    app.processEvents();
    std::printf("delete rows=%d left=%d delete_ms=%.1f saves=%lld\n", rows,
                w.Window->lvProxyList()->RowCount(), ms,
                static_cast<long long>(w.Store.SaveCount() - saves));
    return rows > 0 && w.Prompts.Errors.isEmpty() ? 0 : 1;
}

// The rows as the list was filled before: a record copy and an item with
// five texts per row, all added at once, then the first paint.
int TreeWidget(QApplication &app, const QString &folder) {
    TdmProxyData store(folder);
    store.LoadData();
    QTreeWidget tree;
    tree.setColumnCount(5);
    tree.setHeaderLabels({"IP/Host", "Port", "Status", "Type", "Speed"});
    tree.setUniformRowHeights(true);
    tree.setRootIsDecorated(false);
    tree.resize(700, 400);
    QElapsedTimer t;
    t.start();
    std::vector<std::unique_ptr<TProxData>> records;
    store.GetAllProxyRecords(records);
    QList<QTreeWidgetItem *> items;
    items.reserve(static_cast<qsizetype>(records.size()));
    for (const auto &r : records) {
        auto *item = new QTreeWidgetItem;
        item->setText(0, r->FIPAddress);
        item->setText(1, QString::number(r->FPort));
        item->setText(2, ProxyStatusText(static_cast<int>(r->FStatus)));
        item->setText(3, ProxyTypeText(static_cast<int>(r->FProxyType)));
        item->setText(4, SpeedToText(r->FSpeed));
        item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
        items << item;
    }
    tree.addTopLevelItems(items);
    const double filled = Ms(t.nsecsElapsed());
    double painted = 0;
    TFirstPaint paint(tree.viewport(), [&] {
        painted = Ms(t.nsecsElapsed());
        app.quit();
    });
    tree.show();
    app.exec();
    // One status cell set by UID as a check's progress did: a scan per row.
    t.restart();
    const int probes = 1000;
    for (int p = 0; p < probes; ++p) {
        const int uid = records[records.size() - 1 - p]->FUID;
        for (int i = 0; i < tree.topLevelItemCount(); ++i)
            if (records[i]->FUID == uid) {
                tree.topLevelItem(i)->setText(2, QStringLiteral("Testing"));
                break;
            }
    }
    const double perRow = Ms(t.nsecsElapsed()) / probes;
    std::printf("treewidget rows=%d fill_ms=%.1f shown_ms=%.1f progress_per_row_ms=%.3f\n",
                tree.topLevelItemCount(), filled, painted, perRow);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Clock().start();
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_bench seed|startup|check|delete|treewidget DIR [N]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QString folder = QString::fromLocal8Bit(argv[2]);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    try {
        if (std::strcmp(argv[1], "seed") == 0)
            return Seed(folder, argc > 3 ? std::atoi(argv[3]) : 100000);
        if (std::strcmp(argv[1], "startup") == 0)
            return Startup(app, folder);
        if (std::strcmp(argv[1], "check") == 0)
            return Check(app, folder);
        if (std::strcmp(argv[1], "delete") == 0)
            return Delete(app, folder);
        if (std::strcmp(argv[1], "treewidget") == 0)
            return TreeWidget(app, folder);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "window_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "window_bench: unknown mode %s\n", argv[1]);
    return 2;
}
