// The activity panel's arithmetic: blocks per connection among plain lines,
// and the queue that holds lines until the user-interface thread drains them.
#include "ui/logic/ActivityLog.h"
#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/logic/ActivityQueue.h"

#include <QDateTime>
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
    log.DeleteChainLog(100, "...Disconnected"); // lines 4 and 3 become one summary at 3
    EXPECT_EQ(lines.Lines,
              QStringList({"p0", "p1", "p2", "A request ... 0 hops", "B request", "p3"}));
    EXPECT_EQ(log.ChainLogs().size(), 1u);
    EXPECT_EQ(log.ChainLogs().front()->FindFirstLine(), 4);
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

    // The later block ends first: exactly its lines become its summary.
    log.DeleteChainLog(2, {});
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "A3", "plain", "B0 ... 0 hops"}));
    log.WriteChainLog(7, 1, "A4"); // still right after the block's last line
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "A3", "A4", "plain", "B0 ... 0 hops"}));
    log.DeleteChainLog(1, {});
    EXPECT_EQ(lines.Lines, QStringList({"A0 ... 0 hops", "plain", "B0 ... 0 hops"}));
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
    EXPECT_EQ(lines.Lines, QStringList({"A0 ... 0 hops", "chain not found", "A'0"}));
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
    orphan.Collapse("summary");
    EXPECT_TRUE(lines.Lines.isEmpty());
}

// A clock the test moves by hand.
struct TTestClock {
    QDateTime Now = QDateTime(QDate(2024, 5, 6), QTime(9, 5, 7));
    TActivityLog::TClock Clock() {
        return [this] { return Now; };
    }
};

TEST(ActivityLog, LinesCarryTheTimeAndAnEndedBlockStaysAsItsSummary) {
    TStringLines lines;
    TTestClock clock;
    TActivityLog log(lines, clock.Clock());
    QStringList written;
    log.FOnLine = [&](const QString &line) { written << line; };
    log.AddMessage("Services started");
    log.CreateChainLog(1, 3, "Request connect to example.org:443");
    clock.Now = clock.Now.addMSecs(400);
    log.WriteChainLog(1, 3, " ...Connect Chain 127.0.0.1:9050");
    log.WriteChainLog(1, 3, " ...Connect proxy 10.0.0.1:1080 => 10.0.0.2:1080");
    log.WriteChainLog(1, 3,
                      " ...Hop 2 (10.0.0.2:1080) failed: refused; trying 10.0.0.3:1080 "
                      "in its place");
    log.WriteChainLog(1, 3, " ...Connect proxy 10.0.0.1:1080 => 10.0.0.3:1080");
    log.WriteChainLog(1, 3, " ...Connect proxy 10.0.0.3:1080 => example.org:443");
    log.AddMessage("later");
    EXPECT_EQ(lines.Lines[0], "09:05:07 Services started");
    EXPECT_EQ(lines.Lines[2], "09:05:07  ...Connect Chain 127.0.0.1:9050");
    EXPECT_EQ(lines.Count(), 8);

    clock.Now = clock.Now.addMSecs(1050); // 1.45 s after the request
    log.DeleteChainLog(3, "...Disconnected");
    EXPECT_EQ(lines.Lines, QStringList({"09:05:07 Services started",
                                        "09:05:07 Request connect to example.org:443 ... "
                                        "3 hops, 1 failed, 1.4 s",
                                        "09:05:07 later"}));
    ExpectConsistent(log, lines.Lines);
    // The file gets every line as it came, then the summary.
    EXPECT_EQ(written.size(), 9);
    EXPECT_EQ(written.last(), lines.Lines[1]);
    EXPECT_EQ(written[2], "09:05:07  ...Connect Chain 127.0.0.1:9050");

    // Long connections in whole seconds; one hop is "hop".
    log.CreateChainLog(1, 4, "Request connect to a:1");
    log.WriteChainLog(1, 4, " ...Connect proxy 1.1.1.1:1 => a:1");
    clock.Now = clock.Now.addSecs(95);
    log.DeleteChainLog(4, {});
    EXPECT_EQ(lines.Lines.last(), "09:05:08 Request connect to a:1 ... 1 hop, 95 s");
    // Without a clock nothing is said of the time.
    TStringLines plain;
    TActivityLog untimed(plain);
    untimed.CreateChainLog(1, 1, "Request connect to b:2");
    untimed.DeleteChainLog(1, {});
    EXPECT_EQ(plain.Lines, QStringList({"Request connect to b:2 ... 0 hops"}));
}

// The bytes said right before a connection's end go into its summary,
// between the hops and the time; bytes for a connection without a block are
// not kept anywhere, and a connection that moved nothing says nothing of
// bytes.
TEST(ActivityLog, SummaryCarriesTheBytesSaidBeforeTheEnd) {
    TStringLines lines;
    TTestClock clock;
    TActivityLog log(lines, clock.Clock());
    log.CreateChainLog(1, 3, "Request connect to example.org:443");
    log.WriteChainLog(1, 3, " ...Connect proxy 10.0.0.1:1080 => 10.0.0.2:1080");
    log.WriteChainLog(1, 3, " ...Hop 2 (10.0.0.2:1080) failed: refused");
    log.WriteChainLog(1, 3, " ...Connect proxy 10.0.0.2:1080 => example.org:443");
    log.RecordBytes(9, 5000); // no block of 9: dropped
    clock.Now = clock.Now.addSecs(2);
    log.RecordBytes(3, 12400000);
    log.DeleteChainLog(3, "...Disconnected");
    EXPECT_EQ(lines.Lines, QStringList({"09:05:07 Request connect to example.org:443 ... "
                                        "2 hops, 1 failed, 12.4 MB, 2.0 s"}));
    EXPECT_TRUE(log.ChainLogs().empty());

    // Context 9 comes back later: the earlier bytes were not kept for it.
    log.CreateChainLog(1, 9, "Request connect to b:2");
    log.DeleteChainLog(9, {});
    EXPECT_EQ(lines.Lines.last(), "09:05:09 Request connect to b:2 ... 0 hops, 0.0 s");
    log.CreateChainLog(1, 4, "Request connect to c:3");
    log.RecordBytes(4, 0);
    log.DeleteChainLog(4, {});
    EXPECT_EQ(lines.Lines.last(), "09:05:09 Request connect to c:3 ... 0 hops, 0.0 s");
}

TEST(ActivityLog, BytesTextRoundsToTenthsAndMovesUpAUnitAtTheBoundary) {
    const std::vector<std::pair<uint64_t, QString>> cases = {
        {999, "999 B"},        {1000, "1.0 KB"},
        {1049, "1.0 KB"},      {1050, "1.1 KB"},
        {999949, "999.9 KB"},  {999950, "1.0 MB"},               // not "1000.0 KB"
        {999950000, "1.0 GB"}, {UINT64_MAX, "18446744073.7 GB"}, // GB is the largest unit
    };
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(TActivityLog::BytesText(bytes), text) << bytes;
}

TEST(ActivityLog, KeepsTheLastLinesButNeverAnOpenBlock) {
    TStringLines lines;
    TActivityLog log(lines);
    EXPECT_EQ(log.MaxLines(), 10000);
    log.SetMaxLines(5);
    log.CreateChainLog(1, 1, "A0"); // open at the top
    log.WriteChainLog(1, 1, "A1");
    for (int i = 0; i < 8; ++i)
        log.AddMessage(QStringLiteral("p%1").arg(i));
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "p5", "p6", "p7"}));
    EXPECT_EQ(log.Dropped(), 5);
    log.WriteChainLog(1, 1, "A2"); // the block grows; the oldest plain line goes
    EXPECT_EQ(lines.Lines, QStringList({"A0", "A1", "A2", "p6", "p7"}));
    ExpectConsistent(log, lines.Lines);
    // Ended, the block is a plain line like any other and goes in turn.
    log.DeleteChainLog(1, {});
    log.AddMessage("p8");
    log.AddMessage("p9");
    log.AddMessage("p10");
    EXPECT_EQ(lines.Lines, QStringList({"p6", "p7", "p8", "p9", "p10"}));
    ExpectConsistent(log, lines.Lines);

    // Clear keeps the open blocks only.
    log.SetMaxLines(100);
    log.CreateChainLog(1, 2, "B0");
    log.AddMessage("p11");
    log.WriteChainLog(1, 2, "B1");
    const qint64 dropped = log.Dropped();
    log.Clear();
    EXPECT_EQ(lines.Lines, QStringList({"B0", "B1"}));
    EXPECT_EQ(log.Dropped(), dropped);
    ExpectConsistent(log, lines.Lines);
    log.WriteChainLog(1, 2, "B2");
    EXPECT_EQ(lines.Lines, QStringList({"B0", "B1", "B2"}));
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
