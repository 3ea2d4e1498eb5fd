#pragma once
// One batch of proxy checks. Every proxy of the batch gets "Testing" at once;
// its check fetches the test page through it (with type detection when its
// type is "Unknown"); each result is written to the store and reported, and
// after the last one the batch reports its end and deletes itself.
//
// At most FMaxInFlight checks run at a time; the others wait their turn, so a
// batch of thousands never starts thousands of threads.
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

class TdmProxyData;
class TdmProxyTypeChecker;
class TProxyChecker;
class TURLDownloadThd;

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
    static constexpr int MaxChecksInFlight = 64;
    static const QString TestingText; // "Testing"

    // Create with new; the store must outlive the batch.
    explicit TProxyChecker(TdmProxyData &AStore);

    int32_t FCompletedCount = 0;
    QString FCheckURL;                // the test page root with its trailing slash
    TProxyList *FProxyList = nullptr; // the batch
    int32_t FConnectTimeout = 0;      // ms for every download; 0: the platform's own
    int32_t FReadTimeout = 15000;     // ms that each read of a download may wait
    bool FAutoFreeProxyList = false;  // true when the checker owns the list
    int FMaxInFlight = MaxChecksInFlight;

    TOnCheckProxyComplete OnCheckComplete;
    TOnCheckEnd OnCheckEnd;
    TOnCheckGroupDone OnGroupDone;
    TOnProgress OnProgress;
    TOnCheckError OnCheckError;

    // Starts the batch on a list the caller keeps; neither the list nor its
    // records may go before OnCheckEnd. Records of known type are updated in
    // place; records of type "Unknown" are left as they are (their results
    // travel in the detector's copy). An empty list starts nothing, raises
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
    int32_t Total() const { return FProxyList ? static_cast<int32_t>(FProxyList->size()) : 0; }
    int32_t Checked() const { return FCompletedCount; }
    int32_t OkCount() const { return FOkCount; }

private:
    ~TProxyChecker();
    void StartPending();
    void StartOne(TProxData &record);
    void DownloadCompleted(TURLDownloadThd *Sender, TProxData &AProxyData);
    void TypeCheckCompleted(TdmProxyTypeChecker *Sender, TProxData &AProxy);
    void Record(TProxData &data, TProxyStatus status, double speed, bool writeType);
    void ResultCounted();
    void Abandoned();
    void Finish();

    TdmProxyData &FStore;
    std::unique_ptr<TProxyList> FOwnedList;
    size_t FNextToStart = 0;
    int FInFlight = 0;
    bool FStarting = false; // inside Check: the end waits for it to return
    bool FEnded = false;
    bool FStopped = false;
    int32_t FOkCount = 0;
};
