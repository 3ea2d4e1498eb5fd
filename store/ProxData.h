#pragma once

#include "store/ProxyTypes.h"

#include <QString>
#include <cstdint>

// A detached copy of one proxy row. Changing it changes no table; the update
// operations of the store find the row again by FUID.
class TProxData {
public:
    TProxData() = default;

    QString FHostName;
    QString FIPAddress;
    TProxyType FProxyType = TProxyType::ptUnknown;
    int32_t FUID = 0;
    int32_t FPort = 0;
    TProxyStatus FStatus = TProxyStatus::psUnknown;
    double FSpeed = 0; // milliseconds of the last successful check
    TDateTime FLastChecked = 0;
    int32_t FCurrHostNameType = hntIPAddress;
    bool FHidden = false; // carried; nobody copies or fills it
};

// Copies every field but FHidden from `source` into `target`, creating the
// target first when it is null. Returns the target.
TProxData *CopyProxData(const TProxData &source, TProxData *&target);
