#include "check/CheckPageStep.h"

std::string TCheckPageStep::Next() {
    if (FSent)
        return std::string();
    FSent = true;
    return FRequest.Encode();
}

TCheckStep::TState TCheckPageStep::Feed(const uint8_t *data, size_t size) {
    if (size == 0)
        FReply.FeedEnd();
    else
        FReply.Feed(data, size);
    if (FReply.HeadersComplete() && !FReply.IsSuccess())
        return TState::Failed;
    if (!FReply.Error().empty())
        return TState::Failed;
    if (FReply.Done())
        return TState::Answered;
    return size == 0 ? TState::Failed : TState::Reading;
}
