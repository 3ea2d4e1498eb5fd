#pragma once
// A DNS server inside a network namespace that counts every query it gets,
// over UDP and over TCP, and answers like a real one: A for its one name
// with its one address, no record for other types of that name, NXDOMAIN
// for every other name. The world's sink and the client's stub resolver.

#include "tests/launch/DatagramServer.h"
#include "tests/support/LoopbackServer.h"

#include <atomic>
#include <memory>
#include <string>

namespace VelmoraTest {

class TDnsResponder {
public:
    // Listens on address:53 (UDP and TCP) inside `nsPath`.
    TDnsResponder(const std::string &nsPath, const std::string &address, const std::string &name,
                  const std::string &answer);
    ~TDnsResponder();

    // Queries seen: UDP datagrams plus TCP connections.
    int Count() const { return FUdp->Count() + FTcpConnections.load(); }
    void Reset();

    // The answer to one query message; nullopt when it is no query.
    std::optional<std::string> Answer(const std::string &query) const;

private:
    std::string FName;
    uint8_t FAddress[4] = {};
    std::atomic<int> FTcpConnections{0};
    std::unique_ptr<TDatagramServer> FUdp;
    std::unique_ptr<TLoopbackServer> FTcp;
};

} // namespace VelmoraTest
