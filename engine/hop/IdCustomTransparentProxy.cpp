#include "engine/hop/IdCustomTransparentProxy.h"

#include "platform/Error.h"

#include <algorithm>

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() {
    SetChainedProxy(nullptr);
    for (TIdCustomTransparentProxy *referrer : FReferrers)
        referrer->FChainedProxy = nullptr;
}

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy *next) {
    if (next == FChainedProxy)
        return;
    for (TIdCustomTransparentProxy *p = next; p != nullptr; p = p->FChainedProxy) {
        if (p == this)
            throw EVelmoraError("Circular proxy chain: a hop cannot lead back to itself.");
    }
    if (FChainedProxy) {
        auto &refs = FChainedProxy->FReferrers;
        refs.erase(std::remove(refs.begin(), refs.end(), this), refs.end());
    }
    FChainedProxy = next;
    if (next)
        next->FReferrers.push_back(this);
}
