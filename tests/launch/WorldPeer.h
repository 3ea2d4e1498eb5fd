#pragma once
// A Debian proxy serving in a network namespace (the test's world): started
// by nsenter on a fixed address and port, waited for (bounded) until it
// accepts connections there, stopped by its PID with its process group.
// It looks names up in a hosts file of its own (`hosts` lines) and has no
// DNS server, so its look-ups never reach a DNS server of the test. Its
// output goes to a log file in a private folder, removed afterwards.

#include "tests/support/Process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VelmoraTest {

class TWorldPeer {
public:
    ~TWorldPeer();
    TWorldPeer(const TWorldPeer &) = delete;
    TWorldPeer &operator=(const TWorldPeer &) = delete;

    // microsocks on address:port, its outgoing connections bound to
    // `address` as well.
    static std::unique_ptr<TWorldPeer> Microsocks(const std::string &nsPath,
                                                  const std::string &address, uint16_t port,
                                                  const std::string &hosts);
    // danted on address:port, going out from `address`.
    static std::unique_ptr<TWorldPeer> Dante(const std::string &nsPath, const std::string &address,
                                             uint16_t port, const std::string &hosts);

    // tests/launch/clients/socks4a_server.py on address:port: a SOCKS 4
    // proxy that takes names (SOCKS 4a), which no Debian package serves.
    static std::unique_ptr<TWorldPeer> Socks4a(const std::string &nsPath,
                                               const std::string &address, uint16_t port,
                                               const std::string &hosts);

    std::string ReadLog() const;
    pid_t Pid() const { return FProcess ? FProcess->Pid() : -1; }
    void Stop();

private:
    TWorldPeer();
    void Start(const std::vector<std::string> &args, const std::string &nsPath,
               const std::string &address, uint16_t port, const std::string &hosts);
    void WriteFile(const std::string &name, const std::string &text);

    std::string FFolder;
    std::vector<std::string> FFiles;
    std::unique_ptr<TProcess> FProcess;
};

// True once a TCP connection to address:port made inside `nsPath`
// succeeds, false after timeoutMs.
bool WaitAcceptingIn(const std::string &nsPath, const std::string &address, uint16_t port,
                     int timeoutMs);

} // namespace VelmoraTest
