#include "tests/support/Topology.h"

#include "tests/support/Peers.h"
#include "tests/support/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace VelmoraTest {

namespace {

const std::string kNamePrefix = "velmora-launch-";

std::string NsPath(const std::string &name) {
    return "/run/netns/" + name;
}

// True while `pid` runs: it exists and is not a zombie waiting to be reaped.
bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // "PID (COMMAND) STATE ...": the state follows the last ')'.
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

} // namespace

bool TTopology::Possible(std::string &why) {
    if (::geteuid() != 0) {
        why = "network namespaces and veth pairs need root";
        return false;
    }
    for (const char *tool : {"ip", "nsenter", "unshare", "setpriv"})
        if (!ProgramAvailable(tool)) {
            why = std::string("`") + tool + "` is missing (packages iproute2, util-linux)";
            return false;
        }
    return true;
}

TTopology::TTopology() {
    RemoveStale();
    const std::string pid = std::to_string(::getpid());
    FWorldName = kNamePrefix + "w" + pid;
    FClientName = kNamePrefix + "c" + pid;
    FWorldPath = NsPath(FWorldName);
    FClientPath = NsPath(FClientName);
    FPrefix = "10.77." + std::to_string(::getpid() % 200 + 20) + ".";
    try {
        Run({"ip", "netns", "add", FWorldName});
        FWorldMade = true;
        Run({"ip", "netns", "add", FClientName});
        FClientMade = true;
        // The pair is made inside the namespaces, so no name of it is ever
        // seen in the machine's own network.
        Run({"ip", "link", "add", "vworld", "netns", FWorldName, "type", "veth", "peer", "name",
             "vclient", "netns", FClientName});
        const auto world = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"nsenter", "--net=" + FWorldPath});
            Run(args);
        };
        const auto client = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"nsenter", "--net=" + FClientPath});
            Run(args);
        };
        world({"ip", "link", "set", "lo", "up"});
        world({"ip", "addr", "add", WorldAddress() + "/24", "dev", "vworld"});
        world({"ip", "addr", "add", LastHopAddress() + "/24", "dev", "vworld"});
        world({"ip", "-6", "addr", "add", std::string(WorldAddress6) + "/64", "dev", "vworld",
               "nodad"});
        world({"ip", "link", "set", "vworld", "up"});
        client({"ip", "link", "set", "lo", "up"});
        client({"ip", "addr", "add", ClientAddress() + "/24", "dev", "vclient"});
        client({"ip", "-6", "addr", "add", std::string(ClientAddress6) + "/64", "dev", "vclient",
                "nodad"});
        client({"ip", "link", "set", "vclient", "up"});
        client({"sh", "-c", "echo 0 2147483647 > /proc/sys/net/ipv4/ping_group_range"});
    } catch (...) {
        Delete();
        throw;
    }
}

TTopology::~TTopology() {
    Delete();
}

void TTopology::Delete() {
    // Deleting drops the name; the namespace itself ends with its last
    // process, and the veth pair with it.
    if (FClientMade)
        RunProgram({"ip", "netns", "delete", FClientName}, 10000);
    if (FWorldMade)
        RunProgram({"ip", "netns", "delete", FWorldName}, 10000);
    FClientMade = FWorldMade = false;
}

void TTopology::Run(const std::vector<std::string> &args) {
    const TRunResult r = RunProgram(args, 10000);
    if (r.ExitCode != 0) {
        std::string line;
        for (const std::string &a : args)
            line += a + " ";
        throw std::runtime_error(line + "failed: " + r.Out + r.Err);
    }
}

std::string TTopology::MakeTempFolder(const std::string &kind) {
    std::string path = "/tmp/" + kNamePrefix + kind + "-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(path.data()))
        throw std::runtime_error("cannot create a temporary folder: " + path);
    return path;
}

void TTopology::RemoveStale() {
    // Temporary folders: velmora-launch-KIND-PID-XXXXXX.
    if (DIR *tmp = ::opendir("/tmp")) {
        std::vector<std::string> old;
        while (dirent *e = ::readdir(tmp)) {
            const std::string name = e->d_name;
            const size_t dash = name.find('-', kNamePrefix.size());
            if (name.rfind(kNamePrefix, 0) != 0 || dash == std::string::npos)
                continue;
            const pid_t owner = std::atoi(name.c_str() + dash + 1);
            if (owner > 0 && !Alive(owner))
                old.push_back("/tmp/" + name);
        }
        ::closedir(tmp);
        for (const std::string &folder : old) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }

    DIR *dir = ::opendir("/run/netns");
    if (!dir)
        return;
    std::vector<std::string> stale;
    while (dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(kNamePrefix, 0) != 0 || name.size() < kNamePrefix.size() + 2)
            continue;
        const pid_t owner = std::atoi(name.c_str() + kNamePrefix.size() + 1);
        if (owner > 0 && !Alive(owner))
            stale.push_back(name);
    }
    ::closedir(dir);
    for (const std::string &name : stale) {
        // The peers that test started there outlived it; they end with it.
        std::istringstream pids(RunProgram({"ip", "netns", "pids", name}, 10000).Out);
        for (pid_t pid; pids >> pid;)
            ::kill(pid, SIGKILL);
        RunProgram({"ip", "netns", "delete", name}, 10000);
    }
}

int TTopology::InNetwork(const std::string &nsPath, const std::function<int()> &make) {
    int result = -1;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            const int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0)
                throw std::runtime_error("cannot open " + nsPath + ": " + std::strerror(errno));
            const int rc = ::setns(ns, CLONE_NEWNET);
            const int code = errno;
            ::close(ns);
            if (rc < 0)
                throw std::runtime_error("cannot enter " + nsPath + ": " + std::strerror(code));
            result = make();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

} // namespace VelmoraTest
