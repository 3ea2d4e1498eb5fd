// The store's operations on chains and their items.

#include "store/dmProxyData.h"

#include "platform/Error.h"

#include <algorithm>

bool TdmProxyData::DeleteChain(int32_t AUID) {
    LocateChainRecord(AUID);
    FilterChainItems();
    FItems.First();
    while (!FItems.IsEmpty())
        FItems.Delete();
    LocateChainRecord(AUID);
    FChains.Delete();
    SaveIfAuto();
    return true;
}

int TdmProxyData::DeleteChains(const std::vector<int32_t> &AUIDs) {
    return DeleteWithItems(FChains, FC.UID, FI.ChainUID,
                           std::unordered_set<int64_t>(AUIDs.begin(), AUIDs.end()));
}

void TdmProxyData::AddChainedItem(int32_t AChainUID, int32_t AProxUID) {
    FilterItemsTo(AChainUID);
    if (FItems.Locate(QStringLiteral("ProxyUID"), int64_t(AProxUID)))
        throw EVelmoraError("Proxy already exists in chain");
    FItems.Append();
    FItems.SetValue(FI.ChainUID, int64_t(AChainUID));
    FItems.SetValue(FI.ProxyUID, int64_t(AProxUID));
    FItems.Post();
}

bool TdmProxyData::RemoveChainedItem(int32_t AChainUID, int32_t AProxUID) {
    LocateChainRecord(AChainUID);
    FilterChainItems();
    FItems.First();
    if (AProxUID == -1) {
        while (!FItems.IsEmpty())
            FItems.Delete();
    } else {
        for (; !FItems.Eof(); FItems.Next()) {
            if (!FItems.Fields(FI.ProxyUID).IsNull() &&
                FItems.Fields(FI.ProxyUID).AsInteger() == AProxUID) {
                FItems.Delete();
                break;
            }
        }
    }
    SaveIfAuto();
    return true;
}

bool TdmProxyData::MoveChainedItem(int32_t AChainUID, int32_t AProxUID, int ADelta) {
    LocateChainRecord(AChainUID);
    FilterChainItems();
    // The item rows that name an existing proxy, in hop order: their UIDs and
    // the proxies they name.
    std::vector<int64_t> rows;
    std::vector<int32_t> proxies;
    for (const TDataTable::TRow *row : FItems.VisibleRows()) {
        const TFieldValue proxy = FItems.RowValue(*row, FI.ProxyUID);
        if (IsNullValue(proxy) || !FProxies.FindUID(Int32Value(proxy)))
            continue;
        rows.push_back(std::get<int64_t>(FItems.RowValue(*row, FI.UID)));
        proxies.push_back(Int32Value(proxy));
    }
    const auto found = std::find(proxies.begin(), proxies.end(), AProxUID);
    if (found == proxies.end() || ADelta == 0)
        return false;
    const auto from = found - proxies.begin();
    const auto to = from + ADelta;
    if (to < 0 || to >= static_cast<int64_t>(proxies.size()))
        return false;
    std::vector<int32_t> moved = proxies;
    if (to < from)
        std::rotate(moved.begin() + to, moved.begin() + from, moved.begin() + from + 1);
    else
        std::rotate(moved.begin() + from, moved.begin() + from + 1, moved.begin() + to + 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (moved[i] == proxies[i] || !FItems.LocateUID(rows[i]))
            continue;
        FItems.Edit();
        FItems.SetValue(FI.ProxyUID, int64_t(moved[i]));
        FItems.Post();
    }
    return true;
}

int32_t TdmProxyData::PutChain(const TChainChange &AChange) {
    if (AChange.UID != 0) {
        LocateChainRecord(AChange.UID);
        FChains.Edit();
    } else {
        FChains.Append();
    }
    if (AChange.Hidden)
        FChains.Fields(FC.Hidden).SetAsBoolean(*AChange.Hidden);
    if (AChange.Desc)
        FChains.Fields(FC.Desc).SetAsString(*AChange.Desc);
    if (AChange.Port)
        FChains.Fields(FC.LocalServerPort).SetAsInteger(*AChange.Port);
    if (AChange.AutoCreate)
        FChains.Fields(FC.AutoCreateChain).SetAsBoolean(*AChange.AutoCreate);
    if (AChange.ChangeEvery)
        FChains.Fields(FC.ChangeEvery).SetAsInteger(*AChange.ChangeEvery);
    if (AChange.NoOfProxies)
        FChains.Fields(FC.NoOfProxies).SetAsInteger(*AChange.NoOfProxies);
    FChains.Post();
    return FChains.Fields(FC.UID).AsInteger();
}
