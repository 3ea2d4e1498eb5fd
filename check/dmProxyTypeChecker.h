#pragma once
// Finds the protocol of a proxy of unknown type: the test page is fetched
// through it as SOCKS 5, then SOCKS 4, then HTTP, one try after another, and
// the first try through which any HTTP reply came back (as far as its
// headers, whatever its status) names the type. The outcome is 3, 1, 4, or 0
// when every try failed.
//
// Create with new on the user-interface thread, set FConnectTimeout and
// OnCheckCompleted, call StartCheck; it reports once, on the user-interface
// thread, and then deletes itself with its copies.

#include "store/ProxData.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class TdmProxyTypeChecker;
class TURLDownloadThd;

// AProxy is the detector's copy; its FProxyType holds the outcome. It is
// freed when the handler returns.
using TOnCheckTypeCompleted = std::function<void(TdmProxyTypeChecker *Sender, TProxData &AProxy)>;

class TdmProxyTypeChecker {
public:
    TdmProxyTypeChecker();

    TOnCheckTypeCompleted OnCheckCompleted;
    std::unique_ptr<TProxData> FProxyData; // the detector's own copy
    int32_t FConnectTimeout = 0;           // ms, handed to every try
    int32_t FReadTimeout = 15000;          // ms, handed to every try
    int32_t FCheckedDuration = 0;          // ms of the download that decided the outcome
    QString FURL;                          // the test page root, without its trailing slash

    // Copies the record and starts the first try; returns at once.
    void StartCheck(const TProxData &AProxData);

private:
    ~TdmProxyTypeChecker();
    void TryType(TProxyType type);
    void TryCompleted(TURLDownloadThd *Sender, TProxData &Q);
    void Report(TProxyType outcome, uint32_t duration);

    std::unique_ptr<TProxData> FTry; // the copy the running try goes through
};
