#pragma once
// A SOCKS 4 / 4a / 5 server without authentication, on all interfaces or on
// loopback only (Threads.LoopbackOnly, SetLoopbackOnly); its listeners and
// connection threads are a TConnectionThreads (settings in Threads: at most
// Threads.MaxClients clients at once, the oldest silent one dropped to make
// room). Each client sends one request: CONNECT is served by CommandConnect
// (here a direct connection to the destination; derived servers replace
// it), BIND by the server itself; the tunnel is then relayed both ways until
// both sides end.
//
// Stop() closes the listeners, wakes every connection (shuts its sockets
// down) and joins every thread the server started. Events run on the
// connection threads and are raised only when assigned; they may be assigned
// or cleared while connections run.
//
// A derived server must call Stop() in its own destructor: connection
// threads call its overrides.

#include "engine/server/ConnectDirect.h"
#include "engine/server/ConnectionThreads.h"
#include "engine/server/IdSocksServerContext.h"
#include "engine/server/SafeEvent.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TPipePool;
class TRelay;
struct TSocksRequest;

class TIdSocksServer {
public:
    // The listen backlog of the servers that clients reach from outside:
    // deep enough that a burst of connections waits in the kernel's queue
    // instead of having its SYNs dropped and sent again a second later (the
    // kernel caps it at net.core.somaxconn, 4096 here).
    static constexpr int DefaultListenBacklog = 4096;

    TIdSocksServer();
    virtual ~TIdSocksServer();
    TIdSocksServer(const TIdSocksServer &) = delete;
    TIdSocksServer &operator=(const TIdSocksServer &) = delete;

    // Settings, read at Start (SessionsTimeOut and ConnectTimeoutMs by each
    // new connection).
    uint16_t DefaultPort = 1080;           // 0: a free port chosen by the system (see Port())
    TConnectionThreads::TSettings Threads; // listen backlog, thread stacks, spare and idle threads
    int SessionsTimeOut = 0;       // seconds without a byte either way that end a relay; 0: never
    int ConnectTimeoutMs = 120000; // direct connections of CommandConnect
    int BindAcceptTimeoutMs = 120000;
    int RequestTimeoutMs = 10000; // a client whose request is not whole by then is closed; 0: never
    // A client not on loopback may not CONNECT to this machine's own
    // addresses (TLocalAddresses::IsOwn, checked on the addresses a name
    // stands for): refused with 91 / 2, OnRefusedDestination raised.
    bool ShieldOwnAddresses = false;
    bool RelayThroughPipes = true; // splice() through pooled pipes, else 64 KiB buffers
    // Receive buffer (SO_RCVBUF) of a client's socket once its tunnel
    // relays; 0 leaves it to the kernel's tuning.
    int ClientReceiveBuffer = 0;

    // Binds and listens on all interfaces at DefaultPort. Throws the platform's
    // error (ESocketError) when the port is taken; a started server ignores it.
    virtual void Start();
    // Stops listening, ends every live connection and joins every thread.
    // A stopped server ignores it and can be started again.
    void Stop();
    bool Active() const;
    // The port listened on (DefaultPort, or the one chosen for 0); 0 when stopped.
    uint16_t Port() const;
    // Clients accepted whose connection has not ended yet.
    size_t ConnectionCount() const;
    // Serves a connection accepted elsewhere whose destination is already
    // known (a launched program's, redirected to a listener of its
    // launcher): CONNECT host:port as if asked by SOCKS, without any SOCKS
    // reply; a failure resets the connection. False, and the socket closed,
    // when the server is stopped.
    bool ServeHanded(TSocket client, const std::string &host, uint16_t port);

    // Serve clients from 127.0.0.1 and ::1 only: a request from any other
    // address, whatever its command, raises OnRejected and is refused (SOCKS
    // 4 code 91, SOCKS 5 "not allowed"). Connections handed over by
    // ServeHanded are not affected. May change while the server runs.
    void SetLocalOnly(bool value) { FLocalOnly.store(value, std::memory_order_relaxed); }
    bool LocalOnly() const { return FLocalOnly.load(std::memory_order_relaxed); }
    // Where the server listens: 127.0.0.1 and ::1 only, or every interface;
    // also where BIND listens for its peer. A running server listens anew at
    // once (see TConnectionThreads::Rebind, whose error it throws).
    void SetLoopbackOnly(bool value);
    // The cap on clients at once; a running server takes it from its next
    // client on.
    void SetMaxClients(size_t value);
    // The client's address is 127.0.0.1 or ::1.
    static bool LocalClient(const TIdSocksServerContext &context);

    // Pipes of the relays; by default one pool per server. Set before Start.
    void SetPipePool(std::shared_ptr<TPipePool> pool);

    // A CONNECT request, before anything is built: host and port may be
    // changed, allowed (true on entry) set false to refuse it.
    TSafeEvent<void(TIdSocksServerContext &context, std::string &vHost, uint16_t &vPort,
                    bool &vAllowed)>
        OnBeforeSocksConnect;
    // A BIND request whose peer has connected: host named in the request, the
    // peer's address; allowed (true on entry) set false to refuse the peer.
    TSafeEvent<void(TIdSocksServerContext &context, const std::string &host,
                    const std::string &peer, bool &vAllowed)>
        OnVerifyBoundPeer;
    // A client refused by the local-only rule, before its reply.
    TSafeEvent<void(TIdSocksServerContext &context)> OnRejected;
    // A CONNECT refused by ShieldOwnAddresses, before its reply: the
    // destination as asked and the own address it stands for.
    TSafeEvent<void(TIdSocksServerContext &context, const std::string &host, uint16_t port,
                    const std::string &address)>
        OnRefusedDestination;
    // Clients that lost their place because the server was full since the
    // last call (at most one a second, on a listener thread): closed at
    // accept, dropped while silent, and the cap.
    TSafeEvent<void(size_t closed, size_t dropped, size_t maxClients)> OnTurnedAway;
    // A relay ended because nothing moved for SessionsTimeOut seconds.
    TSafeEvent<void(TIdSocksServer *sender, TIdSocksServerContext &context)> OnSessionTimeout;
    // A connection ended with an error (the message it ended with). Only for
    // diagnosis: the protocol sends its replies whether or not it is assigned.
    TSafeEvent<void(TIdSocksServerContext &context, const std::string &message)> OnConnectionError;

protected:
    // Serves one CONNECT request. This one connects straight to the
    // destination with ConnectTimeoutMs and relays; failures answer 91 / 4.
    virtual void CommandConnect(TIdSocksServerContext &context, const std::string &host,
                                uint16_t port);
    // Serves one BIND request on this machine.
    virtual void CommandBind(TIdSocksServerContext &context, const std::string &host,
                             uint16_t port);

    // Helpers for CommandConnect of derived servers.
    // Raises OnBeforeSocksConnect (which may change host and port); a request
    // it refuses gets its failure reply and ends with "Access Denied".
    void AdmitConnect(TIdSocksServerContext &context, std::string &vHost, uint16_t &vPort);
    // The rest of an admitted CONNECT: takes what the relay needs (a shortage
    // answers 91 / 1), runs `announce` (null: nothing), runs `open`, which
    // leaves the outgoing connection in the context (its failure answers
    // 91 / 4), answers 90 / 0 with the outgoing side's local address and
    // relays until both sides end. Every failure goes on to the caller.
    void ConnectAndRelay(TIdSocksServerContext &context, const std::function<void()> &announce,
                         const std::function<void()> &open);
    // The reply of a failure: errors sending it are ignored, since the
    // connection ends with the failure's own error anyway.
    static void SendFailureReply(TIdSocksServerContext &context, uint8_t code4, uint8_t code5);

private:
    // The addresses host stands for, those of this machine left out for a
    // client that ShieldOwnAddresses keeps away from them; refuses the
    // request when none is left.
    std::vector<TDirectTarget> AllowedTargets(TIdSocksServerContext &context,
                                              const std::string &host, uint16_t port);
    // Reads the client's request (the SOCKS 5 greeting answered on the way)
    // within RequestTimeoutMs; false when the client closed during it.
    // Bytes that came after the request are left in FEarlyData.
    bool ReadRequest(TIdSocksServerContext &context, TSocksRequest &request);
    // One client: its request, then the command it asks for.
    void Serve(TIdSocksServerContext &context);
    // Runs `serve`; a failure it ends with goes to OnConnectionError. The
    // connection's sockets are closed after it either way.
    void Guarded(TIdSocksServerContext &context, const std::function<void()> &serve);
    // Sends the reply of the client's protocol (code4 for SOCKS 4, code5 for
    // SOCKS 5) with an address and port.
    static void SendReply(TIdSocksServerContext &context, uint8_t code4, uint8_t code5,
                          const std::string &address = {}, uint16_t port = 0);
    // A relay with what it needs already taken; throws "Out of relay
    // resources" when that fails.
    std::unique_ptr<TRelay> PrepareRelay();
    // Sends the client's early bytes to the outgoing side, relays until both
    // sides end (or the session times out: OnSessionTimeout is raised).
    void RelayConnection(TIdSocksServerContext &context, TRelay &relay);
    // The quiet call of the connection threads: closes the idle pipes.
    void TrimPipes();

    mutable std::mutex FPoolLock;
    std::shared_ptr<TPipePool> FPipePool;
    // Settings as they were at Start, read by the connection threads.
    int FSessionTimeoutMs = 0;
    int FConnectTimeoutMs = 0;
    int FBindTimeoutMs = 0;
    bool FUsePipes = true;
    int FClientReceiveBuffer = 0;
    int FRequestTimeoutMs = 0;
    bool FShieldOwn = false;
    std::atomic<bool> FLocalOnly{false};
    std::mutex FStartStopLock; // Start and Stop from different threads
    // Last: its threads end before anything above goes.
    TConnectionThreads FThreads;
};
