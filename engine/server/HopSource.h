#pragma once
// Where a chain's server takes the hops of each new connection. A fixed
// chain gives the same hops every time; a rotating one gives its current
// draw, changes it while connections run (each keeps the hops it started
// with) and may offer a replacement when a hop fails during a set-up.
//
// Every member is called from connection threads, many at once.

#include "store/ChainedProxyData.h"

#include <atomic>
#include <cerrno>
#include <memory>

class THopSource {
public:
    virtual ~THopSource() = default;

    // The hops of a new connection, in order; null or empty: straight to the
    // destination.
    virtual std::shared_ptr<const TChainedProxyData> Current() = 0;
    // The set-up through `hops` failed at hop `index`. Returns the hops to
    // try once more with (the failed one replaced), or null when the
    // connection fails as it is.
    virtual std::shared_ptr<const TChainedProxyData>
    Failed(const std::shared_ptr<const TChainedProxyData> &hops, int index) {
        (void)hops;
        (void)index;
        return nullptr;
    }
    // The set-up through `hops` went through every hop.
    virtual void Succeeded(const TChainedProxyData &hops) { (void)hops; }
    // ms that one attempt at a set-up may take, the TCP connect to the first
    // hop and every handshake together, before the hop under way counts as
    // failed; 0: the server's own connect time-out and no limit on
    // handshakes.
    virtual int AttemptTimeoutMs() const { return 0; }

    // The first hop could not be reached for a reason of this machine's own
    // network (no route, network unreachable or down): no proxy is blamed.
    // Until a set-up gets through again the chain waits for the network.
    virtual void NetworkFailed() { FNetworkDown = true; }
    // A set-up (or a probe of a proxy) got through: the network is back.
    void NetworkBack() { FNetworkDown = false; }
    bool NetworkDown() const { return FNetworkDown; }

private:
    std::atomic<bool> FNetworkDown{false};
};

// True for an errno that tells of this machine's network rather than of the
// peer it tried: no route to the host, network unreachable or down.
inline bool IsNetworkErrno(int code) {
    return code == ENETUNREACH || code == EHOSTUNREACH || code == ENETDOWN;
}
