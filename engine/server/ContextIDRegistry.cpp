#include "engine/server/ContextIDRegistry.h"

#include "platform/Error.h"

#include <QRandomGenerator>

int32_t TContextIDRegistry::Draw() {
    std::lock_guard<std::mutex> guard(FLock);
    if (FLive.size() >= static_cast<size_t>(Limit))
        throw EVelmoraError("No free context ID");
    for (;;) {
        const auto id = static_cast<int32_t>(QRandomGenerator::global()->bounded(Limit));
        if (FLive.insert(id).second)
            return id;
    }
}

void TContextIDRegistry::Release(int32_t id) {
    std::lock_guard<std::mutex> guard(FLock);
    FLive.erase(id);
}

bool TContextIDRegistry::IsLive(int32_t id) {
    std::lock_guard<std::mutex> guard(FLock);
    return FLive.count(id) != 0;
}

size_t TContextIDRegistry::LiveCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLive.size();
}
