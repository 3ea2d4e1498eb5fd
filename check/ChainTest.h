#pragma once
// "Test Chain": fetches the test page (TTestPage) through a running chain's
// own port, as any client of the chain would, and reports each hop's
// set-up time in order, the total, the address the page saw (the exit
// address) and whether a hop added a header that gives away the address
// before it (Via, X-Forwarded-For, Forwarded).
//
// Those headers can only be seen when the page shows the request it received
// (a header-echo page); a plain IP-echo page tells the address alone. A hop
// that keeps to HTTP CONNECT only tunnels the bytes and adds nothing to what
// it carries (tinyproxy, for one, adds Via only to requests it forwards
// itself, never inside a tunnel); what the test finds is a hop that rewrites
// the request it carries.
//
// Run blocks (up to its time-out) and may run on any thread; the caller
// keeps the chain running meanwhile (Run uses the chain object until the
// chain has answered the SOCKS request, or the test failed before). Record writes the result into
// the store on the user-interface thread.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

class TProxyChain;
class TdmProxyData;

struct TChainTestResult {
    // Which part a failed test failed in: nothing answered on the chain's
    // port; the chain could not open its way to the page (a hop failed, or
    // the page's host could not be reached from the last hop: the chain's
    // SOCKS reply is the same for both); or the chain worked and the page
    // did not answer as a test page should.
    enum class TFailedPart { None, ChainPort, Chain, Page };

    bool Ok = false;
    QString Error; // why it failed, when it did
    TFailedPart FailedPart = TFailedPart::None;
    QString Url; // the test page fetched
    QString ChainName;
    int32_t Port = 0;
    std::vector<QString> Hops;  // "address:port" of each hop walked, in order
    std::vector<double> HopMs;  // set-up time of each hop, ms (its own share)
    double TotalMs = 0;         // the whole fetch, ms
    QString ExitAddress;        // as the page saw it; empty when it did not say
    QStringList LeakHeaders;    // e.g. "Via: 1.1 proxy (tinyproxy/1.11.1)"
    bool HeadersEchoed = false; // the page showed the request headers it received
    // The hop that added them when it can be told (the only HTTP hop of
    // those walked), "address:port"; empty otherwise.
    QString LeakHop;
};

class TChainTest {
public:
    // The test through `chain` (running) on 127.0.0.1:its port.
    static TChainTestResult Run(TProxyChain &chain, int timeoutMs = 30000);
    // The result as lines for the dialog, the activity panel and the
    // command line.
    static QStringList ReportLines(const TChainTestResult &result);
    // Sets the chain's LastChecked to now and its Status ("OK" or "TIME
    // OUT") from the result.
    static void Record(TdmProxyData &store, int32_t chainUID, const TChainTestResult &result);
};
