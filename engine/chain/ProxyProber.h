#pragma once
// Background probes of the proxies a rotating chain has set aside. Each
// proxy is probed at growing intervals (10 s, 30 s, 1 min, 2 min, then
// every 5 min by default) with a connection and its type's handshake; a
// proxy that answers is handed back (OnBack), one that fails DeadAfter
// probes in a row is reported (OnDead) and probed on at the longest
// interval. A probe that found this machine's network down counts against
// no proxy: it is told (OnNoNetwork) and the interval stays as it was.

#include "store/ProxData.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

enum class TProbeResult : uint8_t {
    Answered,
    Failed,
    NoNetwork, // this machine's network failed (no route, unreachable, down)
};

// One probe of `proxy` within `timeoutMs`.
using TProxyProbe = std::function<TProbeResult(const TProxData &proxy, int timeoutMs)>;

// The default probe: a TCP connection to the proxy; a SOCKS 5 proxy must
// also answer its greeting (no authentication offered) with version 5. A
// SOCKS 4 or HTTP proxy has no handshake without a destination: accepting
// the connection is its answer.
TProbeResult ProbeProxy(const TProxData &proxy, int timeoutMs);

class TProxyProber {
public:
    static constexpr int DeadAfter = 3;
    // The default intervals, in ms: the last one repeats.
    static std::vector<int> DefaultIntervalsMs();

    // `intervalsMs` empty: no probes at all (a proxy set aside stays so).
    TProxyProber(std::vector<int> intervalsMs, int timeoutMs, TProxyProbe probe = ProbeProxy);
    ~TProxyProber();
    TProxyProber(const TProxyProber &) = delete;
    TProxyProber &operator=(const TProxyProber &) = delete;

    // Probes `proxy` from now on (its first probe one interval from now);
    // nothing when it is probed already.
    void Add(const TProxData &proxy);
    // Probes it no more (it came back some other way).
    void Remove(int32_t proxyUID);
    // Ends the probes; also done by the destructor. Set the handlers before
    // the first Add.
    void Stop();

    // On the prober's thread, none of its locks held.
    std::function<void(int32_t proxyUID)> OnBack;
    std::function<void(int32_t proxyUID)> OnDead;
    std::function<void()> OnNoNetwork;

private:
    using TClockType = std::chrono::steady_clock;
    struct TEntry {
        TProxData Proxy;
        size_t Step = 0;  // index of the interval before the next probe
        int Failures = 0; // failed probes in a row
        TClockType::time_point Due;
    };
    void Run();
    // One due probe and what follows from it.
    void ProbeOne(int32_t proxyUID, const TProxData &proxy);
    TClockType::duration Interval(size_t step) const;

    const std::vector<int> FIntervalsMs;
    const int FTimeoutMs;
    const TProxyProbe FProbe;
    std::mutex FLock;
    std::condition_variable FWake;
    std::map<int32_t, TEntry> FEntries;
    bool FStopping = false;
    std::thread FThread;
};
