#pragma once
// Two network namespaces joined by a veth pair, made for one test and
// deleted with it:
//
//   world   10.77.N.1 and 10.77.N.3, fd77::1   the destination, the DNS sink,
//                                              the proxies (dante on .3)
//   client  10.77.N.2, fd77::2                 Velmora and the programs
//
// Both have loopback up, and the client namespace lets every group open ping
// sockets, so that a program run there directly can ping the world. The
// names carry this process's pid, so tests
// running side by side never meet; namespaces left by a test process that
// was killed (its pid gone) are deleted on the way, with what still runs
// in them, and so are its temporary folders. Needs root and `ip`.

#include <functional>
#include <string>
#include <vector>

namespace VelmoraTest {

class TTopology {
public:
    // Throws std::runtime_error with the failing command and its output.
    TTopology();
    // Deletes both namespaces; the veth pair goes with them once the last
    // process inside has ended.
    ~TTopology();
    TTopology(const TTopology &) = delete;
    TTopology &operator=(const TTopology &) = delete;

    // The namespaces' files (/run/netns/NAME), for nsenter --net= and setns.
    const std::string &World() const { return FWorldPath; }
    const std::string &Client() const { return FClientPath; }

    std::string WorldAddress() const { return FPrefix + "1"; }   // destination, sink, microsocks
    std::string ClientAddress() const { return FPrefix + "2"; }  // the programs' own
    std::string LastHopAddress() const { return FPrefix + "3"; } // dante's, in and out
    static constexpr const char *WorldAddress6 = "fd77::1";
    static constexpr const char *ClientAddress6 = "fd77::2";

    // Runs `make` on a thread of its own that has entered the network
    // namespace `nsPath`: sockets it opens belong to that network. Returns
    // what `make` returns; rethrows what it throws.
    static int InNetwork(const std::string &nsPath, const std::function<int()> &make);

    // True when this machine lets the tests build the topology: root and
    // `ip` at hand. `why` says what is missing.
    static bool Possible(std::string &why);

    // A new temporary folder for `kind` of this test process
    // (/tmp/velmora-launch-KIND-PID-XXXXXX), so that the folders of a test
    // process that was killed are found and removed too.
    static std::string MakeTempFolder(const std::string &kind);

private:
    void Run(const std::vector<std::string> &args);
    void Delete();
    static void RemoveStale();

    std::string FWorldName, FClientName;
    std::string FWorldPath, FClientPath;
    std::string FPrefix;
    bool FWorldMade = false;
    bool FClientMade = false;
};

} // namespace VelmoraTest
