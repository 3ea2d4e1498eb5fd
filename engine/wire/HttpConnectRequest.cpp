#include "engine/wire/HttpConnectRequest.h"

std::string THttpConnectRequest::Encode(const THopTarget &target, uint16_t port) {
    const std::string host =
        target.Kind == THopTarget::TKind::IPv6 ? "[" + target.Text + "]" : target.Text;
    return "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.0\r\n\r\n";
}
