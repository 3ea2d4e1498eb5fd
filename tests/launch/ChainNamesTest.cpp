// A chain whose last proxy is SOCKS 4 must not give its destinations' names
// to this machine's resolver: the name goes to the proxy (SOCKS 4a), and a
// proxy that cannot take names (Debian's danted) fails the connection with
// a message, the name still unlooked-up here. The DNS servers of the client
// namespace (the stub it resolves with, and the sink behind it) count every
// query; the control shows they see a look-up made on this machine.
#include "store/dmProxyData.h"
#include "tests/launch/LaunchFixture.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/Wait.h"

namespace {

using namespace VelmoraTest;

class ChainNames : public LaunchTest {
protected:
    static constexpr uint16_t Socks4aPort = 1083;
    static constexpr uint16_t TakesNamesPort = 1093; // microsocks -> the SOCKS 4a proxy
    static constexpr uint16_t NoNamesPort = 1094;    // microsocks -> danted as SOCKS 4

    void SetUp() override {
        LaunchTest::SetUp();
        if (IsSkipped())
            return;
        const std::string hosts = World() + " " + Name + "\n";
        FSocks4a = TWorldPeer::Socks4a(Net().World(), LastHop(), Socks4aPort, hosts);
        TdmProxyData store(QString::fromStdString(Client().StoreFolder()));
        store.LoadData();
        const QString world = QString::fromStdString(World());
        const QString last = QString::fromStdString(LastHop());
        const int32_t first = SeedProxy(store, MicrosocksPort, TProxyType::ptSOCKS5,
                                        TProxyStatus::psAvailable, world);
        const int32_t takesNames =
            SeedProxy(store, Socks4aPort, TProxyType::ptSOCKS4, TProxyStatus::psAvailable, last);
        const int32_t noNames =
            SeedProxy(store, DantePort, TProxyType::ptSOCKS4, TProxyStatus::psAvailable, last);
        SeedChain(store, "TakesNames", TakesNamesPort, {first, takesNames});
        SeedChain(store, "NoNames", NoNamesPort, {first, noNames});
        Client().HandOverHome();
    }
    void TearDown() override {
        FSocks4a.reset();
        LaunchTest::TearDown();
    }

    TRunResult Fetch(uint16_t chainPort) {
        return RunInClient({"curl", "-sS", "--max-time", "15", "--socks5-hostname",
                            "127.0.0.1:" + std::to_string(chainPort), Url()});
    }

    std::unique_ptr<TWorldPeer> FSocks4a;
};

TEST_F(ChainNames, SocksFourLastHopNeverLooksTheNameUpHere) {
    StartHeadless();
    ASSERT_TRUE(Headless()->WaitForLine(QString("Listening on port %1").arg(NoNamesPort), 10000));

    // Control: a look-up on this machine reaches the DNS servers counted.
    ResetCounters();
    const TRunResult local = RunInClient({"getent", "hosts", Name});
    EXPECT_NE(local.Out.find(World()), std::string::npos) << local.Out << local.Err;
    EXPECT_GT(DnsQueries(), 0) << "the probe cannot see a local look-up";

    // Through the chain the name reaches the SOCKS 4 proxy as a name and is
    // looked up there, not here.
    ResetCounters();
    const TRunResult carried = Fetch(TakesNamesPort);
    EXPECT_EQ(carried.Out, TDestination::Body) << carried.Err;
    EXPECT_EQ(DnsQueries(), 0);
    EXPECT_NE(FSocks4a->ReadLog().find(std::string("name ") + Name), std::string::npos)
        << FSocks4a->ReadLog();

    // danted cannot take names: the connection fails, with the reason in
    // the activity, and still nothing is looked up here.
    ResetCounters();
    const qsizetype from = Headless()->Lines().size();
    const TRunResult refused = Fetch(NoNamesPort);
    EXPECT_NE(refused.ExitCode, 0);
    EXPECT_EQ(Destination().Count(), 0);
    EXPECT_EQ(DnsQueries(), 0);
    EXPECT_TRUE(WaitFor(
        [&] { return HeadlessLinesFrom(from).join('\n').contains("cannot look names up itself"); },
        10000))
        << HeadlessLinesFrom(from).join('\n').toStdString();
}

} // namespace
