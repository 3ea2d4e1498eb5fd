#include "check/ProxyChecker.h"

#include "check/CheckPool.h"
#include "check/TestPage.h"
#include "platform/Clock.h"
#include "platform/FdLimit.h"
#include "platform/UiThread.h"
#include "store/dmProxyData.h"

#include <algorithm>

const QString TProxyChecker::TestingText = QStringLiteral("Testing");

size_t TProxyChecker::InFlightBound(size_t descriptorLimit) {
    if (descriptorLimit >= 2 * ReservedDescriptors)
        return descriptorLimit - ReservedDescriptors;
    return std::max<size_t>(descriptorLimit / 2, 1);
}

TProxyChecker::TProxyChecker(TdmProxyData &AStore)
    : FCheckURL(TTestPage::RootURL()), FStore(AStore), FLink(std::make_shared<TLink>()) {
    FLink->Checker = this;
}

TProxyChecker::~TProxyChecker() {
    FLink->Checker = nullptr;
    FPool.reset(); // ends its thread; groups it queued find no checker
}

size_t TProxyChecker::PeakInFlight() const {
    return std::max(FPeakInFlight, FPool ? FPool->PeakInFlight() : size_t(0));
}

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
    for (const std::unique_ptr<TProxData> &record : AProxyList) {
        if (OnProgress)
            OnProgress(*record, TestingText, 0);
    }

    TCheckPool::TOptions options;
    try {
        options.Request = TTestPage::GetRequest(FCheckURL);
    } catch (const std::exception &) {
        options.Request.Host.clear(); // no page to fetch: every proxy is "TIME OUT"
    }
    options.TimeoutMs = FConnectTimeout > 0 ? FConnectTimeout : DefaultTimeoutMs;
    options.ReadTimeoutMs = FReadTimeout > 0 ? FReadTimeout : 15000;
    options.MaxInFlight =
        std::min(size_t(std::max(FMaxInFlight, 1)), InFlightBound(DescriptorLimit()));

    // The pool hands each group to this thread; the checker may be gone by
    // the time it arrives (stopped and ended).
    std::weak_ptr<TLink> link = FLink;
    FPool = std::make_unique<TCheckPool>(
        std::move(options), [link](std::vector<TCheckResult> group, bool last) {
            TUiThread::Queue([link, group = std::move(group), last]() mutable {
                const std::shared_ptr<TLink> alive = link.lock();
                if (alive && alive->Checker)
                    alive->Checker->GroupArrived(group, last);
            });
        });
    // The jobs are made from the records on the pool's thread: the records
    // stay as they are until their results come back to this thread.
    const TProxyList *records = &AProxyList;
    FPool->Start([records] {
        std::vector<TCheckJob> jobs;
        jobs.reserve(records->size());
        for (size_t i = 0; i < records->size(); ++i) {
            const TProxData &record = *(*records)[i];
            TCheckJob job;
            job.Index = static_cast<int32_t>(i);
            job.Host = record.FIPAddress.toStdString();
            job.Port = static_cast<uint16_t>(record.FPort & 0xFFFF);
            job.Type = record.FProxyType;
            jobs.push_back(std::move(job));
        }
        return jobs;
    });
}

void TProxyChecker::Stop() {
    if (FStopped || FEnded || FProxyList == nullptr)
        return;
    FStopped = true;
    if (FPool) {
        FPeakInFlight = FPool->PeakInFlight();
        FPool->Stop(); // sockets closed; no further group is queued
    }
    std::weak_ptr<TLink> link = FLink;
    TUiThread::Queue([link] {
        const std::shared_ptr<TLink> alive = link.lock();
        if (alive && alive->Checker)
            alive->Checker->Finish();
    });
}

void TProxyChecker::GroupArrived(std::vector<TCheckResult> &group, bool last) {
    if (FStopped || FEnded)
        return;
    for (const TCheckResult &result : group) {
        if (result.Index < 0 || size_t(result.Index) >= FProxyList->size())
            continue;
        Recorded(*(*FProxyList)[size_t(result.Index)], result);
        if (FStopped)
            return; // stopped by a handler: the rest of the group is dropped
    }
    if (!group.empty() && OnGroupDone) {
        try {
            OnGroupDone(this);
        } catch (...) {
        }
    }
    if (FStopped)
        return;
    if (last || FCompletedCount == static_cast<int32_t>(FProxyList->size()))
        Finish();
}

void TProxyChecker::Recorded(TProxData &record, const TCheckResult &result) {
    ++FCompletedCount;
    const TProxyStatus status = result.Ok ? TProxyStatus::psAvailable : TProxyStatus::psUnavailable;
    const double speed = result.Ok ? double(result.DurationMs) : 0;
    if (record.FProxyType != TProxyType::ptUnknown) {
        record.FLastChecked = TClock::Now();
        Record(record, status, speed, false);
        return;
    }
    // The batch's record keeps its "Unknown"; the result goes in a copy with
    // the type found (0 when none).
    TProxData *copy = nullptr;
    const std::unique_ptr<TProxData> detected(CopyProxData(record, copy));
    detected->FProxyType = result.Type;
    detected->FLastChecked = TClock::Now();
    Record(*detected, status, speed, true);
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
