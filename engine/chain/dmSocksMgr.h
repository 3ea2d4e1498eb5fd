#pragma once
// The service module: the plain SOCKS server on port 9999, started when the
// module is made and kept for the whole run, the chain manager with the
// switch the rest of the program uses, ServiceActive, and the socket through
// which `velmora run` hands its program's connections to the chains.

#include "engine/chain/ChainManager.h"
#include "engine/chain/LaunchHandOff.h"
#include "engine/server/TempSocksServer.h"

#include <memory>

class TdmProxyData;

class TdmSocksMgr {
public:
    // Starts the plain server (port 0: a free one chosen by the system, for
    // tests); a port held by another program throws "Could not bind socket.
    // Address and port are already in use.".
    explicit TdmSocksMgr(uint16_t plainPort = TTempSocksServer::DefaultListenPort);
    ~TdmSocksMgr();
    TdmSocksMgr(const TdmSocksMgr &) = delete;
    TdmSocksMgr &operator=(const TdmSocksMgr &) = delete;

    TChainManager &ChainMgr() { return *FChainMgr; }
    TTempSocksServer &tempSocksServer() { return *FTempSocks; }
    // Why `velmora run` cannot hand connections to this instance (the
    // hand-off socket is not open); empty when it can.
    std::string LaunchHandOffProblem() const { return FLaunchHandOff->Problem(); }

    // The local-only rule for port 9999 and every running chain, from their
    // next client on (the settings' check box changed, or the services
    // start): on, they listen on 127.0.0.1 and ::1 only; off, on every
    // interface, at once. Port 9999 starts local-only.
    void ApplyLocalOnly(bool localOnly);
    // Clients each server (port 9999, every chain) serves at once.
    void SetMaxClients(size_t value);
    // What local-only off exposes, for the user: "other machines on the
    // network can use port 9999 and every chain's port" (with the plain
    // server's port).
    static QString ExposedText(uint16_t plainPort = TTempSocksServer::DefaultListenPort);

    // Plain lines of the services; may be called from connection threads.
    void SetOnMessage(TChainManager::TOnMessage handler);

    bool ServiceActive() const { return FChainMgr->Active(); }
    // On: "Starting services...", every chain of the store admitted by the
    // manager in table order (Add), then all admitted chains started
    // (StartAll from TChainSource::Admitted). Off: "Stopping services...",
    // every chain stopped and dropped (StopAll). User-interface thread.
    void SetServiceActive(bool value);

private:
    void Message(const QString &line) const;

    std::unique_ptr<TChainManager> FChainMgr;
    std::unique_ptr<TTempSocksServer> FTempSocks;
    std::unique_ptr<TLaunchHandOff> FLaunchHandOff; // launched programs' connections
};
