#include "engine/chain/ProxyProber.h"

#include "engine/server/HopSource.h"
#include "platform/Resolver.h"
#include "platform/Socket.h"

#include <algorithm>

TProbeResult ProbeProxy(const TProxData &proxy, int timeoutMs) {
    try {
        const std::string address = TResolver::ResolveIPv4(proxy.FIPAddress.toStdString());
        TSocket socket =
            TSocket::Connect(address, static_cast<uint16_t>(proxy.FPort), std::max(timeoutMs, 1));
        if (proxy.FProxyType != TProxyType::ptSOCKS5 && proxy.FProxyType != TProxyType::ptSOCKS45)
            return TProbeResult::Answered;
        socket.SetReadTimeout(std::max(timeoutMs, 1));
        const unsigned char greeting[] = {5, 1, 0};
        socket.WriteAll(greeting, sizeof greeting);
        unsigned char answer[2] = {0, 0};
        socket.ReadExact(answer, sizeof answer);
        return answer[0] == 5 ? TProbeResult::Answered : TProbeResult::Failed;
    } catch (const ESocketError &e) {
        return IsNetworkErrno(e.Code) ? TProbeResult::NoNetwork : TProbeResult::Failed;
    } catch (const std::exception &) {
        return TProbeResult::Failed;
    }
}

std::vector<int> TProxyProber::DefaultIntervalsMs() {
    return {10000, 30000, 60000, 120000, 300000};
}

TProxyProber::TProxyProber(std::vector<int> intervalsMs, int timeoutMs, TProxyProbe probe)
    : FIntervalsMs(std::move(intervalsMs)), FTimeoutMs(timeoutMs), FProbe(std::move(probe)) {}

TProxyProber::~TProxyProber() {
    Stop();
}

TProxyProber::TClockType::duration TProxyProber::Interval(size_t step) const {
    const size_t at = std::min(step, FIntervalsMs.size() - 1);
    return std::chrono::milliseconds(std::max(FIntervalsMs[at], 1));
}

void TProxyProber::Add(const TProxData &proxy) {
    if (FIntervalsMs.empty())
        return;
    std::lock_guard<std::mutex> guard(FLock);
    if (FStopping || FEntries.count(proxy.FUID))
        return;
    TEntry entry;
    entry.Proxy = proxy;
    entry.Due = TClockType::now() + Interval(0);
    FEntries.emplace(proxy.FUID, std::move(entry));
    if (!FThread.joinable())
        FThread = std::thread([this] { Run(); });
    FWake.notify_all();
}

void TProxyProber::Remove(int32_t proxyUID) {
    std::lock_guard<std::mutex> guard(FLock);
    FEntries.erase(proxyUID);
}

void TProxyProber::Stop() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
}

void TProxyProber::Run() {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStopping) {
        auto next = FEntries.begin();
        for (auto it = FEntries.begin(); it != FEntries.end(); ++it)
            if (it->second.Due < next->second.Due)
                next = it;
        if (next == FEntries.end()) {
            FWake.wait(lock);
            continue;
        }
        if (TClockType::now() < next->second.Due) {
            FWake.wait_until(lock, next->second.Due);
            continue; // an entry may have come or gone meanwhile
        }
        const int32_t uid = next->first;
        const TProxData proxy = next->second.Proxy;
        lock.unlock();
        ProbeOne(uid, proxy);
        lock.lock();
    }
}

void TProxyProber::ProbeOne(int32_t proxyUID, const TProxData &proxy) {
    const TProbeResult result = FProbe(proxy, FTimeoutMs);
    const bool answered = result == TProbeResult::Answered;
    bool dead = false;
    {
        std::lock_guard<std::mutex> guard(FLock);
        const auto it = FEntries.find(proxyUID);
        if (it == FEntries.end() || FStopping)
            return; // removed while probed
        if (answered) {
            FEntries.erase(it);
        } else if (result == TProbeResult::NoNetwork) {
            it->second.Due = TClockType::now() + Interval(it->second.Step);
        } else {
            TEntry &entry = it->second;
            dead = ++entry.Failures == DeadAfter;
            entry.Step = std::min(entry.Step + 1, FIntervalsMs.size() - 1);
            entry.Due = TClockType::now() + Interval(entry.Step);
        }
    }
    if (answered && OnBack)
        OnBack(proxyUID);
    if (result == TProbeResult::NoNetwork && OnNoNetwork)
        OnNoNetwork();
    if (dead && OnDead)
        OnDead(proxyUID);
}
