#include "tests/launch/WorldPeer.h"

#include "platform/Socket.h"
#include "tests/support/Topology.h"
#include "tests/support/Wait.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraTest {

bool WaitAcceptingIn(const std::string &nsPath, const std::string &address, uint16_t port,
                     int timeoutMs) {
    return WaitFor(
        [&] {
            return TTopology::InNetwork(nsPath, [&] {
                       try {
                           TSocket::Connect(address, port, 500);
                           return 1;
                       } catch (const std::exception &) {
                           return 0;
                       }
                   }) == 1;
        },
        timeoutMs, [] { ::usleep(20 * 1000); });
}

TWorldPeer::TWorldPeer() {
    FFolder = TTopology::MakeTempFolder("peer");
    // danted serves as "nobody" and still writes its pid file here.
    ::chmod(FFolder.c_str(), 0777);
}

TWorldPeer::~TWorldPeer() {
    Stop();
    for (const std::string &name : FFiles)
        ::unlink((FFolder + "/" + name).c_str());
    ::rmdir(FFolder.c_str());
}

void TWorldPeer::Stop() {
    if (FProcess)
        FProcess->Stop(5000);
    FProcess.reset();
}

std::string TWorldPeer::ReadLog() const {
    std::ifstream in(FFolder + "/peer.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void TWorldPeer::WriteFile(const std::string &name, const std::string &text) {
    FFiles.push_back(name);
    std::ofstream out(FFolder + "/" + name, std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + FFolder + "/" + name);
    ::chmod((FFolder + "/" + name).c_str(), 0644);
}

void TWorldPeer::Start(const std::vector<std::string> &args, const std::string &nsPath,
                       const std::string &address, uint16_t port, const std::string &hosts) {
    WriteFile("hosts", "127.0.0.1 localhost\n" + hosts);
    WriteFile("resolv.conf", "nameserver 127.0.0.1\n");
    // Its own /etc/hosts and /etc/resolv.conf, in a mount namespace of its
    // own: names are looked up in the file, never by a DNS server of the test.
    std::vector<std::string> command{
        "nsenter",
        "--net=" + nsPath,
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "sh",
        "-c",
        "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/resolv.conf && shift 2 && "
        "exec \"$@\"",
        "sh",
        FFolder + "/hosts",
        FFolder + "/resolv.conf"};
    command.insert(command.end(), args.begin(), args.end());
    TProcess::TOptions options;
    options.Output = TProcess::TOutput::LogFile;
    options.LogFile = FFolder + "/peer.log";
    FFiles.push_back("peer.log");
    FProcess = std::make_unique<TProcess>(command, options);
    if (!WaitAcceptingIn(nsPath, address, port, 10000) || !FProcess->Running())
        throw std::runtime_error(args[0] + " did not start; its log:\n" + ReadLog());
}

std::unique_ptr<TWorldPeer> TWorldPeer::Microsocks(const std::string &nsPath,
                                                   const std::string &address, uint16_t port,
                                                   const std::string &hosts) {
    std::unique_ptr<TWorldPeer> peer(new TWorldPeer());
    peer->Start({"microsocks", "-i", address, "-p", std::to_string(port), "-b", address}, nsPath,
                address, port, hosts);
    return peer;
}

std::unique_ptr<TWorldPeer> TWorldPeer::Dante(const std::string &nsPath, const std::string &address,
                                              uint16_t port, const std::string &hosts) {
    std::unique_ptr<TWorldPeer> peer(new TWorldPeer());
    const std::string &f = peer->FFolder;
    peer->WriteFile("peer.conf", "logoutput: stderr\n"
                                 "internal: " +
                                     address + " port = " + std::to_string(port) +
                                     "\n"
                                     "external: " +
                                     address +
                                     "\n"
                                     "clientmethod: none\n"
                                     "socksmethod: none\n"
                                     "user.privileged: root\n"
                                     "user.unprivileged: nobody\n"
                                     "client pass {\n"
                                     "    from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                                     "    log: connect error\n"
                                     "}\n"
                                     "socks pass {\n"
                                     "    from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                                     "    log: connect error\n"
                                     "}\n");
    peer->FFiles.push_back("peer.pid");
    peer->Start({"danted", "-f", f + "/peer.conf", "-p", f + "/peer.pid"}, nsPath, address, port,
                hosts);
    return peer;
}

std::unique_ptr<TWorldPeer> TWorldPeer::Socks4a(const std::string &nsPath,
                                                const std::string &address, uint16_t port,
                                                const std::string &hosts) {
    std::unique_ptr<TWorldPeer> peer(new TWorldPeer());
    peer->Start({"python3", "-u",
                 std::string(VELMORA_SOURCE_DIR) + "/tests/launch/clients/socks4a_server.py",
                 address, std::to_string(port)},
                nsPath, address, port, hosts);
    return peer;
}

} // namespace VelmoraTest
