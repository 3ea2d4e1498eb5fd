#pragma once
// A Unix socket only this user can use, served by a running instance: in
// the folder $XDG_RUNTIME_DIR/velmora (without XDG_RUNTIME_DIR:
// /tmp/velmora-UID), which only this user may enter (0700), the socket
// itself 0600, and every client's uid checked once more (SO_PEERCRED): a
// client of another user (but root) is closed without a word. Each client is served on
// a thread of its own. The launch hand-off and the control socket are two
// such servers.
//
// Both sides trust the folder only when it is a folder (not a link) of
// this user's with mode 0700 exactly: another user who made
// /tmp/velmora-UID first would otherwise own the sockets. The client also
// checks the server's uid (SO_PEERCRED) before it sends anything.

#include "platform/Socket.h"

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

class TUserSocketServer {
public:
    // Runs on the client's own thread; the socket is closed after it.
    using TServe = std::function<void(TSocket &client)>;

    // The path of the socket `name` in the runtime folder of `owner` (root
    // acting for a user: without XDG_RUNTIME_DIR, the user's /run/user/UID
    // when there is one).
    static std::string PathOf(const std::string &name, uid_t owner = ::geteuid());
    // The folder a socket path lies in.
    static std::string FolderOf(const std::string &path);
    // Why the socket folder cannot be trusted (naming the folder, and the
    // owner and mode found); empty when it can, or when it does not exist
    // (then `absent` is set).
    static std::string FolderProblem(const std::string &folder, bool &absent,
                                     uid_t owner = ::geteuid());
    // A connection to the socket at `path` of `type` (SOCK_STREAM,
    // SOCK_SEQPACKET); an invalid socket, and the failing call's errno in
    // `error`, when nobody serves it (ENOENT: no folder or no socket). When
    // the folder or the serving process is not this user's, nothing is
    // sent, `error` is EACCES and `problem` says what is wrong. `owner`:
    // whose folder and server are trusted (root acting for a user).
    static TSocket Connect(const std::string &path, int type, int &error, std::string &problem,
                           uid_t owner = ::geteuid());

    TUserSocketServer(int type, TServe serve);
    ~TUserSocketServer();
    TUserSocketServer(const TUserSocketServer &) = delete;
    TUserSocketServer &operator=(const TUserSocketServer &) = delete;

    // Listens at `path`. A socket file nobody serves any more (a run that
    // ended without removing it) is replaced. False, and nothing listens,
    // when the folder cannot be made safely or another process serves the
    // path.
    bool Start(const std::string &path);
    // Stops listening, ends every client (shuts its socket down), joins every
    // thread and removes the socket file when it is still ours.
    void Stop();
    bool Listening() const { return FAcceptor.joinable(); }
    // Why the last Start failed (empty after a successful one).
    const std::string &Problem() const { return FProblem; }
    // From a serving thread: the server is stopping.
    bool Stopping();

private:
    struct TPeer {
        TSocket Socket;
        std::thread Thread;
        bool Done = false; // guarded by FLock
    };
    void AcceptLoop();

    int FType;
    TServe FServe;
    TSocket FListener;
    std::string FPath;
    std::string FProblem;
    // The socket file as made, to tell it from one that replaced it.
    ino_t FInode = 0;
    timespec FChanged{};
    std::thread FAcceptor;
    std::mutex FLock;
    bool FStopping = false;
    std::list<std::unique_ptr<TPeer>> FPeers;
};
