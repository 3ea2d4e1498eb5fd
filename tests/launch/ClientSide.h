#pragma once
// What the programs of the client namespace run with: an unprivileged user
// (nobody, 65534) with a home, data, configuration and runtime folder of its
// own, copies of the programs it starts in a folder it may read (the build
// tree may sit under a private home), and an /etc/resolv.conf naming the
// stub resolver 127.0.0.53, put in place by a mount namespace of the
// command's own. Everything lives in one temporary folder, removed by the
// destructor.

#include <string>
#include <sys/types.h>
#include <vector>

namespace VelmoraTest {

class TClientSide {
public:
    static constexpr uid_t UserId = 65534;

    // `clientNs`: the client namespace's file. Copies the velmora binary,
    // the two test clients and the Python client into the bin folder.
    explicit TClientSide(const std::string &clientNs);
    ~TClientSide();
    TClientSide(const TClientSide &) = delete;
    TClientSide &operator=(const TClientSide &) = delete;

    // XDG_DATA_HOME; the store is VelmoraAnonymizer/ inside it.
    std::string DataHome() const { return FRoot + "/home/data"; }
    std::string StoreFolder() const { return DataHome() + "/VelmoraAnonymizer/"; }
    // The copies: velmora, static-client, uring-client, name_client.py.
    std::string Bin(const std::string &name) const { return FRoot + "/bin/" + name; }
    // A folder for files the test writes itself (readable by the user).
    std::string Scratch() const { return FRoot + "/scratch"; }
    // XDG_RUNTIME_DIR.
    std::string RuntimeDir() const { return FRoot + "/runtime"; }

    // Gives the user everything under its home (after the test has written
    // the store as root).
    void HandOverHome() const;

    // The command line that runs `command` in the client namespace with the
    // stub's resolv.conf and a clean environment (HOME, XDG_*, PATH, and the
    // sanitizers' options when the test has them), as the unprivileged
    // user, or as root when `asRoot`. `prepare`, when given, is a shell
    // command run first as root in the command's own mount namespace (more
    // mounts, say).
    std::vector<std::string> Command(const std::vector<std::string> &command, bool asRoot = false,
                                     const std::string &prepare = {}) const;

private:
    std::string FClientNs;
    std::string FRoot;
};

} // namespace VelmoraTest
