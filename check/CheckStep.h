#pragma once
// One exchange of a check's try with the proxy: a handshake (SOCKS 5, SOCKS 4,
// HTTP CONNECT) or the test page's GET. A step only makes the bytes to send
// and reads the bytes that come back, with the codecs of engine/wire; the
// sockets, deadlines and results stay with TCheckPool (check/CheckPool.h).
//
// Use: send Next(); read at most BytesNeeded() bytes at a time and Feed them
// until Feed says Answered or Failed; after Answered, Next() is the following
// message, or empty when the exchange is over.

#include <cstddef>
#include <cstdint>
#include <string>

class TCheckStep {
public:
    enum class TState {
        Reading,  // the answer needs more bytes
        Answered, // the answer to the last message came whole and says yes
        Failed,   // a refusal, an answer that cannot be read, or the peer closed
    };

    virtual ~TCheckStep() = default;

    // The next message to send; empty when there is none left. Throws when
    // the page's host cannot go on the wire in this protocol.
    virtual std::string Next() = 0;
    // The most bytes to read next without reading past the answer; 0 when no
    // more can be taken.
    virtual size_t BytesNeeded() const = 0;
    // Bytes of the answer; a size of 0 says the peer closed the connection.
    virtual TState Feed(const uint8_t *data, size_t size) = 0;
};

// A handshake's answer fed to its wire decoder (`reply`: BytesNeeded, Feed,
// Done, Error); a close before the answer is whole fails the step.
template <class TReply>
TCheckStep::TState FeedReply(TReply &reply, const uint8_t *data, size_t size) {
    if (size == 0)
        return TCheckStep::TState::Failed;
    reply.Feed(data, size);
    if (!reply.Error().empty())
        return TCheckStep::TState::Failed;
    return reply.Done() ? TCheckStep::TState::Answered : TCheckStep::TState::Reading;
}

// A handshake of one message and one answer (SOCKS 4, HTTP CONNECT): the
// message is made when it is first asked for.
template <class TReply> class TCheckOneMessageStep : public TCheckStep {
public:
    std::string Next() final {
        if (FSent)
            return std::string();
        FSent = true;
        return Message();
    }
    size_t BytesNeeded() const final { return FReply.BytesNeeded(); }
    TState Feed(const uint8_t *data, size_t size) final { return FeedReply(FReply, data, size); }

protected:
    virtual std::string Message() const = 0;

private:
    bool FSent = false;
    TReply FReply;
};
