#pragma once
// The test page's GET at the end of a try, and its reply. Redirects are not
// followed: a reply whose header block carries any status but a success one
// ends the step as Failed, with HeaderSeen() true.

#include "check/CheckStep.h"
#include "engine/wire/HttpGetRequest.h"
#include "engine/wire/HttpReplyDecoder.h"

class TCheckPageStep final : public TCheckStep {
public:
    // Bytes read at a time: the reply is the last thing on the connection.
    static constexpr size_t ReadSize = 16 * 1024;

    // `request` must outlive the step.
    explicit TCheckPageStep(const THttpGetRequest &request) : FRequest(request) {}

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
