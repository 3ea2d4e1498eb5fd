#pragma once

#include "store/ProxData.h"

#include <QString>
#include <memory>
#include <vector>

// A detached copy of one chain row with its proxies in hop order (index 0 is
// the proxy the local side connects to first). The record owns its items.
//
// The cursor FCurrItem moves exactly as callers expect from the walk
// operations below, including past either end; two walks of one record must
// not overlap. Code that shares a record between threads reads FChainedItems
// by position and leaves the cursor alone.
class TChainedProxyData {
public:
    TChainedProxyData() = default;
    TChainedProxyData(const TChainedProxyData &) = delete;
    TChainedProxyData &operator=(const TChainedProxyData &) = delete;
    TChainedProxyData(TChainedProxyData &&) = default;
    TChainedProxyData &operator=(TChainedProxyData &&) = default;

    int ItemsCount() const { return static_cast<int>(FChainedItems.size()); }
    TProxData *FirstItem();
    TProxData *LastItem();
    TProxData *NextItem();
    TProxData *PrevItem();
    // Appends an owned item at the end (the new last hop).
    TProxData *AddItem(std::unique_ptr<TProxData> item);

    int32_t FCurrItem = -1;
    TProxData *FCurProx = nullptr; // declared, never set
    std::vector<std::unique_ptr<TProxData>> FChainedItems;
    TDateTime FLastChecked = 0;
    int32_t FPort = 0;
    TProxyStatus FStatus = TProxyStatus::psUnknown;
    int32_t FUID = 0;
    bool FHidden = false;
    QString FDesc;

private:
    TProxData *At(int64_t index) const;
};
