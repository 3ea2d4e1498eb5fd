#pragma once
// A DNS server inside a network namespace that counts every query it gets,
// over UDP and over TCP, and answers like a real one from its few records:
// A and AAAA for the names it knows (no record for a type a name lacks),
// NXDOMAIN for every other name. The world's sink and the client's stub
// resolver.

#include "tests/launch/DatagramServer.h"
#include "tests/support/LoopbackServer.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace VelmoraTest {

class TDnsResponder {
public:
    struct TRecord {
        std::string Name;
        std::string Address;  // IPv4
        std::string Address6; // IPv6; empty: none
    };

    // Listens on address:53 (UDP and TCP) inside `nsPath`.
    TDnsResponder(const std::string &nsPath, const std::string &address,
                  std::vector<TRecord> records);
    ~TDnsResponder();

    // Queries seen: UDP datagrams plus TCP connections.
    int Count() const { return FUdp->Count() + FTcpConnections.load(); }
    void Reset();

    // The answer to one query message; nullopt when it is no query.
    std::optional<std::string> Answer(const std::string &query) const;

private:
    // Name -> record data by type (the address bytes of A and AAAA).
    std::map<std::string, std::map<uint16_t, std::string>> FRecords;
    std::atomic<int> FTcpConnections{0};
    std::unique_ptr<TDatagramServer> FUdp;
    std::unique_ptr<TLoopbackServer> FTcp;
};

} // namespace VelmoraTest
