#pragma once
// Shared set-up of the fault tests: a store in a temporary folder with
// working proxies and chains, a chain manager collecting its activity
// reports, and SOCKS 5 client steps with bounded waits.

#include "engine/chain/ChainManager.h"
#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/StoreSeed.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <vector>

namespace faults {

struct TReport {
    int32_t Chain;
    TActivityType Type;
    QString Text;
    int32_t Context;
};

// A store in a temporary folder, a chain manager on it, and every activity
// report the manager passes on.
class TChainBench {
public:
    QTemporaryDir Dir;
    std::unique_ptr<TdmProxyData> Store;
    TChainManager Mgr;

    TChainBench() {
        const QString folder = Dir.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        Store = std::make_unique<TdmProxyData>(folder);
        Store->LoadData();
        Mgr.SetStore(Store.get());
        Mgr.SetOnChainActivity(
            [this](void *, int32_t chain, TActivityType type, const QString &text, int32_t ctx) {
                std::lock_guard<std::mutex> g(FLock);
                FReports.push_back({chain, type, text, ctx});
            });
    }
    ~TChainBench() { Mgr.StopAll(); }

    int32_t AddProxy(uint16_t port, TProxyType type) {
        return VelmoraTest::SeedProxy(*Store, port, type);
    }

    // A chain through `proxies` on a free port, admitted and listening.
    uint16_t StartChain(const std::vector<int32_t> &proxies) {
        const uint16_t port = VelmoraTest::FreeLoopbackPort();
        const int32_t uid = VelmoraTest::SeedChain(*Store, QStringLiteral("fault"), port, proxies);
        EXPECT_GE(Mgr.Add(uid), 0);
        EXPECT_TRUE(Mgr.StartChain(uid, TChainSource::Admitted));
        return port;
    }

    std::vector<TReport> Reports() {
        std::lock_guard<std::mutex> g(FLock);
        return FReports;
    }
    // True once a "...Disconnected" report arrived for `context`.
    bool Disconnected(int32_t context) {
        for (const TReport &r : Reports())
            if (r.Context == context && r.Type == TActivityType::atDisconnected)
                return true;
        return false;
    }
    // The context of the latest connection request, or -1.
    int32_t LastContext() {
        const auto all = Reports();
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            if (it->Type == TActivityType::atConnectRequest)
                return it->Context;
        return -1;
    }
    size_t DisconnectCount() {
        size_t n = 0;
        for (const TReport &r : Reports())
            n += r.Type == TActivityType::atDisconnected;
        return n;
    }

private:
    std::mutex FLock;
    std::vector<TReport> FReports;
};

using VelmoraTest::Socks5Connect;

// The whole file; empty when it cannot be read.
inline QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Ends the connection with a reset instead of an orderly close.
inline void Reset(TSocket &s) {
    linger l{1, 0};
    ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    s.Close();
}

// How a stream ended.
enum class TEnd { EndOfStream, Reset, TimedOut };

// Reads until the stream ends; every wait bounded by `timeoutMs`.
inline TEnd ReadToEnd(TSocket &s, std::string *into, int timeoutMs) {
    char buffer[65536];
    for (;;) {
        if (!s.WaitReadable(timeoutMs))
            return TEnd::TimedOut;
        size_t got = 0;
        try {
            got = s.ReadSome(buffer, sizeof buffer);
        } catch (const ESocketError &) {
            return TEnd::Reset;
        }
        if (got == 0)
            return TEnd::EndOfStream;
        if (into)
            into->append(buffer, got);
    }
}

} // namespace faults
