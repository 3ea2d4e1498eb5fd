#pragma once
// A program run in a network of its own. A holder process is forked; it
// enters a new user, network and mount namespace (no root needed), makes
// loopback the only route, loads netfilter rules that turn every TCP
// connection leaving loopback to a TCP listener and every DNS query to a
// UDP listener, makes those listeners, gives the namespace its own
// resolv.conf and "hosts: files dns" and hides the sockets of host-wide
// caching resolvers and every local service of the host but the display
// and sound (THostServices), then hands the listeners to this process
// (SCM_RIGHTS) and waits. Start() lets it run the program, by exec, with every capability
// dropped; the holder then reaps the program and every process the program
// started (it is their subreaper) and ends with the program's status.
// Started by root, the holder first becomes the user the program is for,
// so the namespace, the program and the files it touches are that user's.
// The program gets the descriptor limit the user had.
//
// The holder dies with this process; the program, left without its
// listeners, can then reach nothing outside.

#include "platform/RunAsUser.h"
#include "platform/Socket.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TConfinedProgram {
public:
    struct TListeners {
        std::vector<TSocket> Tcp; // 127.0.0.1 and ::1, one port
        std::vector<TSocket> Udp; // the DNS listeners, 127.0.0.1 and ::1
    };

    struct TSettings {
        bool Sound = true;              // PulseAudio's and PipeWire's sockets stay
        std::optional<TRunAsUser> User; // whom to run as (when started by root)
    };

    TConfinedProgram(std::vector<std::string> argv, TSettings settings);
    ~TConfinedProgram(); // a holder still running is killed
    TConfinedProgram(const TConfinedProgram &) = delete;
    TConfinedProgram &operator=(const TConfinedProgram &) = delete;

    // Forks the holder and waits until its namespace is ready. Throws
    // EVelmoraError with the holder's message; ENamespaceRefused when the
    // system refused the namespaces (the message names the cause and fix).
    TListeners Prepare();
    // The holder runs the program and says whether it started; throws
    // EVelmoraError with "Cannot run "PROGRAM": REASON" when it did not.
    void Start();
    // Waits for the program and all it started; its exit status (128 +
    // signal when a signal ended it; 127 when it could not be run).
    int Wait();
    // Passes a signal on to the program (through the holder).
    void Signal(int signal);
    pid_t HolderPid() const { return FHolder; }

    // The netfilter rules of the namespace for listeners on tcpPort (TCP)
    // and dnsPort (UDP).
    static std::string Rules(uint16_t tcpPort, uint16_t dnsPort);

    // "The program's network could not be made (STEP): CAUSE", the cause
    // being the failed call's own message with its errno text.
    static std::string NetworkFailure(const std::string &step, const std::string &cause);
    // What became of a holder that ended before its network was ready, from
    // its wait status: its exit status, or the signal that killed it.
    static std::string HolderEnd(int status);
    static constexpr const char *NetworkFailed = "The program's network could not be made";

private:
    std::vector<std::string> FArgv;
    TSettings FSettings;
    pid_t FHolder = -1;
    int FControl = -1; // this side of the holder's socket pair
};
