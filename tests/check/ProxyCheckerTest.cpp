// Proxy checks against real proxies on loopback (microsocks, dante,
// tinyproxy) and an IP-echo page of our own reached through them.

#include "tests/support/CheckTestSupport.h"

#include "check/ProxyChecker.h"
#include "check/TestPage.h"
#include "platform/WorkerThread.h"

#include <QDir>
#include <gtest/gtest.h>
#include <map>

using namespace VelmoraTest;

namespace {

constexpr int BatchTimeoutMs = 60000;

struct TBatch {
    std::map<int32_t, TProxData> Results; // by UID, as handed to OnCheckComplete
    std::map<int32_t, TProxyStatus> Statuses;
    std::vector<QString> ProgressTexts;
    int ProgressBeforeFirstResult = -1;
    int Ends = 0;
    int Completions = 0;
    QStringList Errors;
};

// Runs one batch on a list the checker takes over; waits for its end and for
// every worker to finish.
TBatch RunBatch(TTempStore &store, std::unique_ptr<TProxyList> list, int readTimeoutMs = 15000,
                int maxInFlight = TProxyChecker::MaxChecksInFlight) {
    TBatch batch;
    auto *checker = new TProxyChecker(store.Store());
    checker->FReadTimeout = readTimeoutMs;
    checker->FMaxInFlight = maxInFlight;
    checker->OnProgress = [&](TProxData &, const QString &status, int32_t code) {
        EXPECT_EQ(code, 0);
        batch.ProgressTexts.push_back(status);
    };
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &data, TProxyStatus status) {
        if (batch.ProgressBeforeFirstResult < 0)
            batch.ProgressBeforeFirstResult = int(batch.ProgressTexts.size());
        ++batch.Completions;
        batch.Results[data.FUID] = data;
        batch.Statuses[data.FUID] = status;
    };
    checker->OnCheckEnd = [&](TProxyChecker *) { ++batch.Ends; };
    checker->OnCheckError = [&](TProxyChecker *, const QString &message) {
        batch.Errors << message;
    };
    checker->Check(std::move(list));
    EXPECT_TRUE(PumpUntil([&] { return batch.Ends > 0; }, BatchTimeoutMs));
    EXPECT_TRUE(TWorkerThread::WaitForAll(10000));
    return batch;
}

std::unique_ptr<TProxyList> AllRecords(TTempStore &store) {
    auto list = std::make_unique<TProxyList>();
    store.Store().GetAllProxyRecords(*list);
    return list;
}

uint16_t ClosedPort() {
    return FreeLoopbackPort(); // nothing listens there
}

class ProxyChecker : public testing::Test {
protected:
    void SetUp() override { FUrl = std::make_unique<TCheckURLOverride>(Page.URL()); }

    TEchoPage Page;
    std::unique_ptr<TCheckURLOverride> FUrl;
    TTempStore Store;
};

} // namespace

TEST(TestPage, EnvironmentReplacesTheDefault) {
    {
        TCheckURLOverride url(QStringLiteral("http://127.0.0.1:8080"));
        EXPECT_EQ(TTestPage::RootURL(), QStringLiteral("http://127.0.0.1:8080/"));
        EXPECT_EQ(TTestPage::RootURLWithoutSlash(), QStringLiteral("http://127.0.0.1:8080"));
    }
    TCheckURLOverride empty(QString{});
    EXPECT_EQ(TTestPage::RootURL(), QString::fromLatin1(TTestPage::DefaultURL));
    EXPECT_FALSE(TTestPage::RootURLWithoutSlash().endsWith(u'/'));
}

TEST_F(ProxyChecker, KnownTypesThroughRealProxiesAreOkWithTheirSpeed) {
    if (!TMicrosocksPeer::Available() || !TDantePeer::Available() || !TTinyproxyPeer::Available())
        GTEST_SKIP() << "microsocks, danted or tinyproxy missing";
    TMicrosocksPeer microsocks;
    TDantePeer dante;
    TTinyproxyPeer tinyproxy;
    Page.DelayMs = 40;
    const int32_t socks5 = Store.Add(microsocks.Port(), TProxyType::ptSOCKS5);
    const int32_t socks45 = Store.Add(microsocks.Port(), TProxyType::ptSOCKS45);
    const int32_t socks4 = Store.Add(dante.Port(), TProxyType::ptSOCKS4);
    const int32_t http = Store.Add(tinyproxy.Port(), TProxyType::ptHTTP);

    const TBatch batch = RunBatch(Store, AllRecords(Store));

    EXPECT_EQ(batch.Ends, 1);
    EXPECT_EQ(batch.Completions, 4);
    EXPECT_EQ(batch.ProgressBeforeFirstResult, 4);
    for (const QString &text : batch.ProgressTexts)
        EXPECT_EQ(text, QStringLiteral("Testing"));
    EXPECT_TRUE(batch.Errors.isEmpty()) << batch.Errors.join(u'\n').toStdString();
    const std::map<int32_t, TProxyType> types = {{socks5, TProxyType::ptSOCKS5},
                                                 {socks45, TProxyType::ptSOCKS45},
                                                 {socks4, TProxyType::ptSOCKS4},
                                                 {http, TProxyType::ptHTTP}};
    for (const auto &[uid, type] : types) {
        SCOPED_TRACE(uid);
        ASSERT_EQ(batch.Statuses.count(uid), 1u);
        EXPECT_EQ(batch.Statuses.at(uid), TProxyStatus::psAvailable);
        const TProxData &result = batch.Results.at(uid);
        EXPECT_GE(result.FSpeed, 40.0); // the page waits 40 ms before it answers
        EXPECT_GT(result.FLastChecked, 0.0);
        const TProxData row = Store.Row(uid);
        EXPECT_EQ(row.FStatus, TProxyStatus::psAvailable);
        EXPECT_EQ(row.FSpeed, result.FSpeed);
        EXPECT_EQ(row.FProxyType, type); // the type is neither looked at nor changed
        EXPECT_GT(row.FLastChecked, 0.0);
    }
    EXPECT_EQ(Page.Requests(), 4);
}

TEST_F(ProxyChecker, RequestCarriesTheCheckHeaders) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    Store.Add(microsocks.Port(), TProxyType::ptSOCKS5);
    const TBatch batch = RunBatch(Store, AllRecords(Store));
    ASSERT_EQ(batch.Completions, 1);
    const std::string request = Page.LastRequest();
    EXPECT_EQ(request.rfind("GET / HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + std::to_string(Page.Port()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nAccept: text/html, */*\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"),
              std::string::npos);
}

TEST_F(ProxyChecker, UnknownTypesAreDetectedInOrderSocks5Socks4Http) {
    if (!TMicrosocksPeer::Available() || !TDantePeer::Available() || !TTinyproxyPeer::Available())
        GTEST_SKIP() << "microsocks, danted or tinyproxy missing";
    TMicrosocksPeer microsocks;
    TDantePeer dante;
    TDanteSocks4Peer danteSocks4;
    TTinyproxyPeer tinyproxy;
    const int32_t viaMicrosocks = Store.Add(microsocks.Port(), TProxyType::ptUnknown);
    const int32_t viaDante = Store.Add(dante.Port(), TProxyType::ptUnknown);
    const int32_t viaDante4 = Store.Add(danteSocks4.Port(), TProxyType::ptUnknown);
    const int32_t viaTinyproxy = Store.Add(tinyproxy.Port(), TProxyType::ptUnknown);
    const int32_t closed = Store.Add(ClosedPort(), TProxyType::ptUnknown);

    // The batch list stays the caller's here: its records of unknown type are
    // left as they were.
    TProxyList list;
    Store.Store().GetAllProxyRecords(list);
    TBatch batch;
    auto *checker = new TProxyChecker(Store.Store());
    checker->FReadTimeout = 1500; // tinyproxy waits for a line the SOCKS tries never end
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &data, TProxyStatus status) {
        batch.Results[data.FUID] = data;
        batch.Statuses[data.FUID] = status;
    };
    checker->OnCheckEnd = [&](TProxyChecker *) { ++batch.Ends; };
    checker->Check(list);
    ASSERT_TRUE(PumpUntil([&] { return batch.Ends > 0; }, BatchTimeoutMs));
    ASSERT_TRUE(TWorkerThread::WaitForAll(10000));

    const std::map<int32_t, TProxyType> expected = {{viaMicrosocks, TProxyType::ptSOCKS5},
                                                    {viaDante, TProxyType::ptSOCKS5},
                                                    {viaDante4, TProxyType::ptSOCKS4},
                                                    {viaTinyproxy, TProxyType::ptHTTP}};
    for (const auto &[uid, type] : expected) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(batch.Statuses.at(uid), TProxyStatus::psAvailable);
        EXPECT_EQ(batch.Results.at(uid).FProxyType, type);
        const TProxData row = Store.Row(uid);
        EXPECT_EQ(row.FProxyType, type);
        EXPECT_EQ(row.FStatus, TProxyStatus::psAvailable);
    }
    // The speed is that of the try that succeeded: the two failed tries before
    // it waited out the read time-out each.
    EXPECT_LT(batch.Results.at(viaTinyproxy).FSpeed, 1500.0);
    // Nothing answers: the type stays "Unknown" (written as 0), "TIME OUT", speed 0.
    EXPECT_EQ(batch.Statuses.at(closed), TProxyStatus::psUnavailable);
    EXPECT_EQ(batch.Results.at(closed).FProxyType, TProxyType::ptUnknown);
    EXPECT_EQ(batch.Results.at(closed).FSpeed, 0.0);
    EXPECT_EQ(Store.Row(closed).FProxyType, TProxyType::ptUnknown);
    EXPECT_EQ(Store.Row(closed).FStatus, TProxyStatus::psUnavailable);
    for (const auto &record : list) {
        EXPECT_EQ(record->FProxyType, TProxyType::ptUnknown);
        EXPECT_EQ(record->FStatus, TProxyStatus::psUnknown);
    }
    EXPECT_EQ(danteSocks4.Running(), true);
}

TEST_F(ProxyChecker, ClosedPortOfKnownTypeIsTimeOutAndKeepsItsType) {
    const int32_t uid = Store.Add(ClosedPort(), TProxyType::ptSOCKS5);
    auto list = AllRecords(Store);
    const TBatch batch = RunBatch(Store, std::move(list));
    ASSERT_EQ(batch.Completions, 1);
    EXPECT_EQ(batch.Statuses.at(uid), TProxyStatus::psUnavailable);
    EXPECT_EQ(batch.Results.at(uid).FSpeed, 0.0);
    const TProxData row = Store.Row(uid);
    EXPECT_EQ(row.FStatus, TProxyStatus::psUnavailable);
    EXPECT_EQ(row.FProxyType, TProxyType::ptSOCKS5);
    EXPECT_EQ(row.FSpeed, 0.0);
}

TEST_F(ProxyChecker, PageRepliesThatAreNotAWholeSuccess) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    struct TCase {
        const char *Name;
        TEchoPage::TMode Mode;
        std::string StatusLine;
        // Known type: always "TIME OUT". Unknown type: any reply as far as its
        // headers makes it SOCKS 5, "OK", with speed 0 unless the body came.
    } cases[] = {
        {"not found", TEchoPage::TMode::Status, "HTTP/1.1 404 Not Found"},
        {"server error", TEchoPage::TMode::Status, "HTTP/1.1 500 Internal Server Error"},
        {"redirect", TEchoPage::TMode::Status, "HTTP/1.1 302 Found"},
        {"empty body", TEchoPage::TMode::EmptyBody, ""},
        {"body breaks off", TEchoPage::TMode::BreakOff, ""},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TTempStore store;
        Page.Mode = c.Mode;
        Page.StatusLine = c.StatusLine;
        const int before = Page.Requests();
        const int32_t known = store.Add(microsocks.Port(), TProxyType::ptSOCKS5);
        const int32_t unknown = store.Add(microsocks.Port(), TProxyType::ptUnknown);
        const TBatch batch = RunBatch(store, AllRecords(store));
        ASSERT_EQ(batch.Completions, 2);

        EXPECT_EQ(batch.Statuses.at(known), TProxyStatus::psUnavailable);
        EXPECT_EQ(store.Row(known).FSpeed, 0.0);
        EXPECT_EQ(store.Row(known).FProxyType, TProxyType::ptSOCKS5);

        EXPECT_EQ(batch.Statuses.at(unknown), TProxyStatus::psAvailable);
        EXPECT_EQ(store.Row(unknown).FProxyType, TProxyType::ptSOCKS5);
        if (c.Mode != TEchoPage::TMode::EmptyBody) { // a whole empty body is a successful try
            EXPECT_EQ(store.Row(unknown).FSpeed, 0.0);
        }
        // One request each: a redirect is not followed.
        EXPECT_EQ(Page.Requests() - before, 2);
    }
}

TEST_F(ProxyChecker, BoundedNumberOfChecksInFlightAndEveryProxyReported) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    Page.DelayMs = 50;
    TdmProxyData::TBatch hold(Store.Store()); // 200 saves would only slow the test
    for (int i = 0; i < 200; ++i)
        Store.Store().AddProxy(QStringLiteral("127.0.0.1"), microsocks.Port(),
                               TProxyType::ptSOCKS5);
    const TBatch batch = RunBatch(Store, AllRecords(Store));
    EXPECT_EQ(batch.Ends, 1);
    EXPECT_EQ(batch.Completions, 200);
    EXPECT_EQ(batch.Results.size(), 200u);
    EXPECT_EQ(batch.ProgressBeforeFirstResult, 200); // "Testing" for all before any result
    for (const auto &[uid, status] : batch.Statuses)
        EXPECT_EQ(status, TProxyStatus::psAvailable) << uid;
    EXPECT_LE(Page.MaxConcurrent(), TProxyChecker::MaxChecksInFlight);
    EXPECT_GT(Page.MaxConcurrent(), 1);
    EXPECT_EQ(Page.Requests(), 200);
}

TEST_F(ProxyChecker, SmallBoundHoldsForDetectorsAsWell) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    Page.DelayMs = 20;
    TdmProxyData::TBatch hold(Store.Store());
    for (int i = 0; i < 20; ++i)
        Store.Store().AddProxy(QStringLiteral("127.0.0.1"), microsocks.Port(),
                               i % 2 ? TProxyType::ptUnknown : TProxyType::ptSOCKS5);
    const TBatch batch = RunBatch(Store, AllRecords(Store), 15000, 3);
    EXPECT_EQ(batch.Completions, 20);
    EXPECT_LE(Page.MaxConcurrent(), 3);
    for (const auto &[uid, result] : batch.Results)
        EXPECT_EQ(result.FProxyType, TProxyType::ptSOCKS5) << uid;
}

TEST_F(ProxyChecker, ProxyDeletedWhileItsCheckRunsStillCounts) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    const int32_t kept = Store.Add(microsocks.Port(), TProxyType::ptSOCKS5);
    const int32_t gone = Store.Add(microsocks.Port(), TProxyType::ptSOCKS5);
    auto list = AllRecords(Store);
    TBatch batch;
    auto *checker = new TProxyChecker(Store.Store());
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &data, TProxyStatus status) {
        batch.Statuses[data.FUID] = status;
    };
    checker->OnCheckEnd = [&](TProxyChecker *) { ++batch.Ends; };
    checker->Check(std::move(list));
    Store.Store().DeleteProxy(gone); // before any result can be handled
    ASSERT_TRUE(PumpUntil([&] { return batch.Ends > 0; }, BatchTimeoutMs));
    ASSERT_TRUE(TWorkerThread::WaitForAll(10000));
    EXPECT_EQ(batch.Statuses.size(), 2u);
    EXPECT_EQ(Store.Row(gone).FUID, 0); // not brought back by the update
    EXPECT_EQ(Store.Row(kept).FStatus, TProxyStatus::psAvailable);
}

TEST_F(ProxyChecker, EmptyBatchStartsNothingAndRaisesNothing) {
    int events = 0;
    auto *checker = new TProxyChecker(Store.Store());
    checker->OnProgress = [&](TProxData &, const QString &, int32_t) { ++events; };
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &, TProxyStatus) { ++events; };
    checker->OnCheckEnd = [&](TProxyChecker *) { ++events; };
    checker->Check(std::make_unique<TProxyList>()); // the checker is gone after this
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(events, 0);
    EXPECT_EQ(TWorkerThread::LiveCount(), 0);
}

TEST_F(ProxyChecker, FailedSaveIsReportedAndTheBatchStillEnds) {
    const int32_t uid = Store.Add(ClosedPort(), TProxyType::ptSOCKS5);
    ASSERT_TRUE(QDir(Store.Store().DataFolder()).removeRecursively());
    const TBatch batch = RunBatch(Store, AllRecords(Store));
    EXPECT_EQ(batch.Ends, 1);
    EXPECT_EQ(batch.Completions, 1);
    EXPECT_EQ(batch.Statuses.at(uid), TProxyStatus::psUnavailable);
    EXPECT_EQ(batch.Errors.size(), 1);
}
