#include "check/CheckSocks4Step.h"

#include "engine/wire/Socks4Request.h"

std::string TCheckSocks4Step::Message() const {
    return TSocks4Request::Encode(FPort, FAddress, std::string());
}
