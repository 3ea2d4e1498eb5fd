#include "engine/chain/dmSocksMgr.h"

#include "store/dmProxyData.h"

TdmSocksMgr::TdmSocksMgr(uint16_t plainPort)
    : FChainMgr(std::make_unique<TChainManager>()),
      FTempSocks(std::make_unique<TTempSocksServer>(plainPort)),
      FLaunchHandOff(std::make_unique<TLaunchHandOff>(*FChainMgr)) {
    TTempSocksServer &plain = *FTempSocks;
    plain.OnRejected = [this](TIdSocksServerContext &context) {
        Message(QStringLiteral("Rejected connection from ") +
                QString::fromStdString(context.PeerAddress()));
    };
    plain.OnRefusedDestination = [this](TIdSocksServerContext &context, const std::string &host,
                                        uint16_t port, const std::string &address) {
        const QString name = QString::fromStdString(host);
        QString line = QStringLiteral("Rejected connection from %1 to %2:%3")
                           .arg(QString::fromStdString(context.PeerAddress()),
                                name.contains(u':') && !name.startsWith(u'[')
                                    ? QStringLiteral("[%1]").arg(name)
                                    : name)
                           .arg(port);
        // A name is followed by the address it stood for.
        if (host != address)
            line += QStringLiteral(" (%1)").arg(QString::fromStdString(address));
        Message(line);
    };
    plain.OnTurnedAway = [this](size_t closed, size_t dropped, size_t maxClients) {
        Message(TurnedAwayLine(FTempSocks->Port(), closed, dropped, maxClients));
    };
    FTempSocks->Start();
    FChainMgr->SetReservedPort(FTempSocks->Port()); // plainPort, or the one chosen for 0
    // After the plain server: a second copy, which fails on its port, never
    // takes the socket of the running one.
    FLaunchHandOff->Start();
}

void TdmSocksMgr::Message(const QString &line) const {
    if (FChainMgr->OnMessage)
        FChainMgr->OnMessage(line);
}

TdmSocksMgr::~TdmSocksMgr() {
    FLaunchHandOff.reset(); // no connection is handed to a chain from here on
    FChainMgr.reset();      // every chain stops and joins its connections
    FTempSocks.reset();
}

void TdmSocksMgr::SetOnMessage(TChainManager::TOnMessage handler) {
    FChainMgr->OnMessage = std::move(handler);
}

void TdmSocksMgr::ApplyLocalOnly(bool localOnly) {
    FTempSocks->SetLocalOnly(localOnly);
    try {
        FTempSocks->SetLoopbackOnly(localOnly);
    } catch (const std::exception &e) {
        Message(
            ListenScopeFailedLine(QStringLiteral("Port %1").arg(FTempSocks->Port()), localOnly, e));
    }
    FChainMgr->ApplyLocalOnly(localOnly);
}

QString TdmSocksMgr::ExposedText(uint16_t plainPort) {
    return QStringLiteral("other machines on the network can use port %1 and every chain's port")
        .arg(plainPort);
}

void TdmSocksMgr::SetMaxClients(size_t value) {
    FTempSocks->SetMaxClients(value);
    FChainMgr->SetMaxClients(value);
}

void TdmSocksMgr::SetServiceActive(bool value) {
    TChainManager &mgr = *FChainMgr;
    if (value) {
        if (mgr.OnMessage)
            mgr.OnMessage(QStringLiteral("Starting services..."));
        if (TdmProxyData *store = mgr.Store()) {
            ApplyLocalOnly(store->AllowLocalHostOnly());
            for (int32_t uid : store->ChainUIDs())
                mgr.Add(uid);
        }
        mgr.StartAll(TChainSource::Admitted);
    } else {
        if (mgr.OnMessage)
            mgr.OnMessage(QStringLiteral("Stopping services..."));
        mgr.StopAll();
    }
}
