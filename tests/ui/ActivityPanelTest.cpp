// The activity panel on the screen: lines raised on many threads reach the
// text area in each connection's order, and the area follows inserts and
// deletes at either end.
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace VelmoraTest;

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
