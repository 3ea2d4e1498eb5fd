#include "platform/PortHolder.h"

#include "platform/Socket.h"

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

struct TListener {
    unsigned long Inode = 0;
    uid_t Uid = 0;
};

constexpr const char *Listen = "0A"; // the TCP state LISTEN as the table writes it

// The listeners on `port` in one table; false when it cannot be read.
bool ReadTable(const char *path, uint16_t port, std::vector<TListener> &found) {
    std::ifstream table(path);
    if (!table)
        return false;
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        TListener listener;
        unsigned long timeout = 0;
        in >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> listener.Uid >>
            timeout >> listener.Inode;
        const size_t colon = local.rfind(':');
        if (!in || state != Listen || colon == std::string::npos)
            continue;
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
            found.push_back(listener);
    }
    return true;
}

bool AllDigits(const char *text) {
    for (; *text; ++text)
        if (!std::isdigit(static_cast<unsigned char>(*text)))
            return false;
    return true;
}

// The first process (as far as /proc lets this user see) with a descriptor
// of the socket `inode`.
pid_t ProcessOf(unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return 0;
    pid_t found = 0;
    while (const dirent *process = ::readdir(processes)) {
        if (found || !AllDigits(process->d_name))
            continue;
        const std::string folder = std::string("/proc/") + process->d_name + "/fd";
        DIR *fds = ::opendir(folder.c_str());
        if (!fds)
            continue; // another user's: not visible
        while (const dirent *fd = ::readdir(fds)) {
            char link[64] = {};
            const std::string path = folder + "/" + fd->d_name;
            const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
            if (n > 0 && target == std::string(link, static_cast<size_t>(n))) {
                found = static_cast<pid_t>(std::atol(process->d_name));
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return found;
}

} // namespace

std::optional<TPortHolder::THolder> TPortHolder::Find(uint16_t port) {
    std::vector<TListener> listeners;
    const bool v4 = ReadTable("/proc/net/tcp", port, listeners);
    const bool v6 = ReadTable("/proc/net/tcp6", port, listeners);
    if (!v4 && !v6) {
        // No table to read: whatever answers on the loopback address holds it.
        try {
            TSocket::Connect("127.0.0.1", port, 1000);
            return THolder{};
        } catch (const EVelmoraError &) {
            return std::nullopt;
        }
    }
    if (listeners.empty())
        return std::nullopt;
    THolder holder;
    holder.Uid = listeners.front().Uid;
    holder.UidKnown = true;
    for (const TListener &listener : listeners)
        if ((holder.Pid = ProcessOf(listener.Inode)) != 0) {
            holder.Uid = listener.Uid;
            break;
        }
    if (holder.Pid) {
        std::ifstream comm("/proc/" + std::to_string(holder.Pid) + "/comm");
        std::getline(comm, holder.Name);
    }
    return holder;
}

std::string TPortHolder::Describe(const THolder &holder) {
    const std::string uid = holder.UidKnown ? "uid " + std::to_string(holder.Uid) : "unknown uid";
    if (holder.Pid)
        return (holder.Name.empty() ? std::string("a program") : holder.Name) + " (process " +
               std::to_string(holder.Pid) + ", " + uid + ")";
    return "a process of " + uid +
           " that could not be named (only this user's own processes are visible)";
}
