#include "check/dmProxyTypeChecker.h"

#include "check/TestPage.h"
#include "check/URLDownloadThd.h"

TdmProxyTypeChecker::TdmProxyTypeChecker() : FURL(TTestPage::RootURLWithoutSlash()) {}

TdmProxyTypeChecker::~TdmProxyTypeChecker() = default;

void TdmProxyTypeChecker::StartCheck(const TProxData &AProxData) {
    TProxData *copy = nullptr;
    FProxyData.reset(CopyProxData(AProxData, copy));
    FProxyData->FProxyType = TProxyType::ptSOCKS5;
    TryType(TProxyType::ptSOCKS5);
}

void TdmProxyTypeChecker::TryType(TProxyType type) {
    TProxData *copy = nullptr;
    FTry.reset(CopyProxData(*FProxyData, copy));
    FTry->FProxyType = type;
    auto *download = new TURLDownloadThd;
    download->FConnectTimeout = FConnectTimeout;
    download->FReadTimeout = FReadTimeout;
    download->FURL = FURL;
    download->FProxyData = FTry.get();
    download->OnDownloadCompleted = [this](TURLDownloadThd *sender, const QString &, TProxData &q) {
        TryCompleted(sender, q);
    };
    download->Start();
}

void TdmProxyTypeChecker::TryCompleted(TURLDownloadThd *Sender, TProxData &Q) {
    // The try's copy lives until this handler is done; the thread no longer
    // reads it.
    const std::unique_ptr<TProxData> done = std::move(FTry);
    if (!Sender->FHeader.isEmpty()) {
        Report(Q.FProxyType, Sender->FLastDownloadDuration);
        return;
    }
    switch (Q.FProxyType) {
    case TProxyType::ptSOCKS5:
        TryType(TProxyType::ptSOCKS4);
        break;
    case TProxyType::ptSOCKS4:
        TryType(TProxyType::ptHTTP);
        break;
    default:
        Report(TProxyType::ptUnknown, Sender->FLastDownloadDuration);
        break;
    }
}

void TdmProxyTypeChecker::Report(TProxyType outcome, uint32_t duration) {
    FProxyData->FProxyType = outcome;
    FCheckedDuration = static_cast<int32_t>(duration);
    // Deleted after reporting, also when the handler fails.
    struct TRelease {
        TdmProxyTypeChecker *Self;
        ~TRelease() { delete Self; }
    } release{this};
    if (OnCheckCompleted)
        OnCheckCompleted(this, *FProxyData);
}
