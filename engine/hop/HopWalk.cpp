#include "engine/hop/HopWalk.h"

#include "engine/hop/HopRefused.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Resolver.h"

#include <algorithm>
#include <sys/socket.h>

TSocket THopWalk::Open(TIdCustomTransparentProxy *firstHop, const std::string &host, uint16_t port,
                       int connectTimeoutMs) {
    const bool throughHops = firstHop != nullptr && firstHop->Enabled();
    FFailedHop = throughHops ? 0 : -1; // a failure before the first handshake is the first hop's
    const std::string peerAddress = TResolver::ResolveIPv4(throughHops ? firstHop->Host : host);
    const uint16_t peerPort = throughHops ? firstHop->Port : port;
    TSocket socket = TSocket::Create(TResolver::IsIPv4Literal(peerAddress) ? TSocket::Family::IPv4
                                                                           : TSocket::Family::IPv6);
    Track(socket.Fd());
    // Declared after the socket: forgets the descriptor before it is closed.
    struct TForget {
        THopWalk *Walk;
        ~TForget() { Walk->Track(-1); }
    } forget{this};
    int64_t deadlineNs = 0;
    if (AttemptTimeoutMs > 0) {
        deadlineNs = TClock::TickNs() + int64_t(AttemptTimeoutMs) * 1000000;
        connectTimeoutMs =
            connectTimeoutMs > 0 ? std::min(connectTimeoutMs, AttemptTimeoutMs) : AttemptTimeoutMs;
    }
    socket.ConnectTo(peerAddress, peerPort, std::max(connectTimeoutMs, 0));
    if (ReadTimeoutMs > 0)
        socket.SetReadTimeout(ReadTimeoutMs);
    socket.SetReadDeadline(deadlineNs);
    if (throughHops)
        WalkHops(firstHop, socket, host, port);
    socket.SetReadDeadline(0);
    return socket;
}

void THopWalk::Abort() {
    std::lock_guard<std::mutex> lock(FLock);
    FAborted = true;
    if (FActiveFd >= 0)
        ::shutdown(FActiveFd, SHUT_RDWR);
}

void THopWalk::Track(int fd) {
    std::lock_guard<std::mutex> lock(FLock);
    if (fd >= 0 && FAborted)
        throw EVelmoraError("Connection aborted.");
    FActiveFd = fd;
}

void THopWalk::WalkHops(TIdCustomTransparentProxy *hop, TSocket &socket, const std::string &host,
                        uint16_t port) {
    for (int index = 0;; ++index) {
        FFailedHop = index;
        TIdCustomTransparentProxy *next = hop->ChainedProxy();
        const bool last = next == nullptr || !next->Enabled();
        try {
            if (last)
                hop->Handshake(socket, host, port);
            else
                hop->Handshake(socket, next->Host, next->Port);
        } catch (const EHopRefused &) {
            FFailedHop = last ? -1 : index + 1;
            throw;
        }
        if (last) {
            FFailedHop = -1;
            return;
        }
        hop = next;
    }
}
