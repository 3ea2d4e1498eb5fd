#pragma once
// Test partners on loopback: the Debian proxies (microsocks, tinyproxy,
// danted) started on free ports, and a small echo server of our own.
//
// Each peer is started in its own process group on a free 127.0.0.1 port,
// waited for (bounded) until it accepts connections, and stopped by its PID
// when the object goes away. Its output goes to a log file in a private
// temporary folder. Construction throws std::runtime_error when the peer
// cannot be started; check Available() first and skip the test when the
// binary is missing.

#include "tests/support/Loopback.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Process.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace VelmoraTest {

// True when `program` is an executable file in PATH (or /usr/sbin).
bool ProgramAvailable(const std::string &program);

class TPeerProcess {
public:
    virtual ~TPeerProcess();
    TPeerProcess(const TPeerProcess &) = delete;
    TPeerProcess &operator=(const TPeerProcess &) = delete;

    uint16_t Port() const { return FPort; }
    pid_t Pid() const { return FProcess ? FProcess->Pid() : -1; }
    // The peer's combined standard output and error.
    const std::string &LogFile() const { return FLogFile; }
    std::string ReadLog() const;
    // The private folder of the peer's configuration and log.
    const std::string &Folder() const { return FFolder; }
    bool Running();
    // Stops the peer and its process group: SIGTERM, then SIGKILL after a
    // bounded wait. Called by the destructor.
    void Stop();
    // Starts the stopped peer again on its own port, as it was started;
    // throws when it does not come up.
    void Restart();

protected:
    TPeerProcess();
    // Starts the peer on a fresh free port: `makeArgs` gets the port and
    // returns the command line (it may write a configuration file). Retries
    // on another port when the peer does not come up within the bound.
    void Start(const std::function<std::vector<std::string>(uint16_t port)> &makeArgs);
    void WriteFile(const std::string &path, const std::string &text) const;

private:
    bool Launch(const std::vector<std::string> &args, uint16_t port);

    std::string FFolder;
    std::string FLogFile;
    uint16_t FPort = 0;
    std::function<std::vector<std::string>(uint16_t port)> FMakeArgs;
    std::unique_ptr<TProcess> FProcess;
};

// microsocks -i ADDRESS -p PORT: SOCKS 5 only, no authentication.
class TMicrosocksPeer : public TPeerProcess {
public:
    // `listen`: 127.0.0.1, or 0.0.0.0 for every address of its network (it
    // is seen to be up on 127.0.0.1 either way).
    explicit TMicrosocksPeer(const std::string &listen = "127.0.0.1");
    static bool Available() { return ProgramAvailable("microsocks"); }
};

// tinyproxy -d -c CONF: HTTP CONNECT to any port, clients from 127.0.0.1,
// each tunnel logged ("LogLevel Connect").
class TTinyproxyPeer : public TPeerProcess {
public:
    TTinyproxyPeer();
    static bool Available() { return ProgramAvailable("tinyproxy"); }
};

// danted -f CONF: SOCKS 4 and 5 without authentication, clients and
// destinations on loopback only. As root it serves as "nobody".
class TDantePeer : public TPeerProcess {
public:
    TDantePeer();
    static bool Available() { return ProgramAvailable("danted"); }

protected:
    // The same server with other client and socks rule blocks, connecting
    // out from `external` (a loopback address such as 127.0.0.2).
    explicit TDantePeer(const std::string &rules, const std::string &external = "127.0.0.1");
};

// The same dante connecting out from another loopback address: what it
// connects to sees `external` (127.0.0.2, say) as the client's address.
class TDanteExitPeer : public TDantePeer {
public:
    explicit TDanteExitPeer(const std::string &external);
    const std::string &External() const { return FExternal; }

private:
    std::string FExternal;
};

// Echo server of our own on 127.0.0.1: each connection gets back what it
// sends (read, then write), and end of stream is passed back as a half-close.
// One thread per connection; all ended and joined by the destructor.
class TEchoServer {
public:
    TEchoServer();

    uint16_t Port() const { return FListener.Port(); }
    int Connections() const { return FListener.Accepted(); }

private:
    static void Serve(TSocket &client);

    TLoopbackServer FListener;
};

} // namespace VelmoraTest
