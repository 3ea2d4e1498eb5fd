// Which addresses are this machine's own: loopback in every spelling, the
// unspecified addresses, the addresses of its interfaces as they are now;
// and what is not (an outside address, a name, no address at all).
#include "platform/LocalAddresses.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

namespace {

struct TCase {
    std::string Address;
    bool Loopback;
    bool Own;
};

// An address of one of this machine's interfaces that is not loopback, of
// the family; empty when there is none.
std::string InterfaceAddress(int family) {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs *a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != family || (a->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET6_ADDRSTRLEN];
        const void *raw =
            family == AF_INET
                ? static_cast<const void *>(&reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr)
                : &reinterpret_cast<sockaddr_in6 *>(a->ifa_addr)->sin6_addr;
        ::inet_ntop(family, raw, text, sizeof text);
        found = text;
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace

TEST(LocalAddresses, LoopbackUnspecifiedAndInterfacesAreOwnOthersAreNot) {
    std::vector<TCase> cases = {
        {"127.0.0.1", true, true},
        {"127.3.4.5", true, true},
        {"::1", true, true},
        {"[::1]", true, true},
        {"::ffff:127.0.0.1", true, true},
        {"0.0.0.0", false, true},
        {"::", false, true},
        {"192.0.2.1", false, false}, // documentation range
        {"2001:db8::1", false, false},
        {"localhost", false, false}, // names are looked up first
        {"", false, false},
        {"127.0.0.1:80", false, false},
    };
    for (int family : {AF_INET, AF_INET6})
        if (const std::string own = InterfaceAddress(family); !own.empty())
            cases.push_back({own, false, true});
    for (const TCase &c : cases) {
        EXPECT_EQ(TLocalAddresses::IsLoopback(c.Address), c.Loopback) << c.Address;
        EXPECT_EQ(TLocalAddresses::IsOwn(c.Address), c.Own) << c.Address;
    }
}
