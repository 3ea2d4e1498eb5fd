#include "tests/launch/ClientSide.h"

#include "tests/support/Process.h"
#include "tests/support/Topology.h"
#include "tests/support/VelmoraProcess.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace VelmoraTest {

namespace fs = std::filesystem;

TClientSide::TClientSide(const std::string &clientNs) : FClientNs(clientNs) {
    FRoot = TTopology::MakeTempFolder("client");
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(FRoot, readable);
    for (const char *folder : {"bin", "scratch"}) {
        fs::create_directory(FRoot + "/" + folder);
        fs::permissions(FRoot + "/" + folder, readable);
    }
    for (const char *folder : {"home", "home/data", "home/config", "runtime"}) {
        fs::create_directory(FRoot + "/" + folder);
        fs::permissions(FRoot + "/" + folder, fs::perms::owner_all);
    }
    const std::pair<std::string, std::string> copies[] = {
        {TVelmoraProcess::Binary(), "velmora"},
        {VELMORA_LAUNCH_STATIC_CLIENT, "static-client"},
        {VELMORA_LAUNCH_URING_CLIENT, "uring-client"},
        {std::string(VELMORA_SOURCE_DIR) + "/tests/launch/clients/name_client.py",
         "name_client.py"},
    };
    for (const auto &[from, name] : copies) {
        fs::copy_file(from, Bin(name), fs::copy_options::overwrite_existing);
        fs::permissions(Bin(name), readable);
    }
    std::ofstream(FRoot + "/resolv.conf") << "nameserver 127.0.0.53\n";
    fs::permissions(FRoot + "/resolv.conf", fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
    HandOverHome();
}

TClientSide::~TClientSide() {
    std::error_code ignored;
    fs::remove_all(FRoot, ignored);
}

void TClientSide::HandOverHome() const {
    const std::string owner = std::to_string(UserId) + ":" + std::to_string(UserId);
    for (const char *folder : {"/home", "/runtime"})
        RunProgram({"chown", "-R", owner, FRoot + folder}, 10000);
}

std::vector<std::string> TClientSide::Command(const std::vector<std::string> &command, bool asRoot,
                                              const std::string &prepare) const {
    // The stub's resolv.conf for this command and its children only.
    const std::string script = "mount --bind \"$0\" /etc/resolv.conf && " +
                               (prepare.empty() ? "" : prepare + " && ") + "exec \"$@\"";
    std::vector<std::string> line{"nsenter", "--net=" + FClientNs, "unshare",
                                  "--mount", "--propagation",      "private"};
    line.insert(line.end(), {"sh", "-c", script, FRoot + "/resolv.conf"});
    if (!asRoot) {
        const std::string id = std::to_string(UserId);
        line.insert(line.end(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                 "--inh-caps=-all", "--"});
    }
    line.insert(line.end(), {"env", "-i", "HOME=" + FRoot + "/home", "XDG_DATA_HOME=" + DataHome(),
                             "XDG_CONFIG_HOME=" + FRoot + "/home/config",
                             "XDG_RUNTIME_DIR=" + FRoot + "/runtime",
                             "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                             "LANG=C.UTF-8"});
    // A sanitizer build's options reach the program under test too.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char *value = std::getenv(name))
            line.push_back(std::string(name) + "=" + value);
    line.insert(line.end(), command.begin(), command.end());
    return line;
}

} // namespace VelmoraTest
