#pragma once
// The hops of a running chain (see THopSource). A fixed chain always walks
// its own proxies in their order. A rotating chain ("Auto-Creating Chain")
// keeps the proxies the user put into it as its first hops and draws the
// rest at random from the proxies whose status is "OK", no proxy twice;
// every ChangeEvery seconds a new draw takes effect for new connections. A
// hop that fails during a set-up is set aside for the chain, and the
// connection is tried once more with a replacement in its place; a proxy
// that fails three set-ups in a row is reported, to be marked "TIME OUT".
// A proxy set aside is probed in the background (TProxyProber): one that
// answers returns to the draw, one that fails three probes in a row is
// reported as well. A first hop that cannot be reached because this
// machine's network failed sets nothing aside.

#include "engine/chain/ProxyProber.h"
#include "engine/server/HopSource.h"
#include "store/ProxData.h"

#include <QString>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

// The chain's stored columns for rotation.
struct TRotationSettings {
    bool AutoCreate = false;
    int ChangeEvery = 0; // seconds; 0: a new draw at every start only
    int NoOfProxies = 3; // hops of the chain, hand-added ones included
};

// Failed set-ups in a row of each proxy, shared by every chain of a manager.
class TProxyFailures {
public:
    static constexpr int Limit = 3;
    // True when this failure makes Limit in a row (the count starts again).
    bool Failed(int32_t proxyUID);
    void Succeeded(int32_t proxyUID);
    int Count(int32_t proxyUID) const;

private:
    mutable std::mutex FLock;
    std::unordered_map<int32_t, int> FCounts;
};

class TFixedHops : public THopSource {
public:
    explicit TFixedHops(std::shared_ptr<const TChainedProxyData> hops) : FHops(std::move(hops)) {}
    std::shared_ptr<const TChainedProxyData> Current() override { return FHops; }

private:
    std::shared_ptr<const TChainedProxyData> FHops;
};

class TRotatingHops : public THopSource {
public:
    // `chain`: the chain's record with its hand-added proxies (copied);
    // `pool`: the proxies to draw from. The first draw is made by Begin.
    TRotatingHops(const TChainedProxyData &chain, std::vector<TProxData> pool,
                  TRotationSettings settings, int attemptTimeoutMs,
                  std::shared_ptr<TProxyFailures> failures);
    ~TRotatingHops() override;
    TRotatingHops(const TRotatingHops &) = delete;
    TRotatingHops &operator=(const TRotatingHops &) = delete;

    // The first draw; false, with the reason, when too few proxies are "OK".
    // Not announced through OnChanged: the owner tells it once it runs.
    bool Begin(QString &reason);
    // Starts the schedule of new draws (none when ChangeEvery is 0).
    void StartSchedule();
    // Ends the schedule and the probes; also done by the destructor.
    void StopSchedule();
    // A new draw now (the schedule's step).
    void Redraw();

    std::shared_ptr<const TChainedProxyData> Current() override;
    std::shared_ptr<const TChainedProxyData>
    Failed(const std::shared_ptr<const TChainedProxyData> &hops, int index) override;
    void Succeeded(const TChainedProxyData &hops) override;
    int AttemptTimeoutMs() const override { return FAttemptTimeoutMs; }

    // Hand-added hops at the front, and how many are drawn behind them.
    int FixedCount() const { return static_cast<int>(FFixed.size()); }
    int DrawnCount() const;
    bool SetAside(int32_t proxyUID) const;
    // What the chain's state says in place of "running", or empty: "waiting
    // for the network", "no working proxies (2 set aside)".
    QString Trouble() const;

    // ms between the probes of a proxy set aside, the last one repeating
    // (empty: none); and the probe itself. Set before Begin.
    std::vector<int> ProbeIntervalsMs = TProxyProber::DefaultIntervalsMs();
    TProxyProbe Probe = ProbeProxy;

    // A new draw took effect (its hops as HopsText); on the thread that made
    // it. Set before Begin.
    std::function<void(const QString &hops)> OnChanged;
    // A proxy failed Limit set-ups in a row (`probes` false; on a
    // connection thread), or TProxyProber::DeadAfter probes (`probes` true;
    // on the prober's thread).
    std::function<void(int32_t proxyUID, bool probes)> OnProxyDead;

private:
    // A new record: the fixed hops, then `drawn`.
    std::shared_ptr<const TChainedProxyData>
    Compose(const std::vector<const TProxData *> &drawn) const;
    // `count` proxies of the pool at random, none set aside or in `taken`;
    // fewer when the pool runs short.
    std::vector<const TProxData *> Pick(size_t count, const std::set<int32_t> &taken);
    const TProxData *Find(int32_t proxyUID) const;
    static bool Contains(const TChainedProxyData &hops, int32_t proxyUID);
    void Publish(std::shared_ptr<const TChainedProxyData> hops); // FLock held by the caller
    // A proxy set aside answered (a probe, or a set-up went through it).
    void Returned(int32_t proxyUID);

    std::unique_ptr<TChainedProxyData> FHeader; // name, port, UID of the chain; no items
    std::vector<TProxData> FFixed;
    std::vector<TProxData> FPool;
    TRotationSettings FSettings;
    int FAttemptTimeoutMs;
    std::shared_ptr<TProxyFailures> FFailures;

    mutable std::mutex FLock;
    std::shared_ptr<const TChainedProxyData> FCurrent;
    std::set<int32_t> FSetAside;
    std::mt19937 FRandom;

    std::mutex FScheduleLock;
    std::condition_variable FWake;
    bool FStopping = false;
    std::thread FSchedule;
    std::unique_ptr<TProxyProber> FProber; // made by Begin
};

// "10.0.0.1:1080 => 10.0.0.2:3128"
QString HopsText(const TChainedProxyData &hops);
