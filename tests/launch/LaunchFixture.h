#pragma once
// The world every launcher test runs in (see Topology.h): the destination,
// the DNS sink, a UDP echo and a ping counter in the world namespace with the chain's two
// proxies, microsocks on the world address and dante on its own address
// (the last hop); in the client namespace the stub resolver, a data folder
// with the chains, and, when a test asks, `velmora --headless`. Programs
// run in the client namespace as an unprivileged user, with or without
// `velmora run`. Everything is stopped by its PID and deleted in TearDown,
// whatever the test's outcome.

#include "tests/launch/ClientSide.h"
#include "tests/launch/DatagramServer.h"
#include "tests/launch/Destination.h"
#include "tests/launch/DnsResponder.h"
#include "tests/launch/IcmpCounter.h"
#include "tests/launch/WorldPeer.h"
#include "tests/support/Process.h"
#include "tests/support/Topology.h"
#include "tests/support/VelmoraProcess.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace VelmoraTest {

class LaunchTest : public ::testing::Test {
protected:
    static constexpr const char *Name = "dest.velmora.test";
    static constexpr const char *Name6 = "six.velmora.test"; // with an IPv6 address too
    static constexpr uint16_t MicrosocksPort = 1080;
    static constexpr uint16_t DantePort = 1081;
    static constexpr uint16_t ClosedPort = 1082; // nothing listens
    static constexpr uint16_t EchoPort = 7;
    // The chains of the data folder: World = microsocks -> dante;
    // Spare = microsocks alone (the destination then sees the world
    // address); Broken = a proxy whose check failed. The program list names
    // "CURL" with the Spare chain.
    static constexpr uint16_t WorldChainPort = 1090;
    static constexpr uint16_t SpareChainPort = 1091;
    static constexpr uint16_t BrokenChainPort = 1092;

    void SetUp() override;
    void TearDown() override;

    TTopology &Net() { return *FTopology; }
    TDestination &Destination() { return *FDestination; }
    TDnsResponder &Sink() { return *FSink; }
    TDnsResponder &Stub() { return *FStub; }
    TDatagramServer &UdpEcho() { return *FUdpEcho; }
    TIcmpCounter &Pings() { return *FPings; }
    TClientSide &Client() const { return *FClient; }
    std::string World() const { return FTopology->WorldAddress(); }
    std::string LastHop() const { return FTopology->LastHopAddress(); }
    std::string ClientAddress() const { return FTopology->ClientAddress(); }

    // Zeroes what the destination, the DNS servers, the echo and the ping
    // counter have seen.
    void ResetCounters();
    int DnsQueries() { return Sink().Count() + Stub().Count(); }

    // `velmora --headless` in the client namespace as the user; waits until
    // its services (and so the World and Spare chains) are up.
    TVelmoraProcess &StartHeadless();
    TVelmoraProcess *Headless() { return FHeadless.get(); }
    // The headless instance's lines from `from` on.
    QStringList HeadlessLinesFrom(qsizetype from);

    // Runs `command` in the client namespace (as the user unless asRoot)
    // to its end (bounded); `prepare` as TClientSide::Command has it.
    TRunResult RunInClient(const std::vector<std::string> &command, bool asRoot = false,
                           int timeoutMs = 60000, const std::string &prepare = {});
    // `velmora run ARGS...` the same way.
    TRunResult VelmoraRun(const std::vector<std::string> &args, bool asRoot = false,
                          int timeoutMs = 60000);

    // The test clients' command lines (ClientSide's copies).
    std::vector<std::string> StaticClient(const std::vector<std::string> &args) const;
    std::vector<std::string> UringClient(const std::vector<std::string> &args) const;
    std::vector<std::string> PythonClient(const std::vector<std::string> &args) const;
    std::string Url() const { return std::string("http://") + Name + "/"; }

private:
    void SeedStore();

    // Declared in the order of making; destroyed the other way round.
    std::unique_ptr<TTopology> FTopology;
    std::unique_ptr<TDestination> FDestination;
    std::unique_ptr<TDnsResponder> FSink;
    std::unique_ptr<TDnsResponder> FStub;
    std::unique_ptr<TDatagramServer> FUdpEcho;
    std::unique_ptr<TIcmpCounter> FPings;
    std::unique_ptr<TWorldPeer> FMicrosocks;
    std::unique_ptr<TWorldPeer> FDante;
    std::unique_ptr<TClientSide> FClient;
    std::unique_ptr<TVelmoraProcess> FHeadless;
};

// The output lines of a test client that begin with `key` + " ", without
// the key ("tcp 1/1" -> "1/1"); empty when there is none.
std::string ClientLine(const std::string &output, const std::string &key);
// Every such line, in order.
std::vector<std::string> ClientLines(const std::string &output, const std::string &key);
// True when `address` (dotted IPv4) lies in 198.18.0.0/15.
bool InFakeRange(const std::string &address);

} // namespace VelmoraTest
