#pragma once
// `velmora run`: one program run through one chain.
//
// The chain is named (by name or port), else it is the chain of the
// anonymized program whose file name matches the program's. When the
// running Velmora (reached through its hand-off socket, checked to be this
// user's) confirms that it runs the chain, the program's connections are
// handed to it; otherwise the chain runs in this process on a free loopback
// port, provided every proxy of it is known to work and nothing else holds
// the chain's own port (whatever holds it is named, and nothing runs). The program then runs in a
// network of its own (TConfinedProgram), every connection and look-up of it carried by a
// TRedirector; or, with Preload, under libproxychains4, which statically
// linked programs, io_uring and UDP escape. Started by root, the program
// runs as the user who asked for it through sudo, or the one named.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "platform/Error.h"

class TdmProxyData;
class TStartReport;

// A launch that cannot be made as asked: bad arguments, no chain.
class ELaunchUsage : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};

class TProgramLaunch {
public:
    struct TOptions {
        QString Chain;        // name or port; empty: the program's own
        bool Preload = false; // LD_PRELOAD instead of namespaces
        bool Verbose = false; // the activity of a chain run here goes to OnLine
        bool NoSound = false; // the sound server's sockets are hidden too
        QString User;         // whom root runs the program as; empty: SUDO_UID's user
        QStringList Program;  // the program and its arguments
    };

    // The program's exit status (with namespaces, the process ends with it
    // once the program has run, without returning). Errors before the
    // program starts throw (ELaunchUsage or EVelmoraError). A starter that
    // passed a descriptor in StartReportVariable is told "started" once the
    // program runs, or the error (TStartReport).
    static int Run(TdmProxyData &store, const TOptions &options,
                   const std::function<void(const QString &line)> &onLine);

    // Parses "[--chain NAME|PORT] [--preload] [--verbose] [--no-sound]
    // [--user NAME] PROGRAM [ARGS...]"; throws ELaunchUsage.
    static TOptions Parse(const QStringList &args);

    // The UID of the chain for the program; throws ELaunchUsage that lists
    // the chains when there is none.
    static int32_t ChooseChain(TdmProxyData &store, const QString &chain, const QString &program);

    // The proxychains configuration for one SOCKS 5 hop to 127.0.0.1:port.
    static QString PreloadConfig(uint16_t port);

private:
    static int Launch(TdmProxyData &store, const TOptions &options,
                      const std::function<void(const QString &line)> &onLine, TStartReport &report);
};
