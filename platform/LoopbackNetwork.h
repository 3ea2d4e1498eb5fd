#pragma once
// The network of a new network namespace made loopback-only: `lo` up, and
// default routes for IPv4 and IPv6 through `lo` with 127.0.0.1 and ::1 as
// their source, so that a connection to any address is routed to loopback
// (where a netfilter rule may take it) instead of failing as unreachable.
// Without the source address the kernel would pick 0.0.0.0 and such a
// connection would hang. Spoken over rtnetlink (libmnl); needs
// CAP_NET_ADMIN in the namespace. Failures throw EVelmoraError.

class TLoopbackNetwork {
public:
    static void Configure();
};
