#include "check/CheckHttpConnectStep.h"

#include "engine/wire/HopTarget.h"
#include "engine/wire/HttpConnectRequest.h"

std::string TCheckHttpConnectStep::Message() const {
    return THttpConnectRequest::Encode(THopTarget::Parse(FHost), FPort);
}
