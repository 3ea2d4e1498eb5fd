#include "engine/chain/ChainHops.h"

#include <QStringList>
#include <algorithm>
#include <chrono>
#include <optional>

QString HopsText(const TChainedProxyData &hops) {
    QStringList parts;
    for (const auto &item : hops.FChainedItems)
        parts << QStringLiteral("%1:%2").arg(item->FIPAddress).arg(item->FPort);
    return parts.join(QStringLiteral(" => "));
}

namespace {

// The chain's own columns of a record, without its items.
void CopyHeader(const TChainedProxyData &from, TChainedProxyData &to) {
    to.FUID = from.FUID;
    to.FPort = from.FPort;
    to.FDesc = from.FDesc;
    to.FHidden = from.FHidden;
    to.FStatus = from.FStatus;
    to.FLastChecked = from.FLastChecked;
}

} // namespace

// ---- TProxyFailures -----------------------------------------------------------

bool TProxyFailures::Failed(int32_t proxyUID) {
    std::lock_guard<std::mutex> guard(FLock);
    int &count = FCounts[proxyUID];
    if (++count < Limit)
        return false;
    count = 0;
    return true;
}

void TProxyFailures::Succeeded(int32_t proxyUID) {
    std::lock_guard<std::mutex> guard(FLock);
    FCounts.erase(proxyUID);
}

int TProxyFailures::Count(int32_t proxyUID) const {
    std::lock_guard<std::mutex> guard(FLock);
    const auto it = FCounts.find(proxyUID);
    return it == FCounts.end() ? 0 : it->second;
}

// ---- TRotatingHops ------------------------------------------------------------

TRotatingHops::TRotatingHops(const TChainedProxyData &chain, std::vector<TProxData> pool,
                             TRotationSettings settings, int attemptTimeoutMs,
                             std::shared_ptr<TProxyFailures> failures)
    : FHeader(std::make_unique<TChainedProxyData>()), FPool(std::move(pool)), FSettings(settings),
      FAttemptTimeoutMs(attemptTimeoutMs), FFailures(std::move(failures)),
      FRandom(std::random_device{}()) {
    CopyHeader(chain, *FHeader);
    for (const auto &item : chain.FChainedItems)
        FFixed.push_back(*item);
    // A hand-added proxy is never drawn a second time.
    FPool.erase(std::remove_if(FPool.begin(), FPool.end(),
                               [this](const TProxData &p) {
                                   return std::any_of(
                                       FFixed.begin(), FFixed.end(),
                                       [&](const TProxData &f) { return f.FUID == p.FUID; });
                               }),
                FPool.end());
    FSettings.NoOfProxies = std::clamp(FSettings.NoOfProxies, 1, 10);
}

TRotatingHops::~TRotatingHops() {
    StopSchedule();
}

int TRotatingHops::DrawnCount() const {
    return std::max(1, FSettings.NoOfProxies - FixedCount());
}

bool TRotatingHops::SetAside(int32_t proxyUID) const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSetAside.count(proxyUID) != 0;
}

bool TRotatingHops::Contains(const TChainedProxyData &hops, int32_t proxyUID) {
    for (const auto &item : hops.FChainedItems)
        if (item->FUID == proxyUID)
            return true;
    return false;
}

const TProxData *TRotatingHops::Find(int32_t proxyUID) const {
    for (const TProxData &p : FPool)
        if (p.FUID == proxyUID)
            return &p;
    return nullptr;
}

std::vector<const TProxData *> TRotatingHops::Pick(size_t count, const std::set<int32_t> &taken) {
    std::vector<const TProxData *> candidates;
    candidates.reserve(FPool.size());
    for (const TProxData &p : FPool)
        if (!FSetAside.count(p.FUID) && !taken.count(p.FUID))
            candidates.push_back(&p);
    count = std::min(count, candidates.size());
    // A partial shuffle: the first `count` are a uniform draw without repeats.
    for (size_t i = 0; i < count; ++i) {
        std::uniform_int_distribution<size_t> pick(i, candidates.size() - 1);
        std::swap(candidates[i], candidates[pick(FRandom)]);
    }
    candidates.resize(count);
    return candidates;
}

std::shared_ptr<const TChainedProxyData>
TRotatingHops::Compose(const std::vector<const TProxData *> &drawn) const {
    auto hops = std::make_shared<TChainedProxyData>();
    CopyHeader(*FHeader, *hops);
    for (const TProxData &fixed : FFixed)
        hops->AddItem(std::make_unique<TProxData>(fixed));
    for (const TProxData *p : drawn)
        hops->AddItem(std::make_unique<TProxData>(*p));
    return hops;
}

void TRotatingHops::Publish(std::shared_ptr<const TChainedProxyData> hops) {
    FCurrent = std::move(hops);
}

bool TRotatingHops::Begin(QString &reason) {
    FProber = std::make_unique<TProxyProber>(ProbeIntervalsMs, FAttemptTimeoutMs, Probe);
    FProber->OnBack = [this](int32_t proxyUID) {
        NetworkBack();
        Returned(proxyUID);
    };
    FProber->OnDead = [this](int32_t proxyUID) {
        if (OnProxyDead)
            OnProxyDead(proxyUID, true);
    };
    FProber->OnNoNetwork = [this] { NetworkFailed(); };
    std::shared_ptr<const TChainedProxyData> first;
    {
        std::lock_guard<std::mutex> guard(FLock);
        const size_t wanted = static_cast<size_t>(DrawnCount());
        const std::vector<const TProxData *> drawn = Pick(wanted, {});
        if (drawn.size() < wanted) {
            reason = QStringLiteral("too few proxies with status OK: %1 of %2 needed")
                         .arg(drawn.size())
                         .arg(wanted);
            return false;
        }
        first = Compose(drawn);
        Publish(first);
    }
    return true;
}

void TRotatingHops::Redraw() {
    std::shared_ptr<const TChainedProxyData> next;
    {
        std::lock_guard<std::mutex> guard(FLock);
        const size_t wanted = static_cast<size_t>(DrawnCount());
        const std::vector<const TProxData *> drawn = Pick(wanted, {});
        if (drawn.size() < wanted)
            return; // too few left: the hops stay as they are
        next = Compose(drawn);
        if (FCurrent && HopsText(*FCurrent) == HopsText(*next))
            return; // the same hops in the same order: no change
        Publish(next);
    }
    if (OnChanged)
        OnChanged(HopsText(*next));
}

void TRotatingHops::StartSchedule() {
    if (FSettings.ChangeEvery <= 0 || FSchedule.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(FScheduleLock);
        FStopping = false;
    }
    FSchedule = std::thread([this] {
        const auto period = std::chrono::seconds(FSettings.ChangeEvery);
        std::unique_lock<std::mutex> lock(FScheduleLock);
        auto due = std::chrono::steady_clock::now() + period;
        while (!FStopping) {
            if (FWake.wait_until(lock, due, [this] { return FStopping; }))
                break;
            lock.unlock();
            Redraw();
            lock.lock();
            due += period;
            const auto now = std::chrono::steady_clock::now();
            if (due < now)
                due = now + period; // a late wake-up does not bunch draws together
        }
    });
}

void TRotatingHops::StopSchedule() {
    if (FProber)
        FProber->Stop();
    {
        std::lock_guard<std::mutex> guard(FScheduleLock);
        FStopping = true;
    }
    FWake.notify_all();
    if (FSchedule.joinable())
        FSchedule.join();
}

std::shared_ptr<const TChainedProxyData> TRotatingHops::Current() {
    std::lock_guard<std::mutex> guard(FLock);
    return FCurrent;
}

std::shared_ptr<const TChainedProxyData>
TRotatingHops::Failed(const std::shared_ptr<const TChainedProxyData> &hops, int index) {
    if (!hops || index < 0 || index >= hops->ItemsCount())
        return nullptr;
    const int32_t failedUID = hops->FChainedItems[static_cast<size_t>(index)]->FUID;
    if (FFailures && FFailures->Failed(failedUID) && OnProxyDead)
        OnProxyDead(failedUID, false);
    if (index < FixedCount())
        return nullptr; // a hand-added hop has no replacement

    std::shared_ptr<const TChainedProxyData> retry;
    std::shared_ptr<const TChainedProxyData> changed;
    std::optional<TProxData> probe; // probed from now on, outside the lock
    {
        std::lock_guard<std::mutex> guard(FLock);
        FSetAside.insert(failedUID);
        if (const TProxData *proxy = Find(failedUID))
            probe = *proxy;
        // The replacement: a proxy neither set aside nor among these hops.
        std::set<int32_t> taken;
        for (const auto &item : hops->FChainedItems)
            taken.insert(item->FUID);
        const std::vector<const TProxData *> fresh = Pick(1, taken);
        if (!fresh.empty()) {
            std::vector<const TProxData *> drawn;
            for (int i = FixedCount(); i < hops->ItemsCount(); ++i) {
                const int32_t uid = hops->FChainedItems[static_cast<size_t>(i)]->FUID;
                const TProxData *p = i == index ? fresh[0] : Find(uid);
                if (!p)
                    return nullptr;
                drawn.push_back(p);
            }
            retry = Compose(drawn);
        }
        // New connections stop taking the failed hop at once: the chain's
        // hops become the retry's when they are the hops that failed, else
        // the failed one is replaced in them on its own.
        if (FCurrent && Contains(*FCurrent, failedUID)) {
            if (retry && HopsText(*FCurrent) == HopsText(*hops)) {
                changed = retry;
            } else {
                std::set<int32_t> inUse;
                for (const auto &item : FCurrent->FChainedItems)
                    inUse.insert(item->FUID);
                const std::vector<const TProxData *> other = Pick(1, inUse);
                std::vector<const TProxData *> drawn;
                for (int i = FixedCount(); !other.empty() && i < FCurrent->ItemsCount(); ++i) {
                    const int32_t uid = FCurrent->FChainedItems[static_cast<size_t>(i)]->FUID;
                    drawn.push_back(uid == failedUID ? other[0] : Find(uid));
                }
                if (!other.empty() && std::find(drawn.begin(), drawn.end(), nullptr) == drawn.end())
                    changed = Compose(drawn);
            }
            if (changed)
                Publish(changed);
        }
    }
    if (probe && FProber)
        FProber->Add(*probe);
    if (changed && OnChanged)
        OnChanged(HopsText(*changed));
    return retry;
}

void TRotatingHops::Succeeded(const TChainedProxyData &hops) {
    for (const auto &item : hops.FChainedItems) {
        if (FFailures)
            FFailures->Succeeded(item->FUID);
        if (SetAside(item->FUID))
            Returned(item->FUID); // it served a connection: it works
    }
}

void TRotatingHops::Returned(int32_t proxyUID) {
    bool stale = false;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FSetAside.erase(proxyUID))
            return;
        if (FCurrent)
            for (const auto &item : FCurrent->FChainedItems)
                stale = stale || FSetAside.count(item->FUID) != 0;
    }
    if (FProber)
        FProber->Remove(proxyUID);
    if (FFailures)
        FFailures->Succeeded(proxyUID);
    // The hops new connections take still hold a proxy set aside (the pool
    // ran dry): a new draw now that one is back.
    if (stale)
        Redraw();
}

QString TRotatingHops::Trouble() const {
    if (NetworkDown())
        return QStringLiteral("waiting for the network");
    std::lock_guard<std::mutex> guard(FLock);
    const bool anyLeft = std::any_of(FPool.begin(), FPool.end(), [this](const TProxData &p) {
        return FSetAside.count(p.FUID) == 0;
    });
    if (anyLeft || FSetAside.empty())
        return {};
    return QStringLiteral("no working proxies (%1 set aside)").arg(FSetAside.size());
}
