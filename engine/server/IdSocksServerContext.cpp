#include "engine/server/IdSocksServerContext.h"

#include <sys/socket.h>

TIdSocksServerContext::TIdSocksServerContext(TSocket client) : FClient(std::move(client)) {
    FPeerAddress = FClient.PeerAddress();
    FPeerPort = FClient.PeerPort();
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(FClient.Fd(), reinterpret_cast<sockaddr *>(&local), &len) == 0 &&
        local.ss_family == AF_INET6)
        FConnectionIPVersion = TIdIPVersion::Id_IPv6;
}

TIdSocksServerContext::~TIdSocksServerContext() {
    CloseAll();
}

void TIdSocksServerContext::Shut(TSocket &socket) {
    if (socket.Valid())
        socket.ShutdownBoth();
}

void TIdSocksServerContext::SetOutgoing(TSocket socket) {
    std::lock_guard<std::mutex> guard(FLock);
    FOutgoing = std::move(socket);
    if (FWoken)
        Shut(FOutgoing);
}

void TIdSocksServerContext::CloseOutgoing() {
    std::lock_guard<std::mutex> guard(FLock);
    FOutgoing.Close();
}

void TIdSocksServerContext::SetBindListener(TSocket socket) {
    std::lock_guard<std::mutex> guard(FLock);
    FBindListener = std::move(socket);
    if (FWoken)
        Shut(FBindListener);
}

void TIdSocksServerContext::CloseBindListener() {
    std::lock_guard<std::mutex> guard(FLock);
    FBindListener.Close();
}

void TIdSocksServerContext::SetAbort(std::function<void()> abort) {
    std::lock_guard<std::mutex> guard(FLock);
    FAbort = std::move(abort);
    if (FWoken && FAbort)
        FAbort();
}

void TIdSocksServerContext::CloseAll() {
    std::lock_guard<std::mutex> guard(FLock);
    FAbort = nullptr;
    FBindListener.Close();
    FOutgoing.Close();
    FClient.Close();
}

void TIdSocksServerContext::Wake() {
    std::lock_guard<std::mutex> guard(FLock);
    FWoken = true;
    Shut(FClient);
    Shut(FOutgoing);
    Shut(FBindListener);
    if (FAbort)
        FAbort();
}

bool TIdSocksServerContext::Woken() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FWoken;
}
