#include "platform/RunAsUser.h"

#include "platform/Error.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The user's groups from the group database, `gid` first.
std::vector<gid_t> GroupsOf(const std::string &name, gid_t gid) {
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 4; ++tries) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(name.c_str(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        groups.resize(static_cast<size_t>(count) * 2);
    }
    return {gid};
}

TRunAsUser FromEntry(const passwd &entry, gid_t gid) {
    TRunAsUser user;
    user.Uid = entry.pw_uid;
    user.Gid = gid;
    user.Name = entry.pw_name;
    user.Home = entry.pw_dir ? entry.pw_dir : "";
    user.Groups = GroupsOf(user.Name, gid);
    return user;
}

} // namespace

TRunAsUser TRunAsUser::Named(const std::string &name) {
    if (name.empty())
        throw EVelmoraError("No user named \"\"");
    const passwd *entry = ::getpwnam(name.c_str());
    if (!entry) {
        char *end = nullptr;
        const unsigned long number = std::strtoul(name.c_str(), &end, 10);
        if (*end == '\0' && name.find_first_not_of("0123456789") == std::string::npos)
            entry = ::getpwuid(static_cast<uid_t>(number));
    }
    if (!entry)
        throw EVelmoraError("No user named \"" + name + "\"");
    return FromEntry(*entry, entry->pw_gid);
}

TRunAsUser TRunAsUser::WithIds(uid_t uid, gid_t gid) {
    if (const passwd *entry = ::getpwuid(uid))
        return FromEntry(*entry, gid);
    TRunAsUser user;
    user.Uid = uid;
    user.Gid = gid;
    user.Groups = {gid};
    return user;
}

bool TRunAsUser::MachineRoot() {
    if (::geteuid() != 0)
        return false;
    std::ifstream map("/proc/self/uid_map");
    unsigned long inside = 0, outside = 0, count = 0;
    while (map >> inside >> outside >> count)
        if (inside == 0)
            return outside == 0;
    return !map.is_open(); // without /proc, take it for root
}

bool TRunAsUser::Become() const {
    if (::setgroups(Groups.size(), Groups.data()) != 0 || ::setresgid(Gid, Gid, Gid) != 0 ||
        ::setresuid(Uid, Uid, Uid) != 0)
        return false;
    if (::getuid() != Uid || ::geteuid() != Uid || ::setuid(0) == 0)
        return false; // root could not be left for good
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    return true;
}
