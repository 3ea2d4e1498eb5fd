#include "ui/logic/ActivityQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

std::shared_ptr<TActivityQueue> TActivityQueue::Create() {
    return std::shared_ptr<TActivityQueue>(new TActivityQueue());
}

void TActivityQueue::AddMessage(const QString &AMsg) {
    Push({TActivityCall::TKind::AddMessage, 0, 0, AMsg});
}

void TActivityQueue::CreateChainLog(int32_t AChainUID, int32_t AContextID,
                                    const QString &AActivityMsg) {
    Push({TActivityCall::TKind::CreateChainLog, AChainUID, AContextID, AActivityMsg});
}

void TActivityQueue::WriteChainLog(int32_t AChainUID, int32_t AContextID,
                                   const QString &AActivityMsg) {
    Push({TActivityCall::TKind::WriteChainLog, AChainUID, AContextID, AActivityMsg});
}

void TActivityQueue::DeleteChainLog(int32_t AContextID, const QString &AActivityMsg) {
    Push({TActivityCall::TKind::DeleteChainLog, 0, AContextID, AActivityMsg});
}

void TActivityQueue::RecordBytes(int32_t AContextID, uint64_t ABytes) {
    Push({TActivityCall::TKind::RecordBytes, 0, AContextID, {}, ABytes});
}

void TActivityQueue::Push(TActivityCall call) {
    std::lock_guard<std::mutex> lock(FLock);
    FPending.push_back(std::move(call));
    if (FDrainPosted)
        return;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return; // drained by an explicit Drain()
    FDrainPosted = true;
    std::weak_ptr<TActivityQueue> weak = weak_from_this();
    QMetaObject::invokeMethod(
        app,
        [weak] {
            if (auto queue = weak.lock())
                queue->Drain();
        },
        Qt::QueuedConnection);
}

void TActivityQueue::SetSink(TSink sink) {
    FSink = std::move(sink);
}

void TActivityQueue::Drain() {
    std::vector<TActivityCall> batch;
    {
        std::lock_guard<std::mutex> lock(FLock);
        batch.swap(FPending);
        FDrainPosted = false;
    }
    if (!batch.empty() && FSink)
        FSink(batch);
}

size_t TActivityQueue::Pending() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPending.size();
}
