#pragma once
// An anonymized program's entry in the desktop's application menu:
// "velmora-NAME.desktop" in this user's applications folder, NAME being the
// program's file name made safe for a file name. The entry runs
// "velmora run --chain CHAIN PROGRAM" with the velmora binary that wrote it,
// under the program's own icon when another menu entry gives it one. The
// entry carries the UID of the row it was written for, so that deleting or
// editing a row touches its own entry only, never another program's that
// came out under the same file name or a file the user made.

#include "platform/DesktopEntry.h"
#include "ui/logic/ProgramChains.h"

#include <QString>

class TProgramMenuEntry {
public:
    static constexpr const char *OwnerKey = "X-Velmora-Program-UID";
    static constexpr const char *FallbackIcon = "application-x-executable";

    // "velmora-firefox.desktop" for "/usr/bin/Firefox"; "velmora-program.desktop"
    // when nothing of the name is left.
    static QString FileName(const QString &program);
    // The entry's file in this user's applications folder.
    static QString Path(const QString &program);

    // The entry that runs the program through its chain with the velmora
    // binary `velmoraPath`, under `icon`. A marked program throws
    // EVelmoraError with its refusal.
    static TDesktopEntry Compose(const TAnonymProgram &program, const TProgramChains &chains,
                                 const QString &velmoraPath, const QString &icon);

    enum class TOwner {
        oNone,  // no file there
        oThis,  // written for this row
        oOther, // written for another row, by hand, or unreadable
    };
    static TOwner OwnerOf(const TAnonymProgram &program);

    // Writes the program's entry over whatever stands at its path, with the
    // program's own icon where found; returns the path.
    static QString Write(const TAnonymProgram &program, const TProgramChains &chains,
                         const QString &velmoraPath);
    // After the row was deleted: removes the entry written for it. Returns
    // the path removed; empty when the row had none.
    static QString RemoveFor(const TAnonymProgram &program);
    // After the row was edited: when it had an entry (under its former name),
    // writes the entry anew for the row as it is now and removes the former
    // file when the name changed. Returns the path written; empty when the
    // row had none.
    static QString Follow(const TAnonymProgram &before, const TAnonymProgram &after,
                          const TProgramChains &chains, const QString &velmoraPath);
};
