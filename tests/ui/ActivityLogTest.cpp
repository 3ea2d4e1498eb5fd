// The activity panel's arithmetic: blocks per connection among plain lines,
// and the queue that brings lines from many threads in the order raised.
#include "ui/logic/ActivityLog.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/ActivityQueue.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace VelmoraTest;

namespace {

class TStringLines : public TActivityLines {
public:
    int Count() const override { return int(Lines.size()); }
    void Append(const QString &text) override { Lines << text; }
    void Insert(int index, const QString &text) override { Lines.insert(index, text); }
    void Delete(int index) override { Lines.removeAt(index); }
    QStringList Lines;
};

QStringList TextOf(const TActivityLog &log) {
    QStringList lines;
    for (const TActivityTextLine &line : log.Text())
        lines << line.Text;
    return lines;
}

// FText and the visible lines agree; each live block is contiguous and starts
// at the entry that refers to it.
void ExpectConsistent(const TActivityLog &log, const QStringList &visible) {
    ASSERT_EQ(TextOf(log), visible);
    for (const auto &chainLog : log.ChainLogs()) {
        const int first = chainLog->FindFirstLine();
        ASSERT_GE(first, 0);
        EXPECT_EQ(log.Text()[first].Log, chainLog.get());
        for (int i = first + 1; i < first + chainLog->NoOfLines(); ++i)
            EXPECT_EQ(log.Text()[i].Log, nullptr);
    }
}

} // namespace

TEST(ActivityLog, PositionsOfTwoBlocksAndPlainLines) {
    TStringLines lines;
    TActivityLog log(lines);
    log.AddMessage("p0");
    log.AddMessage("p1");
    log.AddMessage("p2");
    log.CreateChainLog(1, 100, "A request"); // line 3
    log.CreateChainLog(1, 200, "B request"); // line 4
    log.WriteChainLog(1, 100, "A hop 1");    // inserted at 3 + 1 = 4; B moves to 5
    EXPECT_EQ(lines.Lines, QStringList({"p0", "p1", "p2", "A request", "A hop 1", "B request"}));
    log.AddMessage("p3"); // appended at 6
    EXPECT_EQ(lines.Lines.indexOf("p3"), 6);
    log.DeleteChainLog(100, "...Disconnected"); // lines 4 and 3 go
    EXPECT_EQ(lines.Lines, QStringList({"p0", "p1", "p2", "B request", "p3"}));
    EXPECT_EQ(log.ChainLogs().size(), 1u);
    EXPECT_EQ(log.ChainLogs().front()->FindFirstLine(), 3);
    ExpectConsistent(log, lines.Lines);
}

TEST(ActivityLog, InterleavedConnectionsKeepTheirBlocksInHopOrder) {
    TStringLines lines;
    TActivityLog log(lines);
    log.CreateChainLog(7, 1, "A0");
    log.AddMessage("plain");
    log.CreateChainLog(7, 2, "B0");
    log.WriteChainLog(7, 2, "B1");
    log.WriteChainLog(7, 1, "A1");
    log.WriteChainLog(7, 2, "B2");
    log.WriteChainLog(7, 1, "A2");
    log.WriteChainLog(7, 1, "A3");
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "A3", "plain", "B0", "B1", "B2"}));
    EXPECT_EQ(log.ChainLogs()[0]->NoOfLines(), 4);
    EXPECT_EQ(log.ChainLogs()[1]->NoOfLines(), 3);
    ExpectConsistent(log, lines.Lines);

    // The later block ends first: exactly its lines go.
    log.DeleteChainLog(2, {});
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "A3", "plain"}));
    log.WriteChainLog(7, 1, "A4"); // still right after the block's last line
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "A3", "A4", "plain"}));
    log.DeleteChainLog(1, {});
    EXPECT_EQ(lines.Lines, QStringList({"plain"}));
    EXPECT_TRUE(log.ChainLogs().empty());
    ExpectConsistent(log, lines.Lines);
}

TEST(ActivityLog, UnknownContextWriteIsDroppedAndDeleteSaysChainNotFound) {
    TStringLines lines;
    TActivityLog log(lines);
    log.CreateChainLog(1, 5, "A0");
    log.WriteChainLog(1, 6, "lost");
    EXPECT_EQ(lines.Lines, QStringList({"A0"}));
    log.DeleteChainLog(6, "...Disconnected");
    EXPECT_EQ(lines.Lines, QStringList({"A0", "chain not found"}));
    // The same context ID twice: the first block is the one written and removed.
    log.CreateChainLog(1, 5, "A'0");
    log.WriteChainLog(1, 5, "A1");
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "chain not found", "A'0"}));
    log.DeleteChainLog(5, {});
    EXPECT_EQ(lines.Lines, QStringList({"chain not found", "A'0"}));
    ExpectConsistent(log, lines.Lines);
}

TEST(ActivityLog, LineForABlockWhoseFirstLineIsGoneFails) {
    TStringLines lines;
    TActivityChainLog orphan(lines, 9);
    try {
        orphan.AddLine("x");
        FAIL() << "no error";
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "error get ChainLog");
    }
    EXPECT_TRUE(lines.Lines.isEmpty());
    EXPECT_EQ(orphan.NoOfLines(), 0);
    orphan.RemoveLines(); // nothing to remove
    EXPECT_TRUE(lines.Lines.isEmpty());
}

TEST(ActivityQueue, RunsNothingUntilTheUserInterfaceThreadTurns) {
    auto queue = TActivityQueue::Create();
    TStringLines lines;
    TActivityLog log(lines);
    queue->SetSink([&](const std::vector<TActivityCall> &batch) {
        for (const TActivityCall &call : batch)
            log.AddMessage(call.Text);
    });
    queue->AddMessage("one");
    queue->AddMessage("two");
    EXPECT_TRUE(lines.Lines.isEmpty());
    EXPECT_TRUE(Pump([&] { return lines.Count() == 2; }));
    EXPECT_EQ(lines.Lines, QStringList({"one", "two"}));
    // A queue whose sink is gone drops what it drains.
    queue->SetSink(nullptr);
    queue->AddMessage("three");
    PumpFor(20);
    EXPECT_EQ(queue->Pending(), 0u);
}

// Connections on many threads at once, each with its own context ID: after
// the queue drains, every block that is still open holds its lines in the
// order they were raised, and closed blocks are gone.
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
                if (c % 2 == 0)
                    panel.DeleteChainLog(id, QStringLiteral("...Disconnected"));
                else
                    panel.AddMessage(QStringLiteral("plain %1").arg(id));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    panel.Flush();

    const QStringList visible = panel.Lines();
    ExpectConsistent(panel.Log(), visible);
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
    EXPECT_EQ(visible.size(), Threads * ConnectionsPerThread / 2 * (Hops + 2));
}

TEST(ActivityPanel, TextAreaFollowsInsertsAndDeletesAtEitherEnd) {
    TfrmeActivityPanel panel;
    panel.CreateChainLog(1, 1, "A0");
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"A0"}));
    panel.DeleteChainLog(1, {}); // the only line
    panel.Flush();
    EXPECT_TRUE(panel.Lines().isEmpty());
    panel.AddMessage("p");
    panel.CreateChainLog(1, 2, "B0");
    panel.WriteChainLog(1, 2, "B1");
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"p", "B0", "B1"}));
    panel.DeleteChainLog(2, {}); // the last lines
    panel.Flush();
    EXPECT_EQ(panel.Lines(), QStringList({"p"}));
}
