#include "anonymize/HostServices.h"

#include "platform/Error.h"
#include "platform/Namespace.h"
#include "platform/RunAsUser.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Variables that hand a program a way to another process of the session:
// buses, agents, the session manager.
const char *const ServiceVariables[] = {"DBUS_SESSION_BUS_ADDRESS",
                                        "DBUS_SYSTEM_BUS_ADDRESS",
                                        "DBUS_STARTER_ADDRESS",
                                        "DBUS_STARTER_BUS_TYPE",
                                        "AT_SPI_BUS_ADDRESS",
                                        "SSH_AUTH_SOCK",
                                        "SSH_AGENT_PID",
                                        "GPG_AGENT_INFO",
                                        "GNOME_KEYRING_CONTROL",
                                        "GNOME_KEYRING_PID",
                                        "SESSION_MANAGER"};
// The display's and the sound's, which may name the runtime folder.
const char *const DisplayVariables[] = {"XDG_RUNTIME_DIR", "WAYLAND_DISPLAY", "XAUTHORITY"};
const char *const SoundVariables[] = {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "PIPEWIRE_REMOTE",
                                      "PIPEWIRE_RUNTIME_DIR"};

std::string NameOf(const std::string &entry) {
    return entry.substr(0, entry.find('='));
}

bool Listed(const std::string &name, const auto &list) {
    return std::any_of(std::begin(list), std::end(list),
                       [&](const char *listed) { return name == listed; });
}

bool Under(const std::string &path, const std::string &folder) {
    return !folder.empty() && path.size() > folder.size() &&
           path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

void MakeParents(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);
}

// Puts a kept file back (opened before its folder was hidden) at `path`.
void PutBack(int fd, const std::string &path) {
    MakeParents(path);
    const int made = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (made >= 0)
        ::close(made);
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    if (::mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        throw EVelmoraError("Cannot keep " + path + " for the program: " + std::strerror(errno));
}

bool Spared(const std::string &path, const std::vector<std::string> &spared) {
    return std::any_of(spared.begin(), spared.end(), [&](const std::string &s) {
        return s.back() == '/' ? path.rfind(s, 0) == 0 : path == s;
    });
}

// Mounts /dev/null over every socket below `folder`, to `depth` levels, on
// the folder's own file system.
void CoverSockets(const std::string &folder, int depth, dev_t device,
                  const std::vector<std::string> &spared) {
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> below;
    while (const dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || st.st_dev != device || Spared(path, spared))
            continue;
        if (S_ISDIR(st.st_mode) && depth > 1)
            below.push_back(path);
        else if (S_ISSOCK(st.st_mode) &&
                 ::mount("/dev/null", path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            const int error = errno;
            ::closedir(dir);
            throw EVelmoraError("Cannot hide " + path + ": " + std::strerror(error));
        }
    }
    ::closedir(dir);
    for (const std::string &path : below)
        CoverSockets(path, depth - 1, device, spared);
}

} // namespace

THostServices::TPlan THostServices::Plan(const TDesktop &desktop) {
    TPlan plan;
    const std::string uid = std::to_string(desktop.Uid);
    for (const std::string &folder : {desktop.Runtime, "/run/user/" + uid, "/tmp/velmora-" + uid,
                                      std::string("/run/dbus"), std::string("/var/run/dbus")})
        if (!folder.empty())
            plan.Hidden.push_back(folder);
    std::vector<std::string> kept;
    if (!desktop.Wayland.empty() && desktop.Wayland[0] == '/')
        kept.push_back(desktop.Wayland);
    else if (!desktop.Runtime.empty())
        kept.push_back(desktop.Runtime + "/" +
                       (desktop.Wayland.empty() ? "wayland-0" : desktop.Wayland));
    if (!desktop.XAuthority.empty())
        kept.push_back(desktop.XAuthority);
    if (desktop.Sound && !desktop.Runtime.empty()) {
        kept.push_back(desktop.Runtime + "/pulse/native");
        kept.push_back(desktop.Runtime + "/pipewire-0");
    }
    plan.Kept = kept;
    plan.Searched = {{"/run", 3}, {"/tmp", 2}};
    // The X server's sockets, the journal (logging only), the runtime
    // folders (each user's own is hidden whole, the others' are closed).
    plan.Spared = {"/tmp/.X11-unix/", "/run/systemd/journal/", "/run/user/"};
    plan.Spared.insert(plan.Spared.end(), kept.begin(), kept.end());
    return plan;
}

void THostServices::Apply(const TPlan &plan) {
    // The kept files are opened while they can still be seen.
    std::vector<std::pair<int, std::string>> kept;
    std::vector<std::string> hidden;
    for (const std::string &folder : plan.Hidden) {
        const std::string real = RealPath(folder);
        if (!real.empty() && std::find(hidden.begin(), hidden.end(), real) == hidden.end())
            hidden.push_back(real);
    }
    for (const std::string &file : plan.Kept) {
        const std::string real = RealPath(file);
        const bool inside = std::any_of(hidden.begin(), hidden.end(),
                                        [&](const std::string &h) { return Under(real, h); });
        if (!real.empty() && inside)
            kept.emplace_back(::open(real.c_str(), O_PATH | O_CLOEXEC), real);
    }
    try {
        for (const std::string &folder : hidden)
            TNamespace::HideFolder(folder, 0700, "16m");
        for (const auto &[fd, path] : kept)
            if (fd >= 0)
                PutBack(fd, path);
        for (const auto &[folder, depth] : plan.Searched) {
            struct stat st;
            if (::stat(folder.c_str(), &st) == 0)
                CoverSockets(folder, depth, st.st_dev, plan.Spared);
        }
    } catch (...) {
        for (const auto &[fd, path] : kept)
            ::close(fd);
        throw;
    }
    for (const auto &[fd, path] : kept)
        ::close(fd);
}

std::vector<std::string> THostServices::Environment(const std::vector<std::string> &environment,
                                                    const TDesktop &desktop,
                                                    const TRunAsUser *user) {
    const std::string runtimeFolders[] = {desktop.Runtime,
                                          "/run/user/" + std::to_string(desktop.Uid),
                                          "/tmp/velmora-" + std::to_string(desktop.Uid)};
    std::vector<std::string> result;
    for (const std::string &entry : environment) {
        const std::string name = NameOf(entry);
        if (Listed(name, ServiceVariables) || (!desktop.Sound && Listed(name, SoundVariables)))
            continue;
        const std::string value = entry.substr(std::min(entry.size(), name.size() + 1));
        const bool namesHidden = std::any_of(
            std::begin(runtimeFolders), std::end(runtimeFolders), [&](const std::string &folder) {
                return !folder.empty() && value.find(folder) != std::string::npos;
            });
        if (namesHidden && !Listed(name, DisplayVariables) && !Listed(name, SoundVariables))
            continue;
        result.push_back(entry);
    }
    return user ? ForUser(std::move(result), *user) : result;
}

std::vector<std::string> THostServices::ForUser(std::vector<std::string> environment,
                                                const TRunAsUser &user) {
    std::vector<std::pair<std::string, std::string>> own;
    if (!user.Home.empty())
        own.emplace_back("HOME", user.Home);
    if (!user.Name.empty()) {
        own.emplace_back("USER", user.Name);
        own.emplace_back("LOGNAME", user.Name);
    }
    struct stat st;
    const bool runtime = ::stat(user.RuntimeFolder().c_str(), &st) == 0 && st.st_uid == user.Uid;
    std::erase_if(environment, [](const std::string &entry) {
        const std::string name = NameOf(entry);
        return name == "HOME" || name == "USER" || name == "LOGNAME" || name == "XDG_RUNTIME_DIR";
    });
    if (runtime)
        own.emplace_back("XDG_RUNTIME_DIR", user.RuntimeFolder());
    for (const auto &[name, value] : own)
        environment.push_back(name + "=" + value);
    return environment;
}
