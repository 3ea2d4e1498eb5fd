#pragma once
// What a confined program still reaches of this machine's local services
// through the file system: the display and, unless asked otherwise, the
// sound server, nothing else. Unix sockets with a name in the file system
// are shared by every network namespace, so the program's mount namespace
// covers them: an empty tmpfs over the user's runtime folder (the session
// bus, systemd's user sockets, Velmora's own sockets, the agents), over
// Velmora's fallback folder in /tmp and the system bus's folder, with the
// display's and sound's sockets put back by bind mounts; and every other
// socket found in /run and /tmp (systemd's private sockets, a terminal
// multiplexer's, an agent's) has /dev/null mounted over it, so that a
// connection to it is refused. Abstract sockets belong to the network
// namespace and are out of reach already.
//
// Applied in the holder, in its new mount namespace, while it still has
// the capabilities there; the plan and the program's environment are
// worked out before it is forked.

#include <string>
#include <sys/types.h>
#include <vector>

class TRunAsUser;

class THostServices {
public:
    // What the program runs with.
    struct TDesktop {
        uid_t Uid = 0;
        std::string Runtime;    // the runtime folder ($XDG_RUNTIME_DIR), may be empty
        std::string Wayland;    // $WAYLAND_DISPLAY: a name in Runtime, or a path
        std::string XAuthority; // $XAUTHORITY
        bool Sound = true;      // PulseAudio's and PipeWire's sockets stay
    };

    struct TPlan {
        std::vector<std::string> Hidden; // folders covered by an empty tmpfs
        std::vector<std::string> Kept;   // files inside them put back
        // Folders searched for other sockets, each to a depth.
        std::vector<std::pair<std::string, int>> Searched;
        std::vector<std::string> Spared; // paths (or folders, ending in '/') the search leaves
    };

    static TPlan Plan(const TDesktop &desktop);
    // Mounts the plan in the current mount namespace; throws EVelmoraError.
    static void Apply(const TPlan &plan);

    // The program's environment from this process's ("NAME=value" each):
    // without the addresses of the session and system bus, the agents and
    // whatever else names the hidden runtime folder (the display's and
    // sound's own variables stay, the sound's only with Sound), and, for a
    // program run as another user, with that user's HOME, USER, LOGNAME
    // and runtime folder.
    static std::vector<std::string> Environment(const std::vector<std::string> &environment,
                                                const TDesktop &desktop, const TRunAsUser *user);
    // Only the user's part of that (for a program run without a namespace).
    static std::vector<std::string> ForUser(std::vector<std::string> environment,
                                            const TRunAsUser &user);
};
