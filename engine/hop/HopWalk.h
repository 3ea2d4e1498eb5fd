#pragma once
// The opening of one outgoing connection through a nest of hop connectors:
// the address of the first peer (the first hop, or the destination itself
// when there is no enabled first hop) resolved on this machine, the TCP
// connection to it, then one handshake per enabled hop, each asking its
// proxy for the next hop and the last one for the destination.
//
// A walk is made and opened by one thread; Abort() may come from any other
// and ends the walk under way (its TCP connect or a handshake) by shutting
// its socket down.

#include "engine/hop/IdCustomTransparentProxy.h"
#include "platform/Socket.h"

#include <cstdint>
#include <mutex>
#include <string>

class THopWalk {
public:
    THopWalk() = default;
    THopWalk(const THopWalk &) = delete;
    THopWalk &operator=(const THopWalk &) = delete;

    // ms that each read of the connection may wait, handshakes included, set
    // once it is connected and left on it; 0: no limit.
    int ReadTimeoutMs = 0;
    // ms that the whole opening may take, the TCP connect and every
    // handshake together (0: no such limit); the connection returned has no
    // deadline left on it.
    int AttemptTimeoutMs = 0;

    // Opens the connection to host:port through firstHop and the hops chained
    // behind it (null or disabled: straight to host:port). A name of the first
    // peer is resolved to IPv4; connectTimeoutMs bounds the TCP connect (0:
    // the platform's own; on expiry "Connect timed out."). Failures throw with
    // the resolver's, socket's or hop's message, and the socket closes.
    TSocket Open(TIdCustomTransparentProxy *firstHop, const std::string &host, uint16_t port,
                 int connectTimeoutMs);
    // From any thread: ends an Open under way and makes a later one fail at
    // once with "Connection aborted.".
    void Abort();

    // After an Open that failed: the position (0: the first hop) of the hop
    // to blame, or -1 when no hop is (there was none, or the last proxy
    // refused the destination itself). A proxy that answers the request for
    // the next hop with a failure reply is not blamed: the next hop is (it
    // could not be reached). A proxy that does not answer, or breaks the
    // connection, is.
    int FailedHop() const { return FFailedHop; }
    // Abort() has been called.
    bool Aborted() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FAborted;
    }

private:
    // While the next hop is set and enabled, asks `hop` for the next one and
    // goes on from there; the last proxy is asked for host:port. FFailedHop
    // follows the hop under way.
    void WalkHops(TIdCustomTransparentProxy *hop, TSocket &socket, const std::string &host,
                  uint16_t port);
    // Registers the socket of an Open as the one Abort wakes; throws when
    // the walk has been aborted already.
    void Track(int fd);

    mutable std::mutex FLock;
    bool FAborted = false;
    int FActiveFd = -1; // socket of an Open under way
    int FFailedHop = -1;
};
