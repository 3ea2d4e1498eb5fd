// The activity panel's arithmetic: blocks per connection among plain lines,
// and the queue that holds lines until the user-interface thread drains them.
#include "ui/logic/ActivityLog.h"
#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/logic/ActivityQueue.h"

#include <QStringList>
#include <gtest/gtest.h>
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
