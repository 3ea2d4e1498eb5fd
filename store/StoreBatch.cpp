// Holding saves back: the timed batches of BeginBatch/EndBatch and the
// scoped TBatch.

#include "store/dmProxyData.h"

#include "platform/Clock.h"

#include <algorithm>

void TdmProxyData::SaveIfAuto() {
    if (FHoldDepth > 0) {
        FHeldChange = true;
        return;
    }
    if (FBatchDepth > 0) {
        FUnsaved = true;
        ScheduleBatchSave();
        return;
    }
    SaveData();
}

void TdmProxyData::BeginBatch() {
    // The first timed save comes an interval after the batch begins: its
    // first results are not worth a write of their own.
    if (FBatchDepth++ == 0)
        FBatchStartTick = TClock::TickMs();
}

void TdmProxyData::EndBatch() {
    if (FBatchDepth == 0 || --FBatchDepth > 0)
        return;
    if (FBatchTimer)
        FBatchTimer->stop();
    if (FUnsaved && FHoldDepth == 0)
        SaveData();
}

void TdmProxyData::ScheduleBatchSave() {
    if (!FBatchTimer) {
        FBatchTimer = std::make_unique<QTimer>();
        FBatchTimer->setSingleShot(true);
        QObject::connect(FBatchTimer.get(), &QTimer::timeout, [this] { BatchTimerFired(); });
    }
    if (FBatchTimer->isActive())
        return;
    const int64_t due =
        std::max(FLastSaveTick, FBatchStartTick) + FBatchSaveIntervalMs - TClock::TickMs();
    FBatchTimer->start(static_cast<int>(std::clamp<int64_t>(due, 0, FBatchSaveIntervalMs)));
}

void TdmProxyData::BatchTimerFired() {
    if (!FUnsaved || FHoldDepth > 0)
        return;
    try {
        SaveData();
    } catch (const std::exception &e) {
        // Kept unsaved: the next change or the batch's end tries again.
        if (FOnSaveError)
            FOnSaveError(QString::fromUtf8(e.what()));
    }
}

// ---- TBatch -----------------------------------------------------------------

TdmProxyData::TBatch::TBatch(TdmProxyData &store) : FStore(store) {
    ++FStore.FHoldDepth;
}

TdmProxyData::TBatch::~TBatch() {
    FStore.EndHold(FDiscarded);
}

void TdmProxyData::TBatch::Commit() {
    FStore.SaveData();
}

void TdmProxyData::EndHold(bool discarded) noexcept {
    if (--FHoldDepth > 0)
        return;
    const bool save = FHeldChange && !discarded;
    FHeldChange = false;
    if (!save)
        return;
    try {
        SaveData();
    } catch (const std::exception &e) {
        // Kept unsaved: the next save writes it.
        FUnsaved = true;
        try {
            if (FOnSaveError)
                FOnSaveError(QString::fromUtf8(e.what()));
        } catch (...) {
        }
    }
}
