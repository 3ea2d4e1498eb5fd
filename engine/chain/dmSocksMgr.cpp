#include "engine/chain/dmSocksMgr.h"

#include "store/dmProxyData.h"

TdmSocksMgr::TdmSocksMgr(uint16_t plainPort)
    : FChainMgr(std::make_unique<TChainManager>()),
      FTempSocks(std::make_unique<TTempSocksServer>(plainPort)),
      FLaunchHandOff(std::make_unique<TLaunchHandOff>(*FChainMgr)) {
    FTempSocks->Start();
    FChainMgr->SetReservedPort(FTempSocks->Port()); // plainPort, or the one chosen for 0
    // After the plain server: a second copy, which fails on its port, never
    // takes the socket of the running one.
    FLaunchHandOff->Start();
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
    FChainMgr->ApplyLocalOnly(localOnly);
}

void TdmSocksMgr::SetServiceActive(bool value) {
    TChainManager &mgr = *FChainMgr;
    if (value) {
        if (mgr.OnMessage)
            mgr.OnMessage(QStringLiteral("Starting services..."));
        if (TdmProxyData *store = mgr.Store()) {
            FTempSocks->SetLocalOnly(store->AllowLocalHostOnly());
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
