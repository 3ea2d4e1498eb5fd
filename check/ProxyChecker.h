#pragma once
// One batch of proxy checks. Every proxy of the batch gets "Testing" at once;
// its check fetches the test page through it (with type detection when its
// type is "Unknown"); each result is written to the store and reported, and
// after the last one the batch reports its end and deletes itself.
//
// The checks run in a TCheckPool (check/CheckPool.h): one worker thread with
// non-blocking sockets, however many proxies the batch holds. At most
// FMaxInFlight checks are in flight, and never more than the descriptor limit
// leaves room for (InFlightBound); the others wait their turn. Results come
// back to the user-interface thread in groups: each is recorded (store,
// OnCheckComplete) and OnGroupDone follows once per group.
//
// Use on the user-interface thread only:
//   auto *checker = new TProxyChecker(store);
//   checker->FConnectTimeout = store.Timeout() * 1000;
//   checker->OnProgress = ...; checker->OnCheckComplete = ...; checker->OnCheckEnd = ...;
//   checker->Check(std::move(list)); // returns at once; the checker now owns itself
// Every event is raised on the user-interface thread; none before Check
// returns.

#include "store/ProxData.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TCheckPool;
class TdmProxyData;
class TProxyChecker;
struct TCheckResult;

using TProxyList = std::vector<std::unique_ptr<TProxData>>;

// The record with its new status, speed, last check (and type, when it was
// detected); AStatus is psAvailable ("OK") or psUnavailable ("TIME OUT").
using TOnCheckProxyComplete =
    std::function<void(TProxyChecker *ASender, TProxData &AProxyData, TProxyStatus AStatus)>;
using TOnCheckEnd = std::function<void(TProxyChecker *Sender)>;
// Raised after each group of results handed over at once (every
// OnCheckComplete of the group has been raised): the moment to repaint.
using TOnCheckGroupDone = std::function<void(TProxyChecker *Sender)>;
// Fired for every proxy when the batch starts: ("Testing", 0).
using TOnProgress =
    std::function<void(TProxData &AProx, const QString &AStatus, int32_t AStatusCode)>;
// A result could not be written to the store (or a handler failed); the batch
// goes on and still ends.
using TOnCheckError = std::function<void(TProxyChecker *Sender, const QString &AMessage)>;

class TProxyChecker {
public:
    // The most checks in flight at once. What bounds it in practice is the
    // descriptor limit (one socket per check, InFlightBound): with the usual
    // hard limit of 20,000 to a million, a batch of dead proxies waits its
    // Time-Out in a few waves of tens of thousands instead of many of ten
    // thousand. Each check in flight costs a socket and at most a few tens
    // of KiB of the page (check/CheckPageStep.h).
    static constexpr int MaxChecksInFlight = 50000;
    // The time-out of each try (connect, handshake and page) when
    // FConnectTimeout is 0.
    static constexpr int32_t DefaultTimeoutMs = 10000;
    // Descriptors left to chains, the window and everything else.
    static constexpr size_t ReservedDescriptors = 1024;
    static const QString TestingText; // "Testing"

    // The most checks in flight that a descriptor limit leaves room for: all
    // but ReservedDescriptors, or half of a limit too small for that.
    static size_t InFlightBound(size_t descriptorLimit);

    // Create with new; the store must outlive the batch.
    explicit TProxyChecker(TdmProxyData &AStore);

    int32_t FCompletedCount = 0;
    QString FCheckURL;                // the test page root with its trailing slash
    TProxyList *FProxyList = nullptr; // the batch
    // ms that each try may take as a whole (connect, handshake and page); 0:
    // DefaultTimeoutMs.
    int32_t FConnectTimeout = 0;
    int32_t FReadTimeout = 15000;    // ms that each read may wait, within the try's time-out
    bool FAutoFreeProxyList = false; // true when the checker owns the list
    int FMaxInFlight = MaxChecksInFlight;

    TOnCheckProxyComplete OnCheckComplete;
    TOnCheckEnd OnCheckEnd;
    TOnCheckGroupDone OnGroupDone;
    TOnProgress OnProgress;
    TOnCheckError OnCheckError;

    // Starts the batch on a list the caller keeps; neither the list nor its
    // records may go before OnCheckEnd. Records of known type are updated in
    // place; records of type "Unknown" are left as they are (their results
    // travel in a copy with the type found). An empty list starts nothing, raises
    // nothing, and the checker deletes itself at once.
    void Check(TProxyList &AProxyList);
    // The same on a list that the checker takes over and frees at the end.
    void Check(std::unique_ptr<TProxyList> AProxyList);

    // Ends the batch early: no further check starts and results still to
    // come are dropped, so the proxies not reached keep their status in the
    // store. OnCheckEnd follows once (never from inside Stop).
    void Stop();
    bool Stopped() const { return FStopped; }
    // The batch's size, the results recorded so far, and how many were "OK".
    // (The descriptor bound and the pool's peak are for tests and benchmarks.)
    int32_t Total() const { return FProxyList ? static_cast<int32_t>(FProxyList->size()) : 0; }
    int32_t Checked() const { return FCompletedCount; }
    int32_t OkCount() const { return FOkCount; }

    size_t PeakInFlight() const;

private:
    // What the pool's queued groups reach the checker through: null once it
    // is gone, so a group that arrives later is dropped.
    struct TLink {
        TProxyChecker *Checker = nullptr;
    };

    ~TProxyChecker();
    void GroupArrived(std::vector<TCheckResult> &group, bool last);
    void Recorded(TProxData &record, const TCheckResult &result);
    void Record(TProxData &data, TProxyStatus status, double speed, bool writeType);
    void Finish();

    TdmProxyData &FStore;
    std::unique_ptr<TProxyList> FOwnedList;
    std::unique_ptr<TCheckPool> FPool;
    std::shared_ptr<TLink> FLink;
    size_t FPeakInFlight = 0;
    bool FEnded = false;
    bool FStopped = false;
    int32_t FOkCount = 0;
};
