// Name look-up tasks: forward and reverse, and every way they fail.

#include "tests/support/CheckTestSupport.h"

#include "check/NamResolveThd.h"
#include "platform/UiThread.h"
#include "platform/WorkerThread.h"

#include <QThread>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

struct TLookup {
    int Calls = 0;
    int32_t Status = 0;
    std::unique_ptr<TProxData> Data;
    bool OnUiThread = false;
};

TLookup Resolve(const QString &text, int32_t kind) {
    TProxData record;
    record.FHostName = text;
    record.FIPAddress = QStringLiteral("10.9.8.7");
    record.FCurrHostNameType = kind;
    record.FUID = 42;
    TLookup lookup;
    auto *task = new TNamResolveThd;
    task->SetProxData(record);
    record.FHostName = QStringLiteral("changed by the caller"); // the task has its own copy
    task->OnTaskComplete = [&](TNamResolveThd *, int32_t status, std::unique_ptr<TProxData> data) {
        ++lookup.Calls;
        lookup.Status = status;
        lookup.Data = std::move(data);
        lookup.OnUiThread = TUiThread::IsCurrent();
    };
    task->Start();
    EXPECT_TRUE(PumpUntil([&] { return lookup.Calls > 0; }, 30000));
    EXPECT_TRUE(TWorkerThread::WaitForAll(10000));
    EXPECT_EQ(lookup.Calls, 1);
    EXPECT_TRUE(lookup.OnUiThread);
    return lookup;
}

} // namespace

TEST(NamResolveThd, ForwardLookupFlipsTheKind) {
    const TLookup local = Resolve(QStringLiteral("LocalHost"), hntHostName);
    EXPECT_EQ(local.Status, NameResolved);
    EXPECT_EQ(local.Status, 8448);
    ASSERT_TRUE(local.Data);
    EXPECT_EQ(local.Data->FHostName, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(local.Data->FCurrHostNameType, hntIPAddress);
    EXPECT_EQ(local.Data->FIPAddress, QStringLiteral("10.9.8.7")); // never read or written
    EXPECT_EQ(local.Data->FUID, 42);

    // A dotted address resolves forward to itself.
    const TLookup dotted = Resolve(QStringLiteral("192.0.2.44"), hntHostName);
    EXPECT_EQ(dotted.Status, NameResolved);
    EXPECT_EQ(dotted.Data->FHostName, QStringLiteral("192.0.2.44"));
    EXPECT_EQ(dotted.Data->FCurrHostNameType, hntIPAddress);
}

TEST(NamResolveThd, ReverseLookupOfLoopback) {
    const TLookup lookup = Resolve(QStringLiteral("127.0.0.1"), hntIPAddress);
    ASSERT_EQ(lookup.Status, NameResolved);
    EXPECT_FALSE(lookup.Data->FHostName.isEmpty());
    EXPECT_NE(lookup.Data->FHostName, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(lookup.Data->FCurrHostNameType, hntHostName);
}

TEST(NamResolveThd, FailuresLeaveTheRecordAsItWas) {
    struct TCase {
        const char *Text;
        int32_t Kind;
    } cases[] = {
        {"no-such-host.invalid", hntHostName}, // does not resolve
        {"192.0.2.1", hntIPAddress},           // no name registered
        {"", hntHostName},                     // nothing to look up
        {"127.0.0.1", 0},                      // no kind: "error , type has not been specified"
        {"::1", hntHostName},                  // IPv4 only
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Text);
        const TLookup lookup = Resolve(QString::fromLatin1(c.Text), c.Kind);
        EXPECT_EQ(lookup.Status, NameNotResolved);
        EXPECT_EQ(lookup.Status, 8704);
        ASSERT_TRUE(lookup.Data);
        EXPECT_EQ(lookup.Data->FHostName, QString::fromLatin1(c.Text));
        EXPECT_EQ(lookup.Data->FCurrHostNameType, c.Kind);
    }
}

TEST(NamResolveThd, HandlerFailureDoesNotStopTheTask) {
    TProxData record;
    record.FHostName = QStringLiteral("localhost");
    record.FCurrHostNameType = hntHostName;
    int calls = 0;
    auto *task = new TNamResolveThd;
    task->SetProxData(record);
    task->OnTaskComplete = [&](TNamResolveThd *, int32_t, std::unique_ptr<TProxData>) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    task->Start();
    EXPECT_TRUE(PumpUntil([&] { return calls > 0; }, 30000));
    EXPECT_TRUE(TWorkerThread::WaitForAll(10000));
    EXPECT_EQ(calls, 1);
}
