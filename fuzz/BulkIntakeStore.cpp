// The bulk intake hands its entries to the proxy store; the fuzz target only
// parses, so the store's two entry points are stand-ins that must never run.

#include "store/dmProxyData.h"

#include <cstdlib>

void TdmProxyData::AddProxy(const QString &, int32_t, TProxyType) {
    std::abort();
}

void TdmProxyData::SaveData() {
    std::abort();
}
