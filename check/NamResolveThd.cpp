#include "check/NamResolveThd.h"

#include "platform/Error.h"
#include "platform/Resolver.h"
#include "platform/UiThread.h"

void TNamResolveThd::SetProxData(const TProxData &Value) {
    TProxData *copy = nullptr;
    FData.reset(CopyProxData(Value, copy));
}

void TNamResolveThd::Execute() {
    FTaskStatus = NameNotResolved;
    try {
        Resolve();
    } catch (const std::exception &e) {
        FTaskStatus = NameNotResolved;
        FErrorMessage = QString::fromUtf8(e.what());
    } catch (...) {
        FTaskStatus = NameNotResolved;
        FErrorMessage = QStringLiteral("Look-up failed.");
    }
    try {
        TUiThread::Synchronize([this] { Complete(); });
    } catch (...) {
        // The handler's own failure; it has had its one call.
    }
}

void TNamResolveThd::StartFailed() {
    FTaskStatus = NameNotResolved;
    FErrorMessage = QStringLiteral("Could not start a thread.");
    Complete();
}

void TNamResolveThd::Resolve() {
    if (!FData)
        throw EVelmoraError("error , instance must be created");
    FNameOrIP = FData->FHostName;
    const std::string text = FNameOrIP.toStdString();
    std::string result;
    int32_t flipped;
    switch (FData->FCurrHostNameType) {
    case hntHostName:
        result = TResolver::ResolveIPv4(text);
        // IPv4 only: an IPv6 literal is not an answer.
        if (!TResolver::IsIPv4Literal(result))
            throw EVelmoraError("No IPv4 address for \"" + text + "\".");
        flipped = hntIPAddress;
        break;
    case hntIPAddress:
        result = TResolver::ReverseLookup(text);
        flipped = hntHostName;
        break;
    default:
        throw EVelmoraError("error , type has not been specified");
    }
    if (result.empty())
        return; // NameNotResolved, the record untouched
    FData->FHostName = QString::fromStdString(result);
    FData->FCurrHostNameType = flipped;
    FTaskStatus = NameResolved;
}

void TNamResolveThd::Complete() {
    if (OnTaskComplete)
        OnTaskComplete(this, FTaskStatus, std::move(FData));
}
