#include "store/ProxData.h"

TProxData *CopyProxData(const TProxData &source, TProxData *&target) {
    if (!target)
        target = new TProxData();
    target->FHostName = source.FHostName;
    target->FIPAddress = source.FIPAddress;
    target->FProxyType = source.FProxyType;
    target->FUID = source.FUID;
    target->FPort = source.FPort;
    target->FSpeed = source.FSpeed;
    target->FStatus = source.FStatus;
    target->FLastChecked = source.FLastChecked;
    target->FCurrHostNameType = source.FCurrHostNameType;
    return target;
}
