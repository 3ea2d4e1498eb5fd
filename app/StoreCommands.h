#pragma once
// The commands of the command line that change the store (import, check,
// chain add), run against a store with their output handed to `out`. The
// command line runs them itself when no instance runs (holding the data
// folder's lock); a running instance runs them on its own store when the
// command line sends them as a "change" request, so its memory and the
// files stay one.
//
// `args` are the words after "velmora"; import's text stands in the place of
// its file (ReadImportText). A bad command throws before anything changed:
// ECommandUsage for one the usage answers, EVelmoraError for the rest.

#include "platform/Error.h"

#include <QString>
#include <QStringList>
#include <functional>

class TdmProxyData;

class ECommandUsage : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};

struct TCommandOutput {
    std::function<void(const QString &line)> Out; // standard output
    std::function<void(const QString &line)> Err; // standard error
};

class TStoreCommands {
public:
    // True for the words of a command that changes the store.
    static bool Changes(const QStringList &args);
    // import's one optional FILE (standard input without one), read whole.
    static QString ReadImportText(const QStringList &importArgs);
    // Runs the command; `done` is called once with its exit status: at once,
    // or for check when the last result is in (the caller's event loop must
    // run until then).
    static void Run(TdmProxyData &store, const QStringList &args, const TCommandOutput &out,
                    const std::function<void(int status)> &done);
};
