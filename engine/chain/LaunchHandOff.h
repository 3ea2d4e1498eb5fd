#pragma once
// The socket through which `velmora run` hands the connections of its
// program to the running chains, so that a chain serves them itself and no
// relay of the launcher's stands in between: a Unix socket (SOCK_SEQPACKET)
// at SocketPath(), in a folder only this user can enter, whose every peer's
// uid is checked too. Each message is "connect PORT HOST DPORT" with the
// connection's descriptor: the chain on local PORT is to carry it to
// HOST:DPORT (see TChainManager::HandConnection). Nothing is answered; a
// connection no chain takes is reset. Before its first connection the
// launcher asks "chain PORT" (no descriptor), answered "runs PORT" when a
// running chain of this instance listens on PORT, else "stopped PORT": only
// then does it know that what holds the port is this instance's chain.
//
// The served side runs in the process that runs the chains (window or
// headless), each launcher's messages on a thread of their own; the chain is
// found and served on a share of it (TChainManager::HandConnection), so a
// stop of it meanwhile does not take it away. The launcher uses Connect and
// Send.

#include "platform/Socket.h"
#include "platform/UserSocket.h"

#include <cstdint>
#include <string>

class TChainManager;

class TLaunchHandOff {
public:
    // $XDG_RUNTIME_DIR/velmora/launch.sock (without XDG_RUNTIME_DIR:
    // /tmp/velmora-UID/launch.sock).
    static std::string SocketPath(uid_t owner = ::geteuid());

    explicit TLaunchHandOff(TChainManager &manager);
    ~TLaunchHandOff();
    TLaunchHandOff(const TLaunchHandOff &) = delete;
    TLaunchHandOff &operator=(const TLaunchHandOff &) = delete;

    // Listens at SocketPath(); false (and nothing listens) when the folder
    // cannot be made safely or another process serves the path already.
    bool Start();
    void Stop();
    // Why the last Start failed.
    const std::string &Problem() const { return FServer.Problem(); }

    // The launcher's side: a connection to the running instance's socket,
    // or an invalid socket when none serves it. When the socket's folder or
    // the serving process is not this user's, nothing is sent and `problem`
    // says what is wrong. `owner`: the user whose instance is trusted (root
    // launching for a user: that user's).
    static TSocket Connect(std::string &problem, uid_t owner = ::geteuid());
    // True when the instance confirms that its chain runs on chainPort;
    // false when it says not, or does not answer within timeoutMs.
    static bool ChainRunsAt(int socket, uint16_t chainPort, int timeoutMs = 5000);
    // Hands `fd` (a duplicate goes; the caller keeps its own) to the chain
    // on chainPort for host:port. False when the instance has gone.
    static bool Send(int socket, uint16_t chainPort, const std::string &host, uint16_t port,
                     int fd);

private:
    void Serve(TSocket &client);
    bool ChainRuns(unsigned port) const;

    TChainManager &FManager;
    TUserSocketServer FServer; // last: its threads end before the rest goes
};
