#include "engine/hop/dmCompsPlaceHolder.h"

#include "engine/hop/MyHttpProxy.h"
#include "engine/hop/MySocksProxyInfo.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"

TdmCompsPlaceHolder::TdmCompsPlaceHolder() {
    SocksInfoComp.Version = TSocksVersion::svSocks5;
    ConnThroughHTTPProx.Port = 0;
    FTransparentProxy = &SocksInfoComp;
    FHttpProxy = nullptr;
    FSocksInfo = nullptr;
}

TdmCompsPlaceHolder::~TdmCompsPlaceHolder() = default;

void TdmCompsPlaceHolder::CrateProxyChainComps(const TChainedProxyData &chainData,
                                               int32_t contextId) {
    FContextID = contextId;
    FProxyConnection = nullptr;
    const auto forward = [this](void *, const QString &fromHost, int fromPort, const QString &host,
                                int port, int status, int id) {
        ProxyConnected(fromHost, fromPort, host, port, status, id);
    };

    // A new reporting hop, filled from `item` by `fill`.
    const auto add = [&](auto *hop, const TProxData &item, const auto &fill) {
        FConnectors.emplace_back(hop);
        hop->OnConnect = forward;
        hop->FContextID = contextId;
        fill(*hop, item);
        return hop;
    };

    TIdCustomTransparentProxy *later = nullptr; // connector of the item after this one
    const auto &items = chainData.FChainedItems;
    for (size_t i = items.size(); i-- > 0;) {
        const TProxData &item = *items[i];
        TIdCustomTransparentProxy *hop;
        if (item.FProxyType == TProxyType::ptHTTP)
            hop = add(new TMyHttpProxy, item, FillHttpHop);
        else
            hop = add(new TMySocksProxyInfo, item, FillSocksHop);
        if (later)
            hop->SetChainedProxy(later);
        FProxyConnection = hop;
        later = hop;
    }
    FTransparentProxy = FProxyConnection;
}

TIdSocksInfo *TdmCompsPlaceHolder::CreateSocksInfo() {
    auto *hop = new TIdSocksInfo;
    FConnectors.emplace_back(hop);
    FSocksInfo = hop;
    return hop;
}

TIdConnectThroughHttpProxy *TdmCompsPlaceHolder::CreateHTTPProxy() {
    auto *hop = new TIdConnectThroughHttpProxy;
    FConnectors.emplace_back(hop);
    FHttpProxy = hop;
    return hop;
}

void TdmCompsPlaceHolder::ProxyConnected(const QString &fromHost, int fromPort, const QString &host,
                                         int port, int status, int contextId) {
    if (OnProxyActivity)
        OnProxyActivity(this, fromHost, fromPort, host, port, status, contextId);
}

TSocket TdmCompsPlaceHolder::Connect(const std::string &host, uint16_t port, int connectTimeoutMs,
                                     int attemptTimeoutMs) {
    FWalk.AttemptTimeoutMs = attemptTimeoutMs;
    return FWalk.Open(FTransparentProxy, host, port, connectTimeoutMs);
}

void TdmCompsPlaceHolder::Abort() {
    FWalk.Abort();
}
