#include "check/CheckSocks5Step.h"

#include "engine/wire/HopTarget.h"
#include "engine/wire/Socks5Request.h"

TCheckSocks5Step::TCheckSocks5Step(std::string host, uint16_t port)
    : FHost(std::move(host)), FPort(port),
      FMethod(TSocks5Request::MethodNoAuthentication, "Invalid socks authentication method.") {}

std::string TCheckSocks5Step::Next() {
    switch (FSent++) {
    case 0:
        return TSocks5Request::EncodeGreeting(TSocks5Request::MethodNoAuthentication);
    case 1:
        return TSocks5Request::EncodeConnect(THopTarget::Parse(FHost), FPort);
    default:
        return std::string();
    }
}

size_t TCheckSocks5Step::BytesNeeded() const {
    return FSent <= 1 ? FMethod.BytesNeeded() : FConnect.BytesNeeded();
}

TCheckStep::TState TCheckSocks5Step::Feed(const uint8_t *data, size_t size) {
    return FSent <= 1 ? FeedReply(FMethod, data, size) : FeedReply(FConnect, data, size);
}
