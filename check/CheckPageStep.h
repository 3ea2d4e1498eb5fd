#pragma once
// The test page's GET at the end of a try, and its reply. Redirects are not
// followed: a reply whose header block carries any status but a success one
// ends the step as Failed, with HeaderSeen() true.
//
// A check needs only the start of the page: at most HeaderLimit bytes of
// status and header lines are taken (a longer header block fails the step),
// and the body is read up to BodyLimit bytes; a body that reaches it ends the
// step there, answered, and the rest is never read. A check's memory stays
// within these few tens of KiB whatever the proxy sends.

#include "check/CheckStep.h"
#include "engine/wire/HttpGetRequest.h"
#include "engine/wire/HttpReplyDecoder.h"

class TCheckPageStep final : public TCheckStep {
public:
    // Bytes read at a time: the reply is the last thing on the connection.
    static constexpr size_t ReadSize = 16 * 1024;
    static constexpr size_t HeaderLimit = 32 * 1024;
    static constexpr size_t BodyLimit = 64 * 1024;

    // `request` must outlive the step.
    explicit TCheckPageStep(const THttpGetRequest &request)
        : FRequest(request), FReply({HeaderLimit, BodyLimit, true}) {}

    std::string Next() override;
    size_t BytesNeeded() const override { return FReply.Done() ? 0 : ReadSize; }
    TState Feed(const uint8_t *data, size_t size) override;

    // A whole header block came back.
    bool HeaderSeen() const { return FReply.HeadersComplete(); }
    // The reply came whole, with a success status.
    bool Whole() const { return FReply.Done() && FReply.Error().empty() && FReply.IsSuccess(); }
    bool HasBody() const { return !FReply.Body().empty(); }

private:
    const THttpGetRequest &FRequest;
    bool FSent = false;
    THttpReplyDecoder FReply;
};
