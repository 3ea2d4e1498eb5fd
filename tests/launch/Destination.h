#pragma once
// The destination of the programs under test, in the world namespace: an
// HTTP server on port 80 of the world's IPv4 and IPv6 address that answers
// every request with "200 OK", and records the address of every peer that
// connects — whoever reaches it, the destination sees.

#include "tests/support/LoopbackServer.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace VelmoraTest {

class TDestination {
public:
    static constexpr uint16_t Port = 80;
    static constexpr const char *Body = "hello from the destination\n";

    TDestination(const std::string &nsPath, const std::string &address,
                 const std::string &address6);
    ~TDestination();

    // Connections so far by peer address.
    std::map<std::string, int> Peers() const;
    int Count() const;
    // Connections from `address`.
    int CountFrom(const std::string &address) const;
    void Reset();

private:
    mutable std::mutex FLock;
    std::map<std::string, int> FPeers;
    std::vector<std::unique_ptr<TLoopbackServer>> FServers;
};

} // namespace VelmoraTest
