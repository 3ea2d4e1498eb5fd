#include "tests/launch/Destination.h"

#include "tests/launch/DatagramServer.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/Topology.h"

#include <sys/socket.h>

namespace VelmoraTest {

TDestination::TDestination(const std::string &nsPath, const std::string &address,
                           const std::string &address6) {
    const TLoopbackServer::TBody page = HttpPageBody(std::string(Body));
    for (const std::string &a : {address, address6}) {
        TSocket listener(
            TTopology::InNetwork(nsPath, [&] { return BindSocket(a, Port, SOCK_STREAM); }));
        FServers.push_back(
            std::make_unique<TLoopbackServer>(std::move(listener), [this, page](TSocket &client) {
                {
                    std::lock_guard<std::mutex> guard(FLock);
                    ++FPeers[client.PeerAddress()];
                }
                client.SetReadTimeout(10000);
                page(client);
            }));
    }
}

TDestination::~TDestination() {
    FServers.clear();
}

std::map<std::string, int> TDestination::Peers() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FPeers;
}

int TDestination::Count() const {
    std::lock_guard<std::mutex> guard(FLock);
    int n = 0;
    for (const auto &[peer, count] : FPeers)
        n += count;
    return n;
}

int TDestination::CountFrom(const std::string &address) const {
    std::lock_guard<std::mutex> guard(FLock);
    const auto it = FPeers.find(address);
    return it == FPeers.end() ? 0 : it->second;
}

void TDestination::Reset() {
    std::lock_guard<std::mutex> guard(FLock);
    FPeers.clear();
}

} // namespace VelmoraTest
