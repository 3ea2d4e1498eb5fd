#pragma once
// Partners of the proxy-check tests: a small IP-echo web page of our own on
// loopback (the test page that checks fetch), a dante that speaks SOCKS 4
// only, and a store on a temporary data folder.

#include "tests/support/Peers.h"
#include "tests/support/Wait.h"

#include "store/dmProxyData.h"

#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

// Readable QString values in test failures.
inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toStdString() << '"';
}

namespace VelmoraTest {

// An HTTP page on 127.0.0.1 that answers every request with the caller's
// address, in the way chosen by Mode. One thread per connection; all ended
// and joined by the destructor.
class TEchoPage {
public:
    enum class TMode {
        Echo,      // 200 with the peer's address as body
        Status,    // StatusLine with a short body (and "Location: /elsewhere")
        EmptyBody, // 200 with "Content-Length: 0"
        BreakOff,  // 200 announcing 100 bytes, 5 sent, then closed
        Silent,    // reads the request and never answers
    };

    TEchoPage();

    uint16_t Port() const { return FListener.Port(); }
    // "http://127.0.0.1:PORT/".
    QString URL() const;

    std::atomic<TMode> Mode{TMode::Echo};
    std::atomic<int> DelayMs{0};                       // wait before answering
    std::string StatusLine = "HTTP/1.1 404 Not Found"; // set before use

    int Requests() const { return FRequests; }
    int MaxConcurrent() const { return FMaxConcurrent; }
    std::string LastRequest();

private:
    void Serve(TSocket &client);

    std::atomic<int> FRequests{0};
    std::atomic<int> FConcurrent{0};
    std::atomic<int> FMaxConcurrent{0};
    std::mutex FLock;
    std::string FLastRequest;
    TLoopbackServer FListener; // last: its threads end before the rest goes
};

// danted serving SOCKS 4 only: SOCKS 5 requests are refused by its rules.
class TDanteSocks4Peer : public TDantePeer {
public:
    TDanteSocks4Peer();
};

// Sets VELMORA_CHECK_URL for its lifetime.
class TCheckURLOverride {
public:
    explicit TCheckURLOverride(const QString &url);
    ~TCheckURLOverride();

private:
    QByteArray FOld;
    bool FHadOld;
};

// A store on a fresh temporary data folder (created by its first load).
class TTempStore {
public:
    TTempStore();
    TdmProxyData &Store() { return *FStore; }
    // Adds a proxy on 127.0.0.1 and saves; returns its UID.
    int32_t Add(uint16_t port, TProxyType type,
                const QString &address = QStringLiteral("127.0.0.1"));
    // The stored row of a proxy, read back; FUID 0 when it is gone.
    TProxData Row(int32_t uid);

private:
    QTemporaryDir FTmp;
    std::unique_ptr<TdmProxyData> FStore;
};

} // namespace VelmoraTest
