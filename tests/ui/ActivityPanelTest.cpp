// The activity panel on the screen: lines raised on many threads reach the
// text area in each connection's order, the area follows inserts and deletes
// at either end, the view follows new lines only from the bottom, and the
// lines go to a file (Save As, the log file) as shown.
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace VelmoraTest;

// Connections on many threads at once, each with its own context ID: after
// the queue drains, every block that is still open holds its lines in the
// order they were raised, and closed blocks are one summary line each, with
// the bytes said right before their end.
TEST(ActivityPanel, LinesFromManyThreadsKeepEachConnectionsOrder) {
    TfrmeActivityPanel panel;
    constexpr int Threads = 8;
    constexpr int ConnectionsPerThread = 40;
    constexpr int Hops = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&panel, t] {
            for (int c = 0; c < ConnectionsPerThread; ++c) {
                const int id = t * 1000 + c;
                panel.CreateChainLog(1, id, QStringLiteral("%1 request").arg(id));
                for (int h = 0; h < Hops; ++h)
                    panel.WriteChainLog(1, id, QStringLiteral("%1 hop %2").arg(id).arg(h));
                if (c % 2 == 0) {
                    panel.RecordBytes(id, 2048); // comes right before its end
                    panel.DeleteChainLog(id, QStringLiteral("...Disconnected"));
                } else {
                    panel.AddMessage(QStringLiteral("plain %1").arg(id));
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    panel.Flush();

    ExpectConsistent(panel.Log(), panel.Lines());
    const QStringList visible = WithoutTime(panel.Lines());
    ASSERT_EQ(panel.Log().ChainLogs().size(), size_t(Threads * ConnectionsPerThread / 2));
    for (const auto &chainLog : panel.Log().ChainLogs()) {
        const int id = int(chainLog->ContextID());
        const int first = chainLog->FindFirstLine();
        ASSERT_EQ(chainLog->NoOfLines(), Hops + 1);
        EXPECT_EQ(visible[first], QStringLiteral("%1 request").arg(id));
        for (int h = 0; h < Hops; ++h)
            EXPECT_EQ(visible[first + 1 + h], QStringLiteral("%1 hop %2").arg(id).arg(h));
    }
    EXPECT_EQ(visible.filter(QStringLiteral("plain")).size(), Threads * ConnectionsPerThread / 2);
    EXPECT_EQ(visible.filter(QStringLiteral(" request ... 0 hops, 2.0 KB, ")).size(),
              Threads * ConnectionsPerThread / 2);
    EXPECT_EQ(visible.size(), Threads * ConnectionsPerThread / 2 * (Hops + 3));
}

TEST(ActivityPanel, TextAreaFollowsInsertsAndDeletesAtEitherEnd) {
    TfrmeActivityPanel panel;
    panel.Log().SetClock(nullptr);
    panel.CreateChainLog(1, 1, "A0");
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"A0"}));
    panel.DeleteChainLog(1, {}); // the only line
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"A0 ... 0 hops"}));
    panel.actClear()->trigger();
    EXPECT_TRUE(panel.Lines().isEmpty());
    panel.AddMessage("p");
    panel.CreateChainLog(1, 2, "B0");
    panel.WriteChainLog(1, 2, "B1");
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"p", "B0", "B1"}));
    panel.DeleteChainLog(2, {}); // the last lines
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"p", "B0 ... 0 hops"}));
}

TEST(ActivityPanel, EveryLineStartsWithItsTime) {
    TfrmeActivityPanel panel;
    panel.AddMessage("Services started");
    panel.Flush();
    ASSERT_EQ(panel.Lines().size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d Services started$"))
                    .match(panel.Lines()[0])
                    .hasMatch())
        << panel.Lines()[0].toStdString();
}

// The view stays on older lines being read, and follows from the bottom,
// also while the oldest lines go.
TEST(ActivityPanel, FollowsNewLinesOnlyFromTheBottom) {
    TfrmeActivityPanel panel;
    panel.resize(400, 150);
    panel.show();
    panel.Log().SetMaxLines(300);
    QScrollBar *bar = panel.mmActivities()->verticalScrollBar();
    for (int i = 0; i < 200; ++i)
        panel.AddMessage(QStringLiteral("line %1").arg(i));
    panel.Flush();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(20); // reading "line 20" and below
    for (int i = 200; i < 250; ++i)
        panel.AddMessage(QStringLiteral("line %1").arg(i));
    panel.Flush();
    EXPECT_EQ(bar->value(), 20);
    EXPECT_LT(bar->value(), bar->maximum());
    // The oldest 100 lines go: the same line stays at the top of the view.
    for (int i = 250; i < 400; ++i)
        panel.AddMessage(QStringLiteral("line %1").arg(i));
    panel.Flush();
    EXPECT_EQ(panel.Log().Dropped(), 100);
    EXPECT_EQ(bar->value(), 0);
    bar->setValue(50);
    panel.AddMessage("line 400");
    panel.Flush();
    EXPECT_EQ(bar->value(), 49);
    EXPECT_EQ(WithoutTime(panel.Lines()).at(49), QStringLiteral("line 150"));

    bar->setValue(bar->maximum());
    panel.AddMessage("line 401");
    panel.Flush();
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST(ActivityPanel, SaveAsAndTheLogFileWriteTheLinesAsShown) {
    QTemporaryDir dir;
    TfrmeActivityPanel panel;
    QStringList errors;
    panel.FOnError = [&](const QString &text) { errors << text; };
    const QString log = dir.filePath("activity.log");
    {
        QFile earlier(log);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier run\n");
    }
    ASSERT_TRUE(panel.SetLogFile(log));
    panel.AddMessage("one");
    panel.CreateChainLog(1, 7, "Request connect to a:1");
    panel.WriteChainLog(1, 7, " ...Connect proxy 1.2.3.4:1080 => a:1");
    panel.DeleteChainLog(7, "...Disconnected");
    panel.Flush();
    const QStringList shown = panel.Lines();
    ASSERT_EQ(shown.size(), 2);

    // Cancelled: nothing written.
    panel.FOnAskFileName = [] { return QString(); };
    panel.actSaveAs()->trigger();
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files) == QStringList({"activity.log"}));
    const QString saved = dir.filePath("saved.txt");
    panel.FOnAskFileName = [&] { return saved; };
    panel.actSaveAs()->trigger();
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), shown.join('\n') + '\n');

    // The log file got every line as it came, after what it held.
    panel.SetLogFile({});
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(written.readAll()).split('\n');
    ASSERT_EQ(lines.size(), 6) << lines.join('|').toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("earlier run"));
    EXPECT_EQ(lines[1], shown[0]);
    EXPECT_EQ(WithoutTime(lines.mid(2, 2)),
              QStringList({"Request connect to a:1", " ...Connect proxy 1.2.3.4:1080 => a:1"}));
    EXPECT_EQ(lines[4], shown[1]);
    EXPECT_TRUE(lines[5].isEmpty());
    panel.AddMessage("not logged");
    panel.Flush();
    EXPECT_EQ(QFile(log).size(), written.size());

    // A file that cannot be written is said so.
    EXPECT_FALSE(panel.SetLogFile(dir.filePath("missing/activity.log")));
    EXPECT_TRUE(panel.LogFile().isEmpty());
    EXPECT_FALSE(panel.SaveTo(dir.filePath("missing/saved.txt")));
    EXPECT_EQ(errors.size(), 2);
}
