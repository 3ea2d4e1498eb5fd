#include "engine/server/LocalSOCKSServer.h"

#include "engine/hop/dmCompsPlaceHolder.h"
#include "platform/Clock.h"
#include "platform/Error.h"

namespace {

// Gives the connection's context ID back and clears the context's data slot.
struct TReleaseID {
    TContextIDRegistry &Registry;
    TIdSocksServerContext &Context;
    int32_t ID;
    ~TReleaseID() {
        Context.FData = nullptr;
        Registry.Release(ID);
    }
};

// However a served connection ends: closes its sockets, reports its end,
// then drops the holder with its connectors.
struct TConnectionEnd {
    TLocalSOCKSServer &Server;
    TIdSocksServerContext &Context;
    std::unique_ptr<TdmCompsPlaceHolder> &Holder;
    int32_t ID;
    ~TConnectionEnd() {
        Context.SetAbort(nullptr);
        Holder->OnProxyActivity = nullptr;
        Context.CloseAll();
        try {
            Server.OnConnDisconnected(ID, Context.FBytesMoved);
        } catch (...) {
        }
        Holder.reset();
    }
};

} // namespace

TLocalSOCKSServer::TLocalSOCKSServer() : FContextIDs(std::make_shared<TContextIDRegistry>()) {
    DefaultPort = 1080;
    Threads.ListenBacklog = 15;
    // A chain's clients sit on this machine (or the local network): a small
    // receive buffer covers their round trip. Left to the kernel it grows to
    // megabytes while the chain behind is slower, and that backlog only
    // ages the data out of the cache before the hops behind us touch it.
    // Measured: chain port -> port 9999 -> sink about 6 % faster, the three
    // outside proxies a little faster; port 9999 itself does better without.
    ClientReceiveBuffer = 256 * 1024;
}

TLocalSOCKSServer::~TLocalSOCKSServer() {
    Stop();
}

void TLocalSOCKSServer::SetContextIDRegistry(std::shared_ptr<TContextIDRegistry> registry) {
    FContextIDs = registry ? std::move(registry) : std::make_shared<TContextIDRegistry>();
}

namespace {

QString HopText(const TChainedProxyData &hops, int index) {
    const TProxData &item = *hops.FChainedItems[static_cast<size_t>(index)];
    return QStringLiteral("%1:%2").arg(item.FIPAddress).arg(item.FPort);
}

} // namespace

void TLocalSOCKSServer::CommandConnect(TIdSocksServerContext &context, const std::string &host,
                                       uint16_t port) {
    // The ID is held until the connection's last report has been raised, so
    // that no other connection draws it while this one still reports.
    TContextID id;
    id.FID = FContextIDs->Draw();
    TReleaseID releaseID{*FContextIDs, context, id.FID};
    context.FData = &id;

    std::string vHost = host;
    uint16_t vPort = port;
    AdmitConnect(context, vHost, vPort);

    // The hops this connection keeps however the chain changes meanwhile.
    std::shared_ptr<const TChainedProxyData> hops = FHopSource ? FHopSource->Current() : nullptr;
    const TChainedProxyData *chain = FHopSource ? hops.get() : FChainData;
    const int attemptTimeoutMs = FHopSource ? FHopSource->AttemptTimeoutMs() : 0;

    // From here on, however the connection ends: close its sockets, report
    // its end, then drop the holder with its connectors.
    auto holder = std::make_unique<TdmCompsPlaceHolder>();
    TConnectionEnd end{*this, context, holder, id.FID};

    // When each hop's handshake ended, for OnSetupDone.
    std::vector<double> hopMs;
    int64_t startNs = 0;
    const auto build = [&](const TChainedProxyData *walk) {
        holder->OnProxyActivity = [this, &hopMs, &startNs](void *, const QString &fromHost,
                                                           int fromPort, const QString &toHost,
                                                           int toPort, int status, int contextId) {
            hopMs.push_back(static_cast<double>(TClock::TickNs() - startNs) / 1e6);
            OnProxyProgress(static_cast<void *>(this), fromHost, fromPort, toHost, toPort, status,
                            contextId);
        };
        if (walk)
            holder->CrateProxyChainComps(*walk, id.FID); // unsupported type: no reply
    };
    build(chain);

    const auto open = [&] {
        TdmCompsPlaceHolder *walker = holder.get();
        context.SetAbort([walker] { walker->Abort(); });
        hopMs.clear();
        startNs = TClock::TickNs();
        const int connectMs = attemptTimeoutMs > 0 ? attemptTimeoutMs : ChainConnectTimeoutMs;
        TSocket outgoing = walker->Connect(host, port, connectMs, attemptTimeoutMs);
        context.SetAbort(nullptr);
        context.SetOutgoing(std::move(outgoing));
    };

    ConnectAndRelay(
        context, [&] { OnConnectLocalProxy(id.FID); },
        [&] {
            try {
                open();
            } catch (const std::exception &e) {
                context.SetAbort(nullptr);
                const int failed = holder->FailedHop();
                if (!FHopSource || !hops || failed < 0 || failed >= hops->ItemsCount() ||
                    holder->Aborted())
                    throw;
                auto retry = FHopSource->Failed(hops, failed);
                const QString replacement =
                    retry && failed < retry->ItemsCount() ? HopText(*retry, failed) : QString();
                OnHopFailed(id.FID, failed + 1, HopText(*hops, failed), QString::fromUtf8(e.what()),
                            replacement);
                if (!retry)
                    throw;
                // Once more on the fresh hops, with a holder of their own.
                hops = std::move(retry);
                holder->OnProxyActivity = nullptr;
                holder = std::make_unique<TdmCompsPlaceHolder>();
                build(hops.get());
                try {
                    open();
                } catch (const std::exception &again) {
                    context.SetAbort(nullptr);
                    const int next = holder->FailedHop();
                    if (next >= 0 && next < hops->ItemsCount() && !holder->Aborted()) {
                        FHopSource->Failed(hops, next); // counted, no second retry
                        OnHopFailed(id.FID, next + 1, HopText(*hops, next),
                                    QString::fromUtf8(again.what()), QString());
                    }
                    throw;
                }
            }
            if (FHopSource && hops)
                FHopSource->Succeeded(*hops);
            const TChainedProxyData *walked = FHopSource ? hops.get() : chain;
            if (walked && !hopMs.empty())
                OnSetupDone(id.FID, context.PeerPort(), *walked, hopMs);
        });
}
