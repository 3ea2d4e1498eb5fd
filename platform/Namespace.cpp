#include "platform/Namespace.h"

#include "platform/Error.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string ReadFirstLine(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return {};
    std::string text(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

void WriteFile(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw EVelmoraError("Cannot open " + path + ": " + std::strerror(errno));
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size()))
        throw EVelmoraError("Cannot write " + path + ": " + std::strerror(error));
}

[[noreturn]] void ThrowRefused(const std::string &what, int error) {
    std::string message = what + ": " + std::strerror(error);
    const std::string blocker = TNamespace::UserNamespaceBlocker();
    if (!blocker.empty())
        message += ". " + blocker;
    throw ENamespaceRefused(message);
}

bool Exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The end of the chain of symbolic links that starts at `path` (relative
// links resolved against their own folder), whether or not it exists.
std::string LinkEnd(std::string path) {
    for (int hops = 0; hops < 16; ++hops) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0)
            return path;
        std::string next(target, static_cast<size_t>(n));
        if (next.empty() || next[0] != '/')
            next = path.substr(0, path.rfind('/') + 1) + next;
        path = next;
    }
    return path;
}

} // namespace

std::string TNamespace::UserNamespaceBlocker() {
    if (ReadFirstLine("/proc/sys/kernel/unprivileged_userns_clone") == "0")
        return "Unprivileged user namespaces are switched off "
               "(kernel.unprivileged_userns_clone = 0); allow them with "
               "\"sudo sysctl -w kernel.unprivileged_userns_clone=1\"";
    if (ReadFirstLine("/proc/sys/user/max_user_namespaces") == "0")
        return "User namespaces are switched off (user.max_user_namespaces = 0); allow "
               "them with \"sudo sysctl -w user.max_user_namespaces=15000\"";
    if (ReadFirstLine("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1")
        return "AppArmor restricts unprivileged user namespaces "
               "(kernel.apparmor_restrict_unprivileged_userns = 1); allow velmora with an "
               "AppArmor profile that grants \"userns,\" (see the README), or run "
               "\"sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0\"";
    return {};
}

void TNamespace::EnterPrivateNetwork() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0)
        ThrowRefused("Cannot make a user namespace", errno);
    try {
        WriteFile("/proc/self/setgroups", "deny");
        WriteFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
        WriteFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
    } catch (const EVelmoraError &e) {
        ThrowRefused(std::string("Cannot map the user into its namespace (") + e.what() + ")",
                     EPERM);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        ThrowRefused("Cannot make the mounts private", errno);
}

bool TNamespace::BindFile(const std::string &source, const std::string &target) {
    const std::string end = LinkEnd(target);
    if (!Exists(end)) {
        const int fd = ::open(end.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    if (::mount(source.c_str(), end.c_str(), nullptr, MS_BIND, nullptr) != 0)
        throw EVelmoraError("Cannot mount over " + end + ": " + std::strerror(errno));
    return true;
}

bool TNamespace::HideFolder(const std::string &folder, unsigned mode, const char *size) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    char options[64];
    std::snprintf(options, sizeof options, "mode=%04o,size=%s", mode, size);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0)
        throw EVelmoraError("Cannot hide " + folder + ": " + std::strerror(errno));
    return true;
}

void TNamespace::DropCapabilities() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capset, &header, data) != 0)
        throw EVelmoraError(std::string("Cannot drop capabilities: ") + std::strerror(errno));
}
