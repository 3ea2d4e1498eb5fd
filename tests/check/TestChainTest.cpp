// "Test Chain" through running chains of real proxies (microsocks, tinyproxy,
// dante connecting out from 127.0.0.2) to a page of the test's own that
// shows the request it received and the address it came from: the hops in
// order with their times, the exit address as the page saw it, and the
// headers a hop added to the request it carried (by a scripted HTTP CONNECT
// hop that rewrites it; tinyproxy adds nothing inside a tunnel).

#include "tests/support/CheckTestSupport.h"
#include "tests/support/StoreSeed.h"

#include "check/ChainTest.h"
#include "engine/chain/ProxyChain.h"
#include "platform/Clock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <numeric>

using namespace VelmoraTest;

namespace {

// Reads up to the end of the header block; what came after it stays in `rest`.
bool ReadHead(TSocket &s, std::string &head, std::string &rest) {
    std::string data;
    char buffer[4096];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        const size_t got = s.ReadSome(buffer, sizeof buffer);
        if (got == 0)
            return false;
        data.append(buffer, got);
    }
    head = data.substr(0, end + 4);
    rest = data.substr(end + 4);
    return true;
}

std::vector<std::pair<std::string, std::string>> HeaderLines(const std::string &head) {
    std::vector<std::pair<std::string, std::string>> headers;
    size_t start = head.find("\r\n") + 2;
    for (size_t end; (end = head.find("\r\n", start)) != std::string::npos && end > start;
         start = end + 2) {
        const std::string line = head.substr(start, end - start);
        const size_t colon = line.find(':');
        headers.emplace_back(line.substr(0, colon),
                             line.substr(line.find_first_not_of(' ', colon + 1)));
    }
    return headers;
}

// The test page: shows the request it received and the peer's address in the
// way an outside echo page would.
class THeaderEchoPage {
public:
    enum class TStyle {
        Raw,         // the request's header lines, then "REMOTE_ADDR = a"
        Json,        // httpbin-like: {"origin": "x-forwarded-for, a", "headers": {...}}
        Azenv,       // HTML with "HTTP_NAME = value" lines and REMOTE_ADDR
        AddressOnly, // the address alone, as IP-echo pages answer
        NotFound,    // 404
        Silent,      // never answers
    };
    std::atomic<TStyle> Style{TStyle::Raw};

    QString URL() const { return QStringLiteral("http://127.0.0.1:%1/").arg(FListener.Port()); }

private:
    void Serve(TSocket &client) {
        std::string head, rest;
        if (!ReadHead(client, head, rest))
            return;
        const std::string peer = client.PeerAddress();
        const auto headers = HeaderLines(head);
        std::string body, status = "200 OK";
        switch (Style.load()) {
        case TStyle::Raw:
            for (const auto &[name, value] : headers)
                body += name + ": " + value + "\n";
            body += "REMOTE_ADDR = " + peer + "\n";
            break;
        case TStyle::Json: {
            QJsonObject all;
            QString origin = QString::fromStdString(peer);
            for (const auto &[name, value] : headers) {
                all.insert(QString::fromStdString(name), QString::fromStdString(value));
                if (name == "X-Forwarded-For")
                    origin = QString::fromStdString(value) + ", " + origin;
            }
            const QJsonObject page{{"origin", origin}, {"headers", all}};
            body = QJsonDocument(page).toJson().toStdString();
            break;
        }
        case TStyle::Azenv:
            body = "<html><head><title>AZ Environment</title></head><body><pre>\n";
            for (const auto &[name, value] : headers) {
                QString variable = "HTTP_" + QString::fromStdString(name).toUpper();
                body += variable.replace('-', '_').toStdString() + " = " + value + "\n";
            }
            body += "REMOTE_ADDR = " + peer + "\nREQUEST_METHOD = GET\n</pre></body></html>\n";
            break;
        case TStyle::AddressOnly:
            body = peer;
            break;
        case TStyle::NotFound:
            status = "404 Not Found";
            body = "nothing here";
            break;
        case TStyle::Silent: {
            char buffer[256];
            while (!FListener.Stopping() && client.ReadSome(buffer, sizeof buffer) > 0) {
            }
            return;
        }
        }
        client.WriteAll("HTTP/1.1 " + status + "\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    }

    TLoopbackServer FListener{[this](TSocket &client) {
        try {
            Serve(client);
        } catch (const EVelmoraError &) {
        }
    }};
};

// An HTTP CONNECT hop of the test's own that, while Rewrite is set, adds
// "Via" and "X-Forwarded-For" (its client's address) to the request it
// tunnels: what a proxy that parses what it carries can do. As the last hop
// its tunnel carries the page's request itself.
class TRewritingHop {
public:
    std::atomic<bool> Rewrite{true};
    uint16_t Port() const { return FListener.Port(); }

private:
    void Serve(TSocket &client) {
        std::string head, request;
        if (!ReadHead(client, head, request))
            return;
        // "CONNECT host:port HTTP/1.1"
        const size_t space = head.find(' '), colon = head.rfind(':', head.find(' ', space + 1));
        const std::string host = head.substr(space + 1, colon - space - 1);
        const auto port = static_cast<uint16_t>(std::stoi(head.substr(colon + 1)));
        TSocket target = TSocket::Connect(host, port, 5000);
        client.WriteAll(std::string("HTTP/1.1 200 Connection established\r\n\r\n"));

        std::string tunnelled, rest;
        if (!ReadHead(client, tunnelled, rest))
            return;
        if (Rewrite) {
            const size_t lineEnd = tunnelled.find("\r\n") + 2;
            tunnelled.insert(
                lineEnd, "Via: 1.1 rewriter\r\nX-Forwarded-For: " + client.PeerAddress() + "\r\n");
        }
        target.WriteAll(request + tunnelled + rest);
        char buffer[16 * 1024];
        for (size_t got; (got = target.ReadSome(buffer, sizeof buffer)) > 0;)
            client.WriteAll(buffer, got);
    }

    TLoopbackServer FListener{[this](TSocket &client) {
        try {
            Serve(client);
        } catch (const EVelmoraError &) {
        }
    }};
};

// A chain of the store, running on a free port of its own.
class TRunningChain {
public:
    TRunningChain(TdmProxyData &store, const QString &name,
                  const std::vector<std::pair<uint16_t, TProxyType>> &hops) {
        std::vector<int32_t> proxies;
        for (const auto &[port, type] : hops)
            proxies.push_back(SeedProxy(store, port, type));
        UID = SeedChain(store, name, FreeLoopbackPort(), proxies);
        Chain = std::make_unique<TProxyChain>(UID, store, FLock);
        Chain->SetActive(true);
    }
    TChainTestResult Test(int timeoutMs = 20000) { return TChainTest::Run(*Chain, timeoutMs); }
    QString Hop(uint16_t port) const { return QStringLiteral("127.0.0.1:%1").arg(port); }

private:
    std::mutex FLock; // outlives the chain

public:
    int32_t UID = 0;
    std::unique_ptr<TProxyChain> Chain;
};

std::string Dump(const TChainTestResult &r) {
    return (r.Error + "\n" + TChainTest::ReportLines(r).join("\n")).toStdString();
}

// The chain's test columns as `store` has them.
struct TStoredStatus {
    int Status = -1;
    TDateTime LastChecked = 0;
};
TStoredStatus Stored(TdmProxyData &store, int32_t uid) {
    store.LocateChainRecord(uid);
    TDataTable &t = store.cdsChainedProxies();
    return {t.FieldByName("Status").AsInteger(), t.FieldByName("LastChecked").AsDateTime()};
}

#define REQUIRE_PEERS()                                                                            \
    if (!TMicrosocksPeer::Available() || !TTinyproxyPeer::Available() || !TDantePeer::Available()) \
    GTEST_SKIP() << "microsocks, tinyproxy and danted are needed"

} // namespace

TEST(TestChain, ThroughMicrosocksTinyproxyAndDanteInOrder) {
    REQUIRE_PEERS();
    TMicrosocksPeer socks5;
    TTinyproxyPeer http;
    TDanteExitPeer dante("127.0.0.2");
    THeaderEchoPage page;
    TCheckURLOverride url(page.URL());
    TTempStore temp;
    TRunningChain chain(temp.Store(), "Real",
                        {{socks5.Port(), TProxyType::ptSOCKS5},
                         {http.Port(), TProxyType::ptHTTP},
                         {dante.Port(), TProxyType::ptSOCKS5}});

    const TChainTestResult r = chain.Test();
    ASSERT_TRUE(r.Ok) << Dump(r);
    EXPECT_EQ(r.Hops, (std::vector<QString>{chain.Hop(socks5.Port()), chain.Hop(http.Port()),
                                            chain.Hop(dante.Port())}));
    ASSERT_EQ(r.HopMs.size(), 3u);
    for (double ms : r.HopMs)
        EXPECT_GE(ms, 0);
    // Each hop's own share: together they are part of the whole fetch.
    EXPECT_LE(std::accumulate(r.HopMs.begin(), r.HopMs.end(), 0.0), r.TotalMs);
    // Dante connects out from 127.0.0.2: the page saw the chain's far end.
    EXPECT_EQ(r.ExitAddress, "127.0.0.2");
    EXPECT_TRUE(r.HeadersEchoed);
    EXPECT_TRUE(r.LeakHeaders.isEmpty()) << r.LeakHeaders.join("; ").toStdString();

    const QStringList lines = TChainTest::ReportLines(r);
    ASSERT_EQ(lines.size(), 7) << lines.join("\n").toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("Test of chain \"Real\" (port %1): OK").arg(r.Port));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(QRegularExpression(
                        QStringLiteral("^  hop %1 %2: \\d+\\.\\d ms$").arg(i + 1).arg(r.Hops[i]))
                        .match(lines[i + 1])
                        .hasMatch())
            << lines[i + 1].toStdString();
    EXPECT_TRUE(QRegularExpression("^  total: \\d+\\.\\d ms$").match(lines[4]).hasMatch());
    EXPECT_EQ(lines[5], "  exit address: 127.0.0.2");
    EXPECT_EQ(lines[6], "  no Via or X-Forwarded-For header reached the page");

    // The page does show tinyproxy's Via on a request tinyproxy forwards
    // itself; inside the chain's CONNECT tunnel it adds none.
    if (ProgramAvailable("curl")) {
        const TRunResult plain = RunProgram({"curl", "-sS", "--max-time", "10", "-x",
                                             "http://127.0.0.1:" + std::to_string(http.Port()),
                                             page.URL().toStdString()});
        EXPECT_NE(plain.Out.find("Via: 1.1 "), std::string::npos) << plain.Out << plain.Err;
    }
}

TEST(TestChain, AHopThatRewritesTheRequestIsNamedWithWhatItAdded) {
    if (!TMicrosocksPeer::Available() || !TDantePeer::Available())
        GTEST_SKIP() << "microsocks and danted are needed";
    TMicrosocksPeer socks5;
    TDanteExitPeer dante("127.0.0.2");
    TRewritingHop rewriter;
    THeaderEchoPage page;
    TCheckURLOverride url(page.URL());
    TTempStore temp;
    TRunningChain chain(temp.Store(), "Leaky",
                        {{socks5.Port(), TProxyType::ptSOCKS5},
                         {dante.Port(), TProxyType::ptSOCKS5},
                         {rewriter.Port(), TProxyType::ptHTTP}});

    const TChainTestResult leaky = chain.Test();
    ASSERT_TRUE(leaky.Ok) << Dump(leaky);
    // X-Forwarded-For gives away dante's address, the hop before the rewriter.
    EXPECT_EQ(leaky.LeakHeaders, QStringList({"Via: 1.1 rewriter", "X-Forwarded-For: 127.0.0.2"}));
    EXPECT_EQ(leaky.LeakHop, chain.Hop(rewriter.Port()));
    const QStringList lines = TChainTest::ReportLines(leaky);
    EXPECT_TRUE(lines.contains(QStringLiteral("  warning: 127.0.0.1:%1 added \"Via: 1.1 rewriter\" "
                                              "(it gives away the address before it)")
                                   .arg(rewriter.Port())))
        << lines.join("\n").toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("  warning: 127.0.0.1:%1 added \"X-Forwarded-For: "
                                              "127.0.0.2\" (it gives away the address before it)")
                                   .arg(rewriter.Port())));
    EXPECT_FALSE(lines.contains("  no Via or X-Forwarded-For header reached the page"));

    // The control: the same chain, the hop no longer rewriting.
    rewriter.Rewrite = false;
    const TChainTestResult clean = chain.Test();
    ASSERT_TRUE(clean.Ok) << Dump(clean);
    EXPECT_TRUE(clean.LeakHeaders.isEmpty());
    EXPECT_TRUE(clean.LeakHop.isEmpty());
    EXPECT_TRUE(TChainTest::ReportLines(clean).contains(
        "  no Via or X-Forwarded-For header reached the page"));
}

// The exit address and the added headers as JSON, azenv-like and IP-only
// pages give them: dante (out from 127.0.0.2) then the rewriting hop, which
// reaches the page from 127.0.0.1.
TEST(TestChain, EachKindOfEchoPageGivesTheExitAndWhatItCanShow) {
    if (!TDantePeer::Available())
        GTEST_SKIP() << "danted is needed";
    TDanteExitPeer dante("127.0.0.2");
    TRewritingHop rewriter;
    THeaderEchoPage page;
    TCheckURLOverride url(page.URL());
    TTempStore temp;
    TRunningChain chain(
        temp.Store(), "Pages",
        {{dante.Port(), TProxyType::ptSOCKS5}, {rewriter.Port(), TProxyType::ptHTTP}});

    for (auto style : {THeaderEchoPage::TStyle::Json, THeaderEchoPage::TStyle::Azenv}) {
        SCOPED_TRACE(int(style));
        page.Style = style;
        const TChainTestResult r = chain.Test();
        ASSERT_TRUE(r.Ok) << Dump(r);
        // JSON's origin lists the forwarded address first: the page's own peer is last.
        EXPECT_EQ(r.ExitAddress, "127.0.0.1");
        EXPECT_TRUE(r.HeadersEchoed);
        QStringList leaks = r.LeakHeaders;
        leaks.sort();
        EXPECT_EQ(leaks, QStringList({"Via: 1.1 rewriter", "X-Forwarded-For: 127.0.0.2"}));
    }

    // A page that shows the address alone cannot show a header either: the
    // report says the headers were not checked rather than that none came.
    page.Style = THeaderEchoPage::TStyle::AddressOnly;
    const TChainTestResult r = chain.Test();
    ASSERT_TRUE(r.Ok) << Dump(r);
    EXPECT_EQ(r.ExitAddress, "127.0.0.1");
    EXPECT_FALSE(r.HeadersEchoed);
    EXPECT_TRUE(r.LeakHeaders.isEmpty());
    const QStringList lines = TChainTest::ReportLines(r);
    EXPECT_EQ(lines.last(), "  the test page does not show the headers it received: Via and "
                            "X-Forwarded-For not checked");
}

TEST(TestChain, FailuresAreReportedAndEveryResultIsRecorded) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is needed";
    TMicrosocksPeer socks5;
    THeaderEchoPage page;
    TCheckURLOverride url(page.URL());
    TTempStore temp;
    TdmProxyData &store = temp.Store();
    TRunningChain good(store, "Good", {{socks5.Port(), TProxyType::ptSOCKS5}});
    TRunningChain dead(store, "Dead", {{FreeLoopbackPort(), TProxyType::ptSOCKS5}});
    const auto onDisk = [&](int32_t uid) {
        TdmProxyData reread(store.DataFolder());
        reread.LoadData();
        return Stored(reread, uid);
    };

    const TChainTestResult refused = dead.Test();
    EXPECT_FALSE(refused.Ok);
    EXPECT_FALSE(refused.Error.isEmpty());
    EXPECT_EQ(TChainTest::ReportLines(refused),
              QStringList(QStringLiteral("Test of chain \"Dead\" (port %1): failed: %2 The chain "
                                         "failed to reach the test page %3: one of its hops "
                                         "failed, or the page's host could not be reached from "
                                         "the last hop.")
                              .arg(refused.Port)
                              .arg(refused.Error, page.URL())));
    const TDateTime before = TClock::Now();
    TChainTest::Record(store, dead.UID, refused);
    EXPECT_EQ(onDisk(dead.UID).Status, int(TProxyStatus::psUnavailable));
    EXPECT_GE(onDisk(dead.UID).LastChecked, before - 5.0 / 86400);
    EXPECT_LE(onDisk(dead.UID).LastChecked, TClock::Now() + 5.0 / 86400);

    page.Style = THeaderEchoPage::TStyle::NotFound;
    const TChainTestResult notFound = good.Test();
    EXPECT_FALSE(notFound.Ok);
    EXPECT_EQ(notFound.Error, "the test page answered HTTP/1.1 404 Not Found");
    // The chain itself was built: its hop is still reported.
    EXPECT_EQ(notFound.Hops, std::vector<QString>{good.Hop(socks5.Port())});

    page.Style = THeaderEchoPage::TStyle::Silent;
    const TChainTestResult silent = good.Test(500);
    EXPECT_FALSE(silent.Ok);
    EXPECT_EQ(silent.Error, "no answer within the time-out");

    // Each failure names the page and the part that failed; a chain whose
    // port no one answers on fails before its hops.
    using TPart = TChainTestResult::TFailedPart;
    dead.Chain->SetActive(false);
    const TChainTestResult stopped = dead.Test(2000);
    const struct {
        const TChainTestResult &Result;
        TPart Part;
        QString Says;
    } parts[] = {
        {refused, TPart::Chain, "The chain failed to reach the test page " + page.URL()},
        {stopped, TPart::ChainPort,
         QString("The chain failed: it did not answer on its port %1 (test page %2).")
             .arg(stopped.Port)
             .arg(page.URL())},
        {notFound, TPart::Page,
         "the test page answered HTTP/1.1 404 Not Found. The chain worked; the test page " +
             page.URL() + " failed."},
        {silent, TPart::Page,
         "no answer within the time-out. The chain worked; the test page " + page.URL() +
             " failed."},
    };
    for (const auto &p : parts) {
        EXPECT_EQ(p.Result.FailedPart, p.Part) << Dump(p.Result);
        EXPECT_TRUE(TChainTest::ReportLines(p.Result).first().contains(p.Says)) << Dump(p.Result);
    }

    page.Style = THeaderEchoPage::TStyle::Raw;
    const TChainTestResult ok = good.Test();
    EXPECT_EQ(ok.FailedPart, TPart::None);
    ASSERT_TRUE(ok.Ok) << Dump(ok);
    TChainTest::Record(store, good.UID, ok);
    EXPECT_EQ(onDisk(good.UID).Status, int(TProxyStatus::psAvailable));

    // A store that does not save on its own keeps the result in memory only.
    std::optional<TdmProxyData::TBatch> hold(std::in_place, store);
    hold->Discard();
    TChainTest::Record(store, good.UID, silent);
    EXPECT_EQ(Stored(store, good.UID).Status, int(TProxyStatus::psUnavailable));
    EXPECT_EQ(onDisk(good.UID).Status, int(TProxyStatus::psAvailable));
    hold.reset();
}
