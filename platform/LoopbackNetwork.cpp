#include "platform/LoopbackNetwork.h"

#include "platform/Error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <net/if.h>
#include <string>
#include <unistd.h>

namespace {

struct TSocketCloser {
    void operator()(mnl_socket *s) const { mnl_socket_close(s); }
};
using TNetlink = std::unique_ptr<mnl_socket, TSocketCloser>;

[[noreturn]] void Fail(const std::string &what, int error) {
    throw EVelmoraError("Cannot " + what + " in the program's network: " + std::strerror(error));
}

// Sends one request and reads its acknowledgement.
void Request(mnl_socket *nl, nlmsghdr *message, const std::string &what) {
    static unsigned sequence = 0;
    message->nlmsg_seq = ++sequence;
    if (mnl_socket_sendto(nl, message, message->nlmsg_len) < 0)
        Fail(what, errno);
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    const ssize_t n = mnl_socket_recvfrom(nl, buffer, sizeof buffer);
    if (n < 0)
        Fail(what, errno);
    if (mnl_cb_run(buffer, static_cast<size_t>(n), message->nlmsg_seq, mnl_socket_get_portid(nl),
                   nullptr, nullptr) < 0 &&
        errno != EEXIST)
        Fail(what, errno);
}

void LinkUp(mnl_socket *nl, unsigned index) {
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_NEWLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto *link = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifinfomsg)));
    link->ifi_family = AF_UNSPEC;
    link->ifi_index = static_cast<int>(index);
    link->ifi_flags = IFF_UP;
    link->ifi_change = IFF_UP;
    Request(nl, message, "bring the loopback interface up");
}

void DefaultRoute(mnl_socket *nl, unsigned index, int family) {
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_NEWROUTE;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    auto *route = static_cast<rtmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    route->rtm_family = static_cast<unsigned char>(family);
    route->rtm_dst_len = 0;
    route->rtm_table = RT_TABLE_MAIN;
    route->rtm_protocol = RTPROT_STATIC;
    route->rtm_scope = RT_SCOPE_UNIVERSE;
    route->rtm_type = RTN_UNICAST;
    mnl_attr_put_u32(message, RTA_OIF, index);
    if (family == AF_INET) {
        in_addr source;
        ::inet_pton(AF_INET, "127.0.0.1", &source);
        mnl_attr_put(message, RTA_PREFSRC, sizeof source, &source);
    } else {
        in6_addr source = in6addr_loopback;
        mnl_attr_put(message, RTA_PREFSRC, sizeof source, &source);
    }
    Request(nl, message, family == AF_INET ? "route IPv4 to loopback" : "route IPv6 to loopback");
}

} // namespace

void TLoopbackNetwork::Configure() {
    TNetlink nl(mnl_socket_open(NETLINK_ROUTE));
    if (!nl)
        Fail("open a netlink socket", errno);
    if (mnl_socket_bind(nl.get(), 0, MNL_SOCKET_AUTOPID) < 0)
        Fail("bind a netlink socket", errno);
    const unsigned lo = ::if_nametoindex("lo");
    if (lo == 0)
        Fail("find the loopback interface", errno);
    LinkUp(nl.get(), lo);
    DefaultRoute(nl.get(), lo, AF_INET);
    try {
        DefaultRoute(nl.get(), lo, AF_INET6);
    } catch (const EVelmoraError &) {
        // No IPv6 in this kernel or namespace: nothing can leave by it either.
        if (::access("/proc/net/if_inet6", F_OK) == 0)
            throw;
    }
}
