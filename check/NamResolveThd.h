#pragma once
// One name look-up of a proxy's host text on a worker thread of its own: a
// host name resolves forward to its IPv4 address, an IPv4 address in reverse
// to its registered name. The task works on its own copy of the record and
// hands it, with the result code, to the user-interface thread.
//
// Create with new, SetProxData, set OnTaskComplete, Start(). The handler runs
// exactly once, on the user-interface thread, and receives the copy to keep;
// the task then deletes itself.

#include "platform/WorkerThread.h"
#include "store/ProxData.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class TNamResolveThd;

// FHostName holds the result and the host-name kind has flipped.
constexpr int32_t NameResolved = 0x2100; // 8448
// The look-up failed or gave nothing; the record is as it was.
constexpr int32_t NameNotResolved = 0x2200; // 8704

// The record copy belongs to the handler from now on.
using TOnTaskCompleted = std::function<void(TNamResolveThd *ASender, int32_t ATaskStatus,
                                            std::unique_ptr<TProxData> AProxyData)>;

class TNamResolveThd : public TWorkerThread {
public:
    TNamResolveThd() = default;

    // FData := a new copy of Value; the caller keeps Value.
    void SetProxData(const TProxData &Value);

    TOnTaskCompleted OnTaskComplete;
    int32_t FTaskStatus = NameNotResolved;
    std::unique_ptr<TProxData> FData;
    QString FNameOrIP; // the text looked up: FData's FHostName
    // Why the look-up failed (for logs and tests); empty after success.
    QString FErrorMessage;

protected:
    ~TNamResolveThd() override = default;
    void Execute() override;
    void StartFailed() override;

private:
    void Resolve();
    void Complete();
};
