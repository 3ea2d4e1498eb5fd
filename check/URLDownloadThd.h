#pragma once
// One timed download of a page through one proxy, on a worker thread of its
// own: a fresh hop holder makes the plain connector for the proxy, the page
// is fetched with an HTTP/1.1 GET over the tunnel, and the single result is
// handed to the user-interface thread by a synchronous call.
//
// Create with new, fill FURL, FProxyData, FConnectTimeout and
// OnDownloadCompleted, then Start(); the thread deletes itself after the
// completion call. It only reads FProxyData (before the completion call) and
// never frees it.

#include "platform/WorkerThread.h"

#include <QString>
#include <cstdint>
#include <functional>

class TProxData;
class TURLDownloadThd;

// Sender, the body (empty unless the download succeeded), the proxy record.
using TOnURLDownloadCompleted = std::function<void(
    TURLDownloadThd *Sender, const QString &AResponseData, TProxData &AProxyData)>;

class TURLDownloadThd : public TWorkerThread {
public:
    static constexpr int32_t DefaultReadTimeout = 15000;

    TURLDownloadThd() = default;

    TProxData *FProxyData = nullptr; // the proxy to go through; not owned
    QString FDownloadedData;         // the body as text; empty unless it succeeded
    // The reply's status line and header lines, each ended by CR LF; empty
    // when no complete header block came back.
    QString FHeader;
    uint32_t FLastDownloadDuration = 0; // ms, from connecting to the end of the body; 0 on failure
    QString FURL;
    int32_t FConnectTimeout = 0; // ms; 0: the platform's own
    // ms that each read (hop handshakes included) may wait for data.
    int32_t FReadTimeout = DefaultReadTimeout;
    // Called once, on the user-interface thread.
    TOnURLDownloadCompleted OnDownloadCompleted;

    // The message of the failure that emptied the result (for logs and tests).
    QString FErrorMessage;

protected:
    ~TURLDownloadThd() override = default;
    void Execute() override;
    void StartFailed() override;

private:
    void Download();
    void Complete();
};
