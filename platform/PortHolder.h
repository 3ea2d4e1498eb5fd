#pragma once
// Who listens on a local TCP port. Every listening socket of this network
// namespace, with its owner's uid, is in /proc/net/tcp and tcp6, whoever
// owns it; the process that holds it is found through /proc/PID/fd, which
// shows an ordinary user only the processes of its own.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

class TPortHolder {
public:
    struct THolder {
        uid_t Uid = 0;
        bool UidKnown = false;
        pid_t Pid = 0; // 0: the process could not be found
        std::string Name;
    };

    // The holder of a listener on `port` (any local address, IPv4 or IPv6),
    // or nothing when none listens there.
    static std::optional<THolder> Find(uint16_t port);
    // "microsocks (process 123, uid 1000)", or, when the process is not
    // visible, "a process of uid 0 that could not be named (...)".
    static std::string Describe(const THolder &holder);
};
