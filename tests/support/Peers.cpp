#include "tests/support/Peers.h"

#include "tests/support/Wait.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraTest {

namespace {

std::string MakeFolder() {
    char tmpl[] = "/tmp/velmora-peer-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("cannot create a temporary folder");
    // Peers that drop their privileges (danted as root) still write here.
    ::chmod(tmpl, 0777);
    return tmpl;
}

void RemoveFolder(const std::string &folder) {
    if (folder.empty())
        return;
    // Only the files this helper made: configuration, log and pid files.
    for (const char *name : {"peer.conf", "peer.log", "peer.pid"})
        ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
}

} // namespace

bool ProgramAvailable(const std::string &program) {
    std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

TPeerProcess::TPeerProcess() : FFolder(MakeFolder()), FLogFile(FFolder + "/peer.log") {}

TPeerProcess::~TPeerProcess() {
    Stop();
    RemoveFolder(FFolder);
}

std::string TPeerProcess::ReadLog() const {
    std::ifstream in(FLogFile);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void TPeerProcess::WriteFile(const std::string &path, const std::string &text) const {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool TPeerProcess::Running() {
    return FProcess && FProcess->Running();
}

void TPeerProcess::Start(const std::function<std::vector<std::string>(uint16_t)> &makeArgs) {
    FMakeArgs = makeArgs;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = FreeLoopbackPort();
        if (Launch(makeArgs(port), port))
            return;
        Stop();
    }
    throw std::runtime_error("peer did not start; its log:\n" + ReadLog());
}

void TPeerProcess::Restart() {
    Stop();
    if (!FMakeArgs || !Launch(FMakeArgs(FPort), FPort))
        throw std::runtime_error("peer did not start again; its log:\n" + ReadLog());
}

bool TPeerProcess::Launch(const std::vector<std::string> &args, uint16_t port) {
    TProcess::TOptions options;
    options.Output = TProcess::TOutput::LogFile;
    options.LogFile = FLogFile;
    FProcess = std::make_unique<TProcess>(args, options);
    FPort = port;
    bool exited = false;
    const bool up = WaitFor(
        [&] {
            exited = !FProcess->Running();
            return exited || WaitAccepting(port, 200);
        },
        10000, [] { ::usleep(20 * 1000); });
    return up && !exited;
}

void TPeerProcess::Stop() {
    if (FProcess)
        FProcess->Stop(5000);
    FProcess.reset();
}

TMicrosocksPeer::TMicrosocksPeer(const std::string &listen) {
    Start([listen](uint16_t port) {
        return std::vector<std::string>{"microsocks", "-i", listen, "-p", std::to_string(port)};
    });
}

// Dante's rules letting every loopback client through to anywhere, each
// connection logged.
const char *const kDanteLoopbackRules = "client pass {\n"
                                        "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                        "    log: connect error\n"
                                        "}\n"
                                        "socks pass {\n"
                                        "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                        "    log: connect error\n"
                                        "}\n";

TTinyproxyPeer::TTinyproxyPeer() {
    const std::string conf = Folder() + "/peer.conf";
    Start([=, this](uint16_t port) {
        WriteFile(conf, "Port " + std::to_string(port) +
                            "\n"
                            "Listen 127.0.0.1\n"
                            "Timeout 600\n"
                            "Allow 127.0.0.1\n"
                            "LogLevel Connect\n"
                            "MaxClients 200\n");
        return std::vector<std::string>{"tinyproxy", "-d", "-c", conf};
    });
}

TDantePeer::TDantePeer() : TDantePeer(kDanteLoopbackRules) {}

TDantePeer::TDantePeer(const std::string &rules, const std::string &external) {
    const std::string conf = Folder() + "/peer.conf";
    const std::string pidFile = Folder() + "/peer.pid";
    const std::string users = ::geteuid() == 0 ? "user.privileged: root\n"
                                                 "user.unprivileged: nobody\n"
                                               : "";
    Start([=, this](uint16_t port) {
        WriteFile(conf, "logoutput: stderr\n"
                        "internal: 127.0.0.1 port = " +
                            std::to_string(port) +
                            "\n"
                            "external: " +
                            external +
                            "\n"
                            "clientmethod: none\n"
                            "socksmethod: none\n" +
                            users + rules);
        return std::vector<std::string>{"danted", "-f", conf, "-p", pidFile};
    });
}

TDanteExitPeer::TDanteExitPeer(const std::string &external)
    : TDantePeer(kDanteLoopbackRules, external), FExternal(external) {}

TEchoServer::TEchoServer() : FListener(&TEchoServer::Serve) {}

void TEchoServer::Serve(TSocket &client) {
    const int fd = client.Fd();
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::shutdown(fd, SHUT_WR);
            return;
        }
        if (!SendAll(fd, buffer.data(), size_t(got)))
            return;
    }
}

} // namespace VelmoraTest
