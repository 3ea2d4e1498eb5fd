#pragma once
// Which addresses are this machine's own, for servers that must not hand an
// outside client a way in to the machine itself. Addresses are IPv4 or IPv6
// literals; an IPv4-mapped IPv6 address counts as its IPv4 address.

#include <string>

class TLocalAddresses {
public:
    // 127.0.0.0/8 or ::1.
    static bool IsLoopback(const std::string &address);
    // Loopback, the unspecified address (a connection to 0.0.0.0 or ::
    // reaches this machine), or an address of one of this machine's
    // interfaces as they are now, in the network of the calling thread.
    // A text that is no address literal is not one.
    static bool IsOwn(const std::string &address);
};
