#include "check/ProxyChecker.h"

#include "check/TestPage.h"
#include "check/URLDownloadThd.h"
#include "check/dmProxyTypeChecker.h"
#include "platform/Clock.h"
#include "store/dmProxyData.h"

#include <algorithm>

const QString TProxyChecker::TestingText = QStringLiteral("Testing");

TProxyChecker::TProxyChecker(TdmProxyData &AStore)
    : FCheckURL(TTestPage::RootURL()), FStore(AStore) {}

TProxyChecker::~TProxyChecker() = default;

void TProxyChecker::Check(std::unique_ptr<TProxyList> AProxyList) {
    FOwnedList = AProxyList ? std::move(AProxyList) : std::make_unique<TProxyList>();
    FAutoFreeProxyList = true;
    Check(*FOwnedList);
}

void TProxyChecker::Check(TProxyList &AProxyList) {
    FProxyList = &AProxyList;
    if (AProxyList.empty()) {
        delete this;
        return;
    }
    FStore.BeginBatch(); // results save about once a second, and at the end
    {
        // Results can only be handled once Check has returned, but should one
        // come back at once (no event loop to wait for), the end still waits.
        struct TStarting {
            bool &Flag;
            explicit TStarting(bool &flag) : Flag(flag) { Flag = true; }
            ~TStarting() { Flag = false; }
        } starting(FStarting);
        StartPending();
        for (const std::unique_ptr<TProxData> &record : AProxyList) {
            if (OnProgress)
                OnProgress(*record, TestingText, 0);
        }
    }
    if (FCompletedCount == static_cast<int32_t>(FProxyList->size()))
        Finish();
}

void TProxyChecker::Stop() {
    if (FStopped || FEnded)
        return;
    FStopped = true;
    FNextToStart = FProxyList->size();
}

void TProxyChecker::StartPending() {
    if (FStopped)
        return;
    const int limit = std::max(FMaxInFlight, 1);
    while (FInFlight < limit && FNextToStart < FProxyList->size()) {
        TProxData &record = *(*FProxyList)[FNextToStart++];
        ++FInFlight;
        StartOne(record);
    }
}

void TProxyChecker::StartOne(TProxData &record) {
    if (record.FProxyType != TProxyType::ptUnknown) {
        auto *download = new TURLDownloadThd;
        download->FConnectTimeout = FConnectTimeout;
        download->FReadTimeout = FReadTimeout;
        download->FURL = FCheckURL;
        download->FProxyData = &record; // the batch's own record, updated in place
        download->OnDownloadCompleted = [this](TURLDownloadThd *sender, const QString &,
                                               TProxData &data) {
            DownloadCompleted(sender, data);
        };
        download->Start();
    } else {
        auto *detector = new TdmProxyTypeChecker;
        detector->FConnectTimeout = FConnectTimeout;
        detector->FReadTimeout = FReadTimeout;
        detector->OnCheckCompleted = [this](TdmProxyTypeChecker *sender, TProxData &proxy) {
            TypeCheckCompleted(sender, proxy);
        };
        detector->StartCheck(record);
    }
}

void TProxyChecker::DownloadCompleted(TURLDownloadThd *Sender, TProxData &AProxyData) {
    if (FStopped)
        return Abandoned();
    AProxyData.FLastChecked = TClock::Now();
    if (!Sender->FDownloadedData.isEmpty())
        Record(AProxyData, TProxyStatus::psAvailable, Sender->FLastDownloadDuration, false);
    else
        Record(AProxyData, TProxyStatus::psUnavailable, 0, false);
    ResultCounted();
}

void TProxyChecker::TypeCheckCompleted(TdmProxyTypeChecker *Sender, TProxData &AProxy) {
    if (FStopped)
        return Abandoned();
    AProxy.FLastChecked = TClock::Now();
    if (AProxy.FProxyType != TProxyType::ptUnknown)
        Record(AProxy, TProxyStatus::psAvailable, Sender->FCheckedDuration, true);
    else
        Record(AProxy, TProxyStatus::psUnavailable, 0, true); // writes type 0
    ResultCounted();
}

void TProxyChecker::Record(TProxData &data, TProxyStatus status, double speed, bool writeType) {
    if (status == TProxyStatus::psAvailable)
        ++FOkCount;
    data.FStatus = status;
    data.FSpeed = speed;
    QString error;
    try {
        FStore.UpdateProxyStatus(data, status);
        if (writeType)
            FStore.UpdateProxyType(data);
    } catch (const std::exception &e) {
        error = QString::fromUtf8(e.what());
    }
    try {
        if (OnCheckComplete)
            OnCheckComplete(this, data, status);
    } catch (const std::exception &e) {
        if (error.isEmpty())
            error = QString::fromUtf8(e.what());
    } catch (...) {
    }
    if (!error.isEmpty() && OnCheckError) {
        try {
            OnCheckError(this, error);
        } catch (...) {
        }
    }
}

void TProxyChecker::ResultCounted() {
    --FInFlight;
    ++FCompletedCount;
    if (OnGroupDone) {
        try {
            OnGroupDone(this);
        } catch (...) {
        }
    }
    StartPending();
    if (!FStarting && FCompletedCount == static_cast<int32_t>(FProxyList->size()))
        Finish();
}

void TProxyChecker::Abandoned() {
    if (--FInFlight == 0 && !FStarting)
        Finish();
}

void TProxyChecker::Finish() {
    if (FEnded)
        return;
    FEnded = true;
    // The checker (and a list it owns) goes after the end is reported, also
    // when the handler fails.
    struct TRelease {
        TProxyChecker *Self;
        ~TRelease() { delete Self; }
    } release{this};
    // The batch's last results are in the file before its end is reported.
    try {
        FStore.EndBatch();
    } catch (const std::exception &e) {
        if (OnCheckError) {
            try {
                OnCheckError(this, QString::fromUtf8(e.what()));
            } catch (...) {
            }
        }
    }
    if (OnCheckEnd)
        OnCheckEnd(this);
}
