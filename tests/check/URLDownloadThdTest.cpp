// Single downloads through a proxy: what the thread hands back in each kind
// of failure, and that a silent proxy cannot hold a check forever.

#include "tests/support/CheckTestSupport.h"

#include "check/URLDownloadThd.h"
#include "platform/WorkerThread.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

struct TOutcome {
    int Calls = 0;
    QString Data;
    QString Header;
    uint32_t Duration = 0;
    QString Error;
    TProxData *Record = nullptr;
};

TOutcome Download(TProxData &proxy, const QString &url, int readTimeoutMs = 15000) {
    TOutcome outcome;
    auto *thread = new TURLDownloadThd;
    thread->FProxyData = &proxy;
    thread->FURL = url;
    thread->FReadTimeout = readTimeoutMs;
    thread->OnDownloadCompleted = [&](TURLDownloadThd *sender, const QString &data,
                                      TProxData &record) {
        ++outcome.Calls;
        outcome.Data = data;
        outcome.Header = sender->FHeader;
        outcome.Duration = sender->FLastDownloadDuration;
        outcome.Error = sender->FErrorMessage;
        outcome.Record = &record;
    };
    thread->Start();
    EXPECT_TRUE(PumpUntil([&] { return outcome.Calls > 0; }, 30000));
    EXPECT_TRUE(TWorkerThread::WaitForAll(10000));
    EXPECT_EQ(outcome.Calls, 1);
    return outcome;
}

TProxData Proxy(uint16_t port, TProxyType type) {
    TProxData p;
    p.FIPAddress = QStringLiteral("127.0.0.1");
    p.FHostName = QStringLiteral("not-used.invalid"); // the address is what counts
    p.FPort = port;
    p.FProxyType = type;
    return p;
}

} // namespace

TEST(URLDownloadThd, SuccessGivesBodyHeadersAndDuration) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    TEchoPage page;
    page.DelayMs = 30;
    TProxData proxy = Proxy(microsocks.Port(), TProxyType::ptSOCKS5);
    const TOutcome outcome = Download(proxy, page.URL());
    EXPECT_EQ(outcome.Data, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(outcome.Header.startsWith(QStringLiteral("HTTP/1.1 200 OK\r\n")));
    EXPECT_TRUE(outcome.Header.contains(QStringLiteral("\r\nContent-Length: 9\r\n")));
    EXPECT_GE(outcome.Duration, 30u);
    EXPECT_EQ(outcome.Record, &proxy); // the caller's record, not a copy
    EXPECT_TRUE(outcome.Error.isEmpty());
}

TEST(URLDownloadThd, ErrorStatusStillReportsItsHeaders) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    TEchoPage page;
    page.Mode = TEchoPage::TMode::Status;
    page.StatusLine = "HTTP/1.1 302 Found";
    TProxData proxy = Proxy(microsocks.Port(), TProxyType::ptSOCKS5);
    const TOutcome outcome = Download(proxy, page.URL());
    EXPECT_TRUE(outcome.Data.isEmpty());
    EXPECT_EQ(outcome.Duration, 0u);
    EXPECT_TRUE(outcome.Header.startsWith(QStringLiteral("HTTP/1.1 302 Found\r\n")));
    EXPECT_TRUE(outcome.Header.contains(QStringLiteral("\r\nLocation: /elsewhere\r\n")));
    EXPECT_EQ(outcome.Error, QStringLiteral("HTTP/1.1 302 Found"));
    EXPECT_EQ(page.Requests(), 1); // not followed
}

TEST(URLDownloadThd, SilentProxyEndsWithTheReadTimeOut) {
    // Accepts the connection and never answers the SOCKS greeting.
    TEchoPage silentProxy;
    silentProxy.Mode = TEchoPage::TMode::Silent;
    TEchoPage page;
    for (TProxyType type : {TProxyType::ptSOCKS5, TProxyType::ptSOCKS4, TProxyType::ptHTTP}) {
        SCOPED_TRACE(int(type));
        TProxData proxy = Proxy(silentProxy.Port(), type);
        QElapsedTimer timer;
        timer.start();
        const TOutcome outcome = Download(proxy, page.URL(), 300);
        EXPECT_LT(timer.elapsed(), 5000);
        EXPECT_TRUE(outcome.Data.isEmpty());
        EXPECT_TRUE(outcome.Header.isEmpty());
        EXPECT_EQ(outcome.Duration, 0u);
        // The SOCKS 5 handshake tells a failed read in its own words.
        EXPECT_EQ(outcome.Error, type == TProxyType::ptSOCKS5
                                     ? QStringLiteral("Socks server did not respond.")
                                     : QStringLiteral("Read timed out."));
    }
}

TEST(URLDownloadThd, SilentPageEndsWithTheReadTimeOut) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks missing";
    TMicrosocksPeer microsocks;
    TEchoPage page;
    page.Mode = TEchoPage::TMode::Silent;
    TProxData proxy = Proxy(microsocks.Port(), TProxyType::ptSOCKS5);
    const TOutcome outcome = Download(proxy, page.URL(), 300);
    EXPECT_TRUE(outcome.Header.isEmpty());
    EXPECT_EQ(outcome.Error, QStringLiteral("Read timed out."));
}

TEST(URLDownloadThd, FailuresBeforeAnyByteIsSent) {
    TEchoPage page;
    TProxData unknown = Proxy(page.Port(), TProxyType::ptUnknown);
    EXPECT_EQ(Download(unknown, page.URL()).Error, QStringLiteral("unknown proxy type"));
    TProxData outOfRange = Proxy(page.Port(), static_cast<TProxyType>(9));
    EXPECT_EQ(Download(outOfRange, page.URL()).Error, QStringLiteral("unknown proxy type"));
    TProxData socks = Proxy(page.Port(), TProxyType::ptSOCKS5);
    EXPECT_TRUE(Download(socks, QStringLiteral("https://127.0.0.1/"))
                    .Error.startsWith(QStringLiteral("Unsupported URL")));
    EXPECT_EQ(page.Requests(), 0);
}
