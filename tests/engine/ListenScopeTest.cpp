// Where the services listen and whom port 9999 lets in, seen from another
// machine: two network namespaces joined by a veth pair (TTopology). The
// services run in the "client" namespace (this machine, 10.77.N.2 beside
// loopback); the "world" namespace (10.77.N.1) is the other machine. A new
// data folder keeps every port on loopback; unticking local-only opens them
// at once, yet port 9999 still keeps the other machine away from this
// machine's own addresses; ticking it closes them again.
#include "engine/chain/dmSocksMgr.h"
#include "store/dmProxyData.h"
#include "tests/support/Process.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/SocksClient.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/Topology.h"

#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using namespace VelmoraTest;

namespace {

// The listening sockets on `port` in the network `ns`, as `ss` shows their
// local address ("127.0.0.1:9999", "[::1]:9999", "0.0.0.0:9999", "[::]:9999").
std::set<std::string> Listening(const std::string &ns, uint16_t port) {
    const TRunResult r = RunProgram(
        {"nsenter", "--net=" + ns, "ss", "-Hltn", "sport = :" + std::to_string(port)}, 10000);
    std::set<std::string> found;
    std::istringstream lines(r.Out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string state, recvQ, sendQ, local;
        if (words >> state >> recvQ >> sendQ >> local)
            found.insert(local);
    }
    return found;
}

// A server in the network `ns` on every interface that greets each client
// with `greeting` and closes.
class TGreeter {
public:
    TGreeter(const std::string &ns, std::string greeting) : FGreeting(std::move(greeting)) {
        TTopology::InNetwork(ns, [&] {
            FListener = TSocket::Listen(TSocket::Family::IPv4, 0, 16, false);
            return 0;
        });
        FThread = std::thread([this] {
            for (TSocket c = FListener.Accept(); c.Valid(); c = FListener.Accept())
                c.WriteAll(FGreeting);
        });
    }
    ~TGreeter() {
        FListener.ShutdownBoth();
        FThread.join();
    }
    uint16_t Port() const { return FListener.LocalPort(); }

private:
    std::string FGreeting;
    TSocket FListener;
    std::thread FThread;
};

constexpr int NoConnection = -2;

// From the network `ns`: a SOCKS 5 CONNECT through server:port to
// host:destPort (host sent as a name). The reply code, NoConnection when
// the server cannot be reached at all, -1 when the stream broke off; what
// the destination sent goes to `payload`.
int AskFrom(const std::string &ns, const std::string &server, uint16_t port,
            const std::string &host, uint16_t destPort, std::string *payload = nullptr) {
    return TTopology::InNetwork(ns, [&] {
        TSocket s;
        try {
            s = TSocket::Connect(server, port, 3000);
        } catch (const ESocketError &) {
            return NoConnection;
        }
        s.SetReadTimeout(5000);
        const std::string request =
            Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + Port16(destPort);
        if (!Socks5Greet(s.Fd()) || !SendAll(s.Fd(), request))
            return -1;
        const int code = Socks5ReadReply(s.Fd());
        if (code == 0 && payload)
            *payload = ReadAll(s, SIZE_MAX, 5000);
        return code;
    });
}

class ListenScope : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!TTopology::Possible(why))
            GTEST_SKIP() << why;
        Net = std::make_unique<TTopology>();
    }
    std::unique_ptr<TTopology> Net;
};

} // namespace

TEST_F(ListenScope, ANewDataFolderListensOnLoopbackAndTheTickOpensAndClosesEveryPort) {
    QTemporaryDir dir, runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const std::string machine = Net->Client(), other = Net->World();
    const std::string otherAddress = Net->WorldAddress(), ownAddress = Net->ClientAddress();
    TGreeter local(machine, "hello from this machine");
    TGreeter outside(other, "hello from the other machine");
    constexpr uint16_t Plain = 9999, Chain = 1081;

    // Everything the services do happens in this machine's network: their
    // listeners, their threads and the addresses they call their own.
    TTopology::InNetwork(machine, [&] {
        const QString folder = dir.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        TdmProxyData store(folder);
        store.LoadData();
        EXPECT_TRUE(store.AllowLocalHostOnly()); // a new data folder
        // A chain through a proxy marked "OK" (never reached here).
        SeedChain(store, "Work", Chain, {SeedProxy(store, 1, TProxyType::ptSOCKS5)});
        TdmSocksMgr services(Plain);
        std::mutex lock;
        QStringList lines;
        services.SetOnMessage([&](const QString &line) {
            std::lock_guard<std::mutex> guard(lock);
            lines << line;
        });
        services.ChainMgr().SetStore(&store);
        services.SetServiceActive(true);
        const std::set<std::string> loopback[] = {{"127.0.0.1:9999", "[::1]:9999"},
                                                  {"127.0.0.1:1081", "[::1]:1081"}};
        const std::set<std::string> everywhere[] = {{"0.0.0.0:9999", "[::]:9999"},
                                                    {"0.0.0.0:1081", "[::]:1081"}};

        // On (the new folder's value): loopback only, so the other machine
        // cannot even connect; this machine is served.
        EXPECT_EQ(Listening(machine, Plain), loopback[0]);
        EXPECT_EQ(Listening(machine, Chain), loopback[1]);
        for (uint16_t port : {Plain, Chain})
            EXPECT_EQ(AskFrom(other, ownAddress, port, otherAddress, outside.Port()), NoConnection)
                << port;
        std::string page;
        EXPECT_EQ(AskFrom(machine, "127.0.0.1", Plain, "127.0.0.1", local.Port(), &page), 0);
        EXPECT_EQ(page, "hello from this machine");

        // Unticked: every interface, at once, on the running servers.
        services.ApplyLocalOnly(false);
        EXPECT_EQ(Listening(machine, Plain), everywhere[0]);
        EXPECT_EQ(Listening(machine, Chain), everywhere[1]);
        page.clear();
        EXPECT_EQ(AskFrom(other, ownAddress, Plain, otherAddress, outside.Port(), &page), 0);
        EXPECT_EQ(page, "hello from the other machine");
        EXPECT_TRUE(TTopology::InNetwork(other, [&] {
            TSocket s = TSocket::Connect(ownAddress, Chain, 3000);
            s.SetReadTimeout(5000);
            return static_cast<int>(Socks5Greet(s.Fd())); // the chain answers the other machine
        }));
        // ...but port 9999 hands it none of this machine's own addresses,
        // however they are named; a client on loopback is still served
        // there (the control: the probe does reach that server).
        for (const std::string &own : {std::string("127.0.0.1"), ownAddress,
                                       std::string("localhost"), std::string("0.0.0.0")})
            EXPECT_EQ(AskFrom(other, ownAddress, Plain, own, local.Port()), 2) << own;
        page.clear();
        EXPECT_EQ(AskFrom(machine, "127.0.0.1", Plain, ownAddress, local.Port(), &page), 0);
        EXPECT_EQ(page, "hello from this machine");
        {
            std::lock_guard<std::mutex> guard(lock);
            const QString from = QStringLiteral("Rejected connection from %1 to ")
                                     .arg(QString::fromStdString(otherAddress));
            const QString port = QStringLiteral(":%1").arg(local.Port());
            EXPECT_TRUE(lines.contains(from + "127.0.0.1" + port))
                << lines.join('\n').toStdString();
            EXPECT_TRUE(lines.contains(from + QString::fromStdString(ownAddress) + port));
            EXPECT_FALSE(lines.filter(from + "localhost" + port + " (").isEmpty());
        }

        // Ticked again: loopback only at once.
        services.ApplyLocalOnly(true);
        EXPECT_EQ(Listening(machine, Plain), loopback[0]);
        EXPECT_EQ(Listening(machine, Chain), loopback[1]);
        for (uint16_t port : {Plain, Chain})
            EXPECT_EQ(AskFrom(other, ownAddress, port, otherAddress, outside.Port()), NoConnection)
                << port;
        services.SetServiceActive(false);
        return 0;
    });
}
