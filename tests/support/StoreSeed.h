#pragma once
// Filling a store for a test: proxies with a checked status, and chains
// through them. Only for test programs linked with the store.

#include "store/dmProxyData.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

namespace VelmoraTest {

// A new store in the data folder `<root>/VelmoraAnonymizer/`, provisioned
// and loaded.
inline std::unique_ptr<TdmProxyData> FreshStore(const QString &root) {
    const QString folder = root + QStringLiteral("/VelmoraAnonymizer/");
    TdmProxyData::ProvisionDataFolder(folder);
    auto store = std::make_unique<TdmProxyData>(folder);
    store->LoadData();
    return store;
}

// Adds the proxy address:port and records a check of it with `status` and
// `speed` (milliseconds); returns its UID.
inline int32_t SeedProxy(TdmProxyData &store, uint16_t port, TProxyType type,
                         TProxyStatus status = TProxyStatus::psAvailable,
                         const QString &address = QStringLiteral("127.0.0.1"), double speed = 0) {
    store.AddProxy(address, port, type);
    TDataTable &t = store.cdsProxies();
    t.Last();
    TProxData rec;
    rec.FUID = t.FieldByName("UID").AsInteger();
    rec.FSpeed = speed;
    store.UpdateProxyStatus(rec, status);
    return rec.FUID;
}

// Adds a chain called `name` on local port `port` through `proxies` in that
// order, and saves the store; returns the chain's UID.
inline int32_t SeedChain(TdmProxyData &store, const QString &name, uint16_t port,
                         const std::vector<int32_t> &proxies) {
    TDataTable &c = store.cdsChainedProxies();
    c.Append();
    c.FieldByName("Desc").SetAsString(name);
    c.FieldByName("LocalServerPort").SetAsInteger(port);
    c.Post();
    const int32_t uid = c.FieldByName("UID").AsInteger();
    for (int32_t p : proxies)
        store.AddChainedItem(uid, p);
    store.SaveData();
    return uid;
}

// Makes chain `chainUID` a rotating one ("Auto-Creating Chain") and saves.
inline void SeedRotation(TdmProxyData &store, int32_t chainUID, int changeEvery, int hops) {
    store.LocateChainRecord(chainUID);
    TDataTable &c = store.cdsChainedProxies();
    c.Edit();
    c.FieldByName("AutoCreateChain").SetAsBoolean(true);
    c.FieldByName("ChangeEvery").SetAsInteger(changeEvery);
    c.FieldByName("NoOfProxies").SetAsInteger(hops);
    c.Post();
    store.SaveData();
}

} // namespace VelmoraTest
