#pragma once
// The files that come with the program: the theme (Style.vsf) and the user
// guide (readme.txt). Each is looked for in the working directory first (a
// checkout started by ./scripts/run.sh), then in "velmora/" of this user's
// and the system's data folders ($XDG_DATA_HOME, then each of
// $XDG_DATA_DIRS), then in the data folder of the installation the program
// runs from (found beside the program, so a copy installed under any prefix
// finds its own), then in the data folder it was built to be installed to.

#include <QString>
#include <QStringList>
#include <optional>

class TProgramFiles {
public:
    static const QString ThemeFile; // "Style.vsf"
    static const QString HelpFile;  // "readme.txt"

    // The folders searched, in order, each once; absolute and cleaned.
    static QStringList Folders();
    // The absolute path of `name` in the first folder that has it as a
    // readable file; empty when none has.
    static QString Locate(const QString &name);
    static QString Locate(const QString &name, const QStringList &folders);

    // Tests: searches these folders instead of the standard ones until
    // given std::nullopt.
    static void SetFolders(std::optional<QStringList> folders);
};
