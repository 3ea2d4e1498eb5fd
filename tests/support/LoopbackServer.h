#pragma once
// The loopback server of the tests: listens on 127.0.0.1 at a free port and
// runs `body(client)` for every accepted connection on a thread of its own;
// the connection is closed when the body returns. Stop (or the destructor)
// shuts the listener and every connection down and joins every thread, so a
// body must return once its connection is shut down. An owner whose body
// uses its other members declares this one last.

#include "platform/Socket.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace VelmoraTest {

class TLoopbackServer {
public:
    using TBody = std::function<void(TSocket &client)>;

    explicit TLoopbackServer(TBody body, int backlog = 64);
    // Serves a listening socket made elsewhere (on another address, or in
    // another network namespace); Port() is its local port.
    TLoopbackServer(TSocket listener, TBody body);
    ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer &) = delete;
    TLoopbackServer &operator=(const TLoopbackServer &) = delete;

    uint16_t Port() const { return FPort; }
    int Accepted() const { return FAccepted.load(); }
    // True once Stop has begun.
    bool Stopping() const { return FStopping.load(); }
    void Stop();

private:
    void AcceptLoop();

    TBody FBody;
    TSocket FListener;
    uint16_t FPort = 0;
    std::thread FAcceptor;
    std::mutex FLock;
    std::atomic<bool> FStopping{false};
    std::list<std::unique_ptr<TSocket>> FClients;
    std::vector<std::thread> FThreads;
    std::atomic<int> FAccepted{0};
};

} // namespace VelmoraTest
