#include "store/ChainedProxyData.h"

TProxData *TChainedProxyData::At(int64_t index) const {
    if (index < 0 || index >= static_cast<int64_t>(FChainedItems.size()))
        return nullptr;
    return FChainedItems[static_cast<size_t>(index)].get();
}

TProxData *TChainedProxyData::FirstItem() {
    if (FChainedItems.empty())
        return nullptr;
    FCurrItem = 0;
    return At(0);
}

TProxData *TChainedProxyData::LastItem() {
    if (FChainedItems.empty())
        return nullptr;
    FCurrItem = ItemsCount() - 1;
    return At(FCurrItem);
}

TProxData *TChainedProxyData::NextItem() {
    ++FCurrItem;
    return At(FCurrItem);
}

TProxData *TChainedProxyData::PrevItem() {
    if (FChainedItems.empty())
        return nullptr;
    --FCurrItem;
    return At(FCurrItem);
}

TProxData *TChainedProxyData::AddItem(std::unique_ptr<TProxData> item) {
    FChainedItems.push_back(std::move(item));
    return FChainedItems.back().get();
}
