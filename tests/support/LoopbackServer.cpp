#include "tests/support/LoopbackServer.h"

namespace VelmoraTest {

TLoopbackServer::TLoopbackServer(TBody body, int backlog) : FBody(std::move(body)) {
    FListener = TSocket::Listen(TSocket::Family::IPv4, 0, backlog);
    FPort = FListener.LocalPort();
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TLoopbackServer::TLoopbackServer(TSocket listener, TBody body)
    : FBody(std::move(body)), FListener(std::move(listener)) {
    FPort = FListener.LocalPort();
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TLoopbackServer::~TLoopbackServer() {
    Stop();
}

void TLoopbackServer::Stop() {
    if (!FAcceptor.joinable())
        return;
    FStopping = true;
    FListener.ShutdownBoth();
    FAcceptor.join();
    {
        std::lock_guard<std::mutex> guard(FLock);
        for (auto &client : FClients)
            client->ShutdownBoth();
    }
    for (auto &t : FThreads)
        t.join();
}

void TLoopbackServer::AcceptLoop() {
    for (;;) {
        TSocket client = FListener.Accept();
        if (!client.Valid())
            return;
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return;
        ++FAccepted;
        FClients.push_back(std::make_unique<TSocket>(std::move(client)));
        TSocket *raw = FClients.back().get();
        FThreads.emplace_back([this, raw] {
            try {
                FBody(*raw);
            } catch (const std::exception &) {
            }
            std::lock_guard<std::mutex> guard(FLock);
            raw->Close();
        });
    }
}

} // namespace VelmoraTest
