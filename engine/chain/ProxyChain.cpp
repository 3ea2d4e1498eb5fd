#include "engine/chain/ProxyChain.h"

#include "engine/hop/HopReport.h"
#include "engine/hop/ProxyConnectEvent.h"
#include "store/dmProxyData.h"

TProxyChain::TProxyChain(int32_t AChainUID, TdmProxyData &store, std::mutex &activityLock,
                         std::shared_ptr<TContextIDRegistry> contextIDs)
    : FUID(AChainUID), FActivityLock(activityLock),
      FChainData(std::make_unique<TChainedProxyData>()),
      FLocalSocks(std::make_unique<TLocalSOCKSServer>()) {
    store.GetChainedProxyRecord(AChainUID, *FChainData);
    if (contextIDs)
        FLocalSocks->SetContextIDRegistry(std::move(contextIDs));
}

TProxyChain::~TProxyChain() {
    DetachHandlers();
    FLocalSocks.reset(); // stops the server and joins its connections
}

uint16_t TProxyChain::Port() const {
    const uint16_t listening = FLocalSocks->Port();
    return listening ? listening : static_cast<uint16_t>(FChainData->FPort);
}

void TProxyChain::SetActive(bool Value) {
    FActive = Value;
    if (Value) {
        FLocalSocks->FChainData = FChainData.get();
        FLocalSocks->DefaultPort = FPrivatePort ? 0 : static_cast<uint16_t>(FChainData->FPort);
        FLocalSocks->Threads.LoopbackOnly = FPrivatePort;
        FLocalSocks->SessionsTimeOut = FSessionsTimeOut;
        AttachHandlers();
        FLocalSocks->Start();
        Progress(QStringLiteral("Listening on port %1").arg(FLocalSocks->Port()));
    } else {
        const uint16_t port = Port();
        DetachHandlers();
        FLocalSocks->Stop();
        Progress(QStringLiteral("Stopped listening on port %1").arg(port));
    }
}

void TProxyChain::AttachHandlers() {
    TLocalSOCKSServer &s = *FLocalSocks;
    s.OnBeforeSocksConnect = [this](TIdSocksServerContext &context, std::string &vHost,
                                    uint16_t &vPort, bool &vAllowed) {
        if (FLocalOnly) {
            vAllowed = context.PeerAddress() == "127.0.0.1";
            if (!vAllowed) {
                Progress(QStringLiteral("Rejected connection from ") +
                         QString::fromStdString(context.PeerAddress()));
                return;
            }
        }
        Activity(TActivityType::atConnectRequest, context.FData ? context.FData->FID : 0,
                 QStringLiteral("Request connect to %1:%2")
                     .arg(QString::fromStdString(vHost))
                     .arg(vPort));
    };
    s.OnConnectLocalProxy = [this](int32_t contextId) {
        Activity(TActivityType::atConnectLocalProxy, contextId,
                 QStringLiteral(" ...Connect Chain 127.0.0.1:%1").arg(FLocalSocks->Port()));
    };
    s.OnProxyProgress = [this](void *, const QString &fromHost, int fromPort, const QString &host,
                               int port, int status, int contextId) {
        if (status == HopConnectFailed)
            Activity(TActivityType::atConnectFailed, contextId,
                     QStringLiteral(" ...Connect proxy %1:%2 => %3:%4 [FAILED]")
                         .arg(fromHost)
                         .arg(fromPort)
                         .arg(host)
                         .arg(port));
        else
            Activity(TActivityType::atConnectChainedProxy, contextId,
                     QStringLiteral(" ...Connect proxy %1:%2 => %3:%4")
                         .arg(fromHost)
                         .arg(fromPort)
                         .arg(host)
                         .arg(port));
    };
    s.OnConnDisconnected = [this](int32_t contextId) {
        Activity(TActivityType::atDisconnected, contextId, QStringLiteral("...Disconnected"));
    };
    s.OnVerifyBoundPeer = [this](TIdSocksServerContext &, const std::string &host,
                                 const std::string &, bool &) {
        Progress(QStringLiteral("Received verification message from ") +
                 QString::fromStdString(host));
    };
    s.OnSessionTimeout = [this](TIdSocksServer *, TIdSocksServerContext &context) {
        Progress(QStringLiteral("Session timed out for ") +
                 QString::fromStdString(context.PeerAddress()));
    };
}

void TProxyChain::DetachHandlers() {
    TLocalSOCKSServer &s = *FLocalSocks;
    s.OnBeforeSocksConnect = nullptr;
    s.OnConnectLocalProxy = nullptr;
    s.OnProxyProgress = nullptr;
    s.OnConnDisconnected = nullptr;
    s.OnVerifyBoundPeer = nullptr;
    s.OnSessionTimeout = nullptr;
}

void TProxyChain::Activity(TActivityType type, int32_t contextId, const QString &text) {
    std::lock_guard<std::mutex> guard(FActivityLock);
    if (OnActivity)
        OnActivity(this, FUID, type, text, contextId);
}

void TProxyChain::Progress(const QString &text) {
    if (OnProgressMessage)
        OnProgressMessage(this, text);
}
