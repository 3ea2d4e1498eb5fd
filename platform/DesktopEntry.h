#pragma once
// A freedesktop.org desktop entry: the ".desktop" file by which a desktop's
// application menu lists a program. The entry holds the keys of its
// "[Desktop Entry]" group in the order they were set; values are kept as
// the menu shows them and escaped only in the file ("\n", "\t", "\r", "\\",
// "\s" for the spaces at either end). A command line ("Exec") is built and
// taken apart with the desktop's own quoting: an argument holding anything
// but plain characters is put in double quotes, inside which '"', '`', '$'
// and '\' are preceded by a backslash, and a literal '%' is written "%%".
// Besides the file itself: the folders where the desktop looks for
// application entries, the one where this user's own entries go, and the
// icon another entry gives a program.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

class TDesktopEntry {
public:
    static constexpr const char *Group = "Desktop Entry";

    // The value of a key of the group; empty when the key is not there.
    QString Value(const QString &key) const;
    bool Contains(const QString &key) const;
    // Sets a key, keeping its place when it is there already.
    void SetValue(const QString &key, const QString &value);
    const std::vector<std::pair<QString, QString>> &Keys() const { return FKeys; }

    // The file's text (UTF-8): the group's line, then one "Key=Value" line
    // per key. A value with a control character other than a line break, a
    // tab or a carriage return cannot be written: EVelmoraError naming the key.
    QByteArray ToText() const;
    // The keys of the "[Desktop Entry]" group of a file's text (comments,
    // blank lines and other groups are passed over; of a key given twice the
    // first counts). EVelmoraError when the text has no such group.
    static TDesktopEntry FromText(const QByteArray &text);

    // Writes the file in one step (a temporary file renamed over it), making
    // its folder when missing; EVelmoraError with the file and the reason.
    void Save(const QString &path) const;
    // Reads a file; EVelmoraError when it cannot be read or holds no entry.
    static TDesktopEntry Load(const QString &path);
    // Removes a file: false when there was none, EVelmoraError when it stays.
    static bool Remove(const QString &path);

    // One argument of a command line, quoted when it needs to be.
    static QString QuoteArgument(const QString &argument);
    // A command line of these arguments, each quoted as needed.
    static QString CommandLine(const QStringList &arguments);
    // The arguments of a command line, the quoting undone and "%%" read as
    // '%'; field codes such as "%u" are left as they are. EVelmoraError for
    // a quote that is never closed.
    static QStringList SplitCommandLine(const QString &commandLine);

    // A name as a part of a file name: lower case, every run of characters
    // other than a-z, 0-9, '.', '_' and '-' made one '-'; "." and ".." and
    // a name left empty give an empty text.
    static QString SafeName(const QString &name);

    // The folders searched for application entries, this user's first
    // ($XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS).
    static QStringList ApplicationFolders();
    // This user's own folder of application entries.
    static QString UserApplicationFolder();
    // The "Icon" of the first application entry (searched folder by folder,
    // sub-folders included, file names in order) whose "TryExec" or whose
    // command's first word names a file of the same name as `program`'s,
    // letter case aside; entries marked "Hidden" and entries without an icon
    // are passed over, and so is every later entry of the same ID (its path
    // below the folder, '/' read as '-'), as the desktop's menu does. Empty
    // when no entry matches.
    static QString FindIcon(const QString &program);

private:
    std::vector<std::pair<QString, QString>> FKeys;
};
