#pragma once
// What a SOCKS server keeps about one client connection while it serves it:
// the client's socket and address, what the client asked for, the data slot
// with the connection's context ID, and every other socket the connection
// holds, so that stopping the server can wake whatever the connection is
// blocked in (Wake shuts them all down).
//
// The connection's own thread uses the sockets; Wake may run on any thread.
// Sockets are closed only through this class, under its lock, so a wake never
// reaches a descriptor that has been closed and reused.

#include "engine/hop/IdCustomTransparentProxy.h"
#include "engine/server/ContextIDRegistry.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class TIdSocksServerContext {
public:
    explicit TIdSocksServerContext(TSocket client);
    ~TIdSocksServerContext();
    TIdSocksServerContext(const TIdSocksServerContext &) = delete;
    TIdSocksServerContext &operator=(const TIdSocksServerContext &) = delete;

    // The client's connection.
    TSocket &Connection() { return FClient; }
    // The client's address (dotted IPv4 for IPv4 clients) and port, taken
    // when the connection was accepted.
    const std::string &PeerAddress() const { return FPeerAddress; }
    uint16_t PeerPort() const { return FPeerPort; }
    // IP version of the client's own connection.
    TIdIPVersion ConnectionIPVersion() const { return FConnectionIPVersion; }

    uint8_t FSocksVersion = 0; // first byte the client sent
    // The connection was handed over with its destination (a launched
    // program's, through TIdSocksServer::ServeHanded): it speaks no SOCKS, so
    // it gets no reply; a failure resets it.
    bool FHanded = false;
    TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4; // of the requested destination
    std::string FUsername;                           // SOCKS 4 user ID; never used
    std::string FPassword;                           // never used
    TContextID *FData = nullptr;                     // data slot: the connection's context ID

    // The outgoing connection of a CONNECT, or the accepted peer of a BIND.
    // Setting it after Wake shuts it down at once.
    void SetOutgoing(TSocket socket);
    TSocket &Outgoing() { return FOutgoing; }
    void CloseOutgoing();
    // The listening socket of a BIND while it waits for its peer.
    void SetBindListener(TSocket socket);
    TSocket &BindListener() { return FBindListener; }
    void CloseBindListener();
    // Called by Wake to end an outgoing connection attempt that has no socket
    // here yet (a hop walk in progress); cleared with nullptr.
    void SetAbort(std::function<void()> abort);
    void CloseAll();

    // Shuts down every socket of the connection and runs the abort handler;
    // from then on every socket set here is shut down as it arrives.
    void Wake();
    bool Woken() const;

    // The server has read the client's request, or the connection came with
    // its destination: the client is no longer a silent one that a full
    // server may drop. Any thread.
    void MarkRequestRead() { FRequestRead.store(true, std::memory_order_relaxed); }
    bool RequestRead() const { return FRequestRead.load(std::memory_order_relaxed); }

    // Bytes the client sent after its request, before the tunnel existed;
    // they go first to the outgoing side.
    std::string FEarlyData;
    // Bytes the tunnel carried, both ways together: the client's early bytes
    // and what the relay delivered, none of the SOCKS or hop handshakes.
    // Set by the connection's own thread when its relay ends; 0 for a
    // connection that never relayed.
    uint64_t FBytesMoved = 0;

private:
    static void Shut(TSocket &socket);

    mutable std::mutex FLock;
    std::atomic<bool> FRequestRead{false};
    bool FWoken = false;
    TSocket FClient;
    TSocket FOutgoing;
    TSocket FBindListener;
    std::function<void()> FAbort;
    std::string FPeerAddress;
    uint16_t FPeerPort = 0;
    TIdIPVersion FConnectionIPVersion = TIdIPVersion::Id_IPv4;
};
