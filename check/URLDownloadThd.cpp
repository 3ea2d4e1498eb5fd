#include "check/URLDownloadThd.h"

#include "check/TestPage.h"
#include "engine/hop/HopWalk.h"
#include "engine/hop/dmCompsPlaceHolder.h"
#include "engine/wire/HttpGetRequest.h"
#include "engine/wire/HttpReplyDecoder.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Socket.h"
#include "platform/UiThread.h"
#include "store/ProxData.h"

void TURLDownloadThd::Execute() {
    FDownloadedData.clear();
    FHeader.clear();
    FErrorMessage.clear();
    try {
        Download();
    } catch (const std::exception &e) {
        FErrorMessage = QString::fromUtf8(e.what());
        FLastDownloadDuration = 0;
        FDownloadedData.clear();
    } catch (...) {
        FErrorMessage = QStringLiteral("Download failed.");
        FLastDownloadDuration = 0;
        FDownloadedData.clear();
    }
    try {
        TUiThread::Synchronize([this] { Complete(); });
    } catch (...) {
        // The handler's own failure; the thread ends all the same.
    }
}

void TURLDownloadThd::StartFailed() {
    FDownloadedData.clear();
    FHeader.clear();
    FLastDownloadDuration = 0;
    FErrorMessage = QStringLiteral("Could not start a thread.");
    Complete();
}

void TURLDownloadThd::Complete() {
    if (OnDownloadCompleted && FProxyData)
        OnDownloadCompleted(this, FDownloadedData, *FProxyData);
}

void TURLDownloadThd::Download() {
    if (FProxyData == nullptr)
        throw EVelmoraError("no proxy record");

    // The hop for the proxy, owned by a holder of this download alone.
    TdmCompsPlaceHolder holder;
    TIdCustomTransparentProxy *hop = nullptr;
    switch (FProxyData->FProxyType) {
    case TProxyType::ptSOCKS4:
    case TProxyType::ptSOCKS45:
    case TProxyType::ptSOCKS5: {
        TIdSocksInfo *socks = holder.CreateSocksInfo();
        FillSocksHop(*socks, *FProxyData);
        hop = socks;
        break;
    }
    case TProxyType::ptHTTP: {
        TIdConnectThroughHttpProxy *http = holder.CreateHTTPProxy();
        FillHttpHop(*http, *FProxyData);
        hop = http;
        break;
    }
    default:
        throw EVelmoraError("unknown proxy type");
    }

    const THttpGetRequest request = TTestPage::GetRequest(FURL);
    const int64_t t0 = TClock::TickMs();

    // The TCP connection to the proxy, then its handshake for the page's host;
    // the read time-out already covers the handshake's replies.
    THopWalk walk;
    walk.ReadTimeoutMs = FReadTimeout;
    TSocket socket = walk.Open(hop, request.Host, request.Port, FConnectTimeout);

    socket.WriteAll(request.Encode());
    THttpReplyDecoder reply;
    bool headersSeen = false;
    uint8_t buffer[16 * 1024];
    while (!reply.Done()) {
        const size_t got = socket.ReadSome(buffer, sizeof buffer);
        if (got == 0)
            reply.FeedEnd();
        else
            reply.Feed(buffer, got);
        if (!reply.Error().empty())
            throw EVelmoraError(reply.Error());
        if (!headersSeen && reply.HeadersComplete()) {
            headersSeen = true;
            FHeader = QString::fromLatin1(reply.HeaderText());
            // Redirects are not followed: only a success status carries on.
            if (!reply.IsSuccess())
                throw EVelmoraError(reply.StatusLine());
        }
    }
    FDownloadedData = QString::fromUtf8(reply.Body());
    FLastDownloadDuration = static_cast<uint32_t>(TClock::TickMs() - t0);
}
