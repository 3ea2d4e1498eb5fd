#pragma once
// The user a program started by root runs as: looked up while this process
// may still ask the system's user database, and taken on later in a child
// between fork and exec, where only system calls are safe (the group list
// is read here, beforehand).

#include <string>
#include <sys/types.h>
#include <vector>

class TRunAsUser {
public:
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::vector<gid_t> Groups; // the supplementary groups, Gid among them
    std::string Name;          // empty for a number the user database lacks
    std::string Home;          // empty when unknown

    // The user with this name, or a number; throws EVelmoraError naming it
    // when there is none.
    static TRunAsUser Named(const std::string &name);
    // The user with this uid, in group `gid` (as sudo names them); a uid
    // the user database lacks is taken as it is, with no other group.
    static TRunAsUser WithIds(uid_t uid, gid_t gid);

    // True when this process runs as the machine's root: uid 0 of a user
    // namespace whose 0 is 0 outside too (not the root of a namespace made
    // by an ordinary user, who is that user on the machine's files).
    static bool MachineRoot();

    // The user's runtime folder, /run/user/UID.
    std::string RuntimeFolder() const { return "/run/user/" + std::to_string(Uid); }

    // Takes on the groups, then the group, then the user, for good (real,
    // effective and saved), and makes the process dumpable again so that
    // it can still write its own /proc files. False when one step failed.
    // Async-signal-safe.
    bool Become() const;
};
