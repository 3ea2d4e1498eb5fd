#include "platform/DesktopEntry.h"

#include "platform/Error.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Characters an argument may hold without quotes: nothing a command-line
// reader treats specially, and nothing outside plain ASCII.
bool PlainArgumentChar(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'_' || u == u'-' || u == u'.' || u == u'/' || u == u'+' || u == u',' ||
           u == u':' || u == u'@' || u == u'=' || u == u'%';
}

bool ForbiddenControl(QChar c) {
    const char16_t u = c.unicode();
    return (u < 0x20 && u != u'\n' && u != u'\t' && u != u'\r') || u == 0x7f;
}

// The characters a value carries escaped, each with the letter after its
// backslash.
constexpr std::pair<char16_t, char16_t> kEscapes[] = {
    {u'\\', u'\\'}, {u'\n', u'n'}, {u'\t', u't'}, {u'\r', u'r'}, {u' ', u's'}};

// The letter that stands for `c` after a backslash; 0 for a character kept
// as it is.
char16_t EscapeLetter(char16_t c) {
    for (const auto &[plain, letter] : kEscapes)
        if (plain == c)
            return letter;
    return 0;
}

QString EscapeValue(const QString &value) {
    // Readers drop the spaces around '=' (and some the ones at the line's
    // end): the spaces at either end of the value are kept only escaped.
    qsizetype first = 0;
    while (first < value.size() && value.at(first) == u' ')
        ++first;
    qsizetype last = value.size();
    while (last > first && value.at(last - 1) == u' ')
        --last;
    QString out;
    out.reserve(value.size() + 8);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        const char16_t letter = EscapeLetter(c.unicode());
        if (letter == 0 || (c == u' ' && i >= first && i < last)) {
            out += c;
        } else {
            out += u'\\';
            out += QChar(letter);
        }
    }
    return out;
}

QString UnescapeValue(const QString &value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        const auto escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                         [&](const auto &e) { return e.second == next; });
        if (escape != std::end(kEscapes)) {
            out += QChar(escape->first);
        } else {
            // Not a string escape: left for the reader of the value (a
            // command line's "\$", a list's "\;").
            out += c;
            out += next;
        }
    }
    return out;
}

} // namespace

QString TDesktopEntry::Value(const QString &key) const {
    for (const auto &[k, v] : FKeys)
        if (k == key)
            return v;
    return {};
}

bool TDesktopEntry::Contains(const QString &key) const {
    return std::any_of(FKeys.begin(), FKeys.end(), [&](const auto &kv) { return kv.first == key; });
}

void TDesktopEntry::SetValue(const QString &key, const QString &value) {
    for (auto &[k, v] : FKeys) {
        if (k == key) {
            v = value;
            return;
        }
    }
    FKeys.emplace_back(key, value);
}

QByteArray TDesktopEntry::ToText() const {
    QString text = QStringLiteral("[%1]\n").arg(QLatin1String(Group));
    for (const auto &[key, value] : FKeys) {
        if (std::any_of(value.begin(), value.end(), ForbiddenControl))
            throw EVelmoraError(
                QStringLiteral("The menu entry's %1 holds a control character, which a menu "
                               "entry cannot carry.")
                    .arg(key));
        text += key + u'=' + EscapeValue(value) + u'\n';
    }
    return text.toUtf8();
}

TDesktopEntry TDesktopEntry::FromText(const QByteArray &text) {
    TDesktopEntry entry;
    bool inGroup = false;
    bool seen = false;
    for (const QString &raw : QString::fromUtf8(text).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            // Only the first "[Desktop Entry]" counts: the group stands first
            // in the file and may not repeat.
            inGroup = !seen && line == QStringLiteral("[%1]").arg(QLatin1String(Group));
            seen = seen || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!entry.Contains(key))
            entry.FKeys.emplace_back(key, UnescapeValue(line.mid(eq + 1).trimmed()));
    }
    if (!seen)
        throw EVelmoraError(
            QStringLiteral("Not a menu entry: there is no [%1] group.").arg(QLatin1String(Group)));
    return entry;
}

void TDesktopEntry::Save(const QString &path) const {
    const QByteArray text = ToText();
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        throw EVelmoraError(QStringLiteral("Cannot write the menu entry \"%1\": the folder \"%2\" "
                                           "cannot be made.")
                                .arg(path, info.absolutePath()));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw EVelmoraError(
            QStringLiteral("Cannot write the menu entry \"%1\": %2").arg(path, file.errorString()));
}

TDesktopEntry TDesktopEntry::Load(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EVelmoraError(
            QStringLiteral("Cannot read the menu entry \"%1\": %2").arg(path, file.errorString()));
    try {
        return FromText(file.readAll());
    } catch (const EVelmoraError &e) {
        throw EVelmoraError(QStringLiteral("\"%1\": %2").arg(path, e.Message()));
    }
}

bool TDesktopEntry::Remove(const QString &path) {
    QFile file(path);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return false;
    if (!file.remove())
        throw EVelmoraError(QStringLiteral("Cannot remove the menu entry \"%1\": %2")
                                .arg(path, file.errorString()));
    return true;
}

QString TDesktopEntry::QuoteArgument(const QString &argument) {
    QString text = argument;
    text.replace(u'%', QLatin1String("%%"));
    if (!argument.isEmpty() && std::all_of(argument.begin(), argument.end(), PlainArgumentChar))
        return text;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

QString TDesktopEntry::CommandLine(const QStringList &arguments) {
    QStringList quoted;
    for (const QString &argument : arguments)
        quoted << QuoteArgument(argument);
    return quoted.join(u' ');
}

QStringList TDesktopEntry::SplitCommandLine(const QString &commandLine) {
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine.at(i);
        if (quoted) {
            if (c == u'\\' && i + 1 < commandLine.size()) {
                const QChar next = commandLine.at(i + 1);
                if (next == u'"' || next == u'`' || next == u'$' || next == u'\\') {
                    current += next;
                    ++i;
                    continue;
                }
            }
            if (c == u'"')
                quoted = false;
            else
                current += c;
            continue;
        }
        if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArgument)
                arguments << current;
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == u'"')
            quoted = true;
        else
            current += c;
    }
    if (quoted)
        throw EVelmoraError(
            QStringLiteral("The command line \"%1\" has a quote that is never closed.")
                .arg(commandLine));
    if (inArgument)
        arguments << current;
    for (QString &argument : arguments)
        argument.replace(QLatin1String("%%"), QLatin1String("%"));
    return arguments;
}

QString TDesktopEntry::SafeName(const QString &name) {
    QString out;
    for (const QChar c : name.toLower()) {
        const char16_t u = c.unicode();
        const bool keep = (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'.' ||
                          u == u'_' || u == u'-';
        if (keep)
            out += c;
        else if (!out.endsWith(u'-'))
            out += u'-';
    }
    while (out.startsWith(u'-'))
        out.remove(0, 1);
    while (out.endsWith(u'-'))
        out.chop(1);
    if (out == QLatin1String(".") || out == QLatin1String(".."))
        return {};
    return out;
}

QStringList TDesktopEntry::ApplicationFolders() {
    return QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
}

QString TDesktopEntry::UserApplicationFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
}

QString TDesktopEntry::FindIcon(const QString &program) {
    const QString wanted = QFileInfo(program).fileName();
    if (wanted.isEmpty())
        return {};
    auto names = [&](const QString &command) {
        return !command.isEmpty() &&
               QFileInfo(command).fileName().compare(wanted, Qt::CaseInsensitive) == 0;
    };
    // An entry's ID is its path below the folder, '/' read as '-': of the
    // entries with one ID only the first found counts, so this user's
    // entry, even a hidden one, stands for the system's.
    QSet<QString> seen;
    for (const QString &folder : ApplicationFolders()) {
        const QDir root(folder);
        QStringList files;
        QDirIterator it(folder, {QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext())
            files << it.next();
        files.sort();
        for (const QString &file : files) {
            const QString id = root.relativeFilePath(file).replace(u'/', u'-');
            if (seen.contains(id))
                continue;
            seen.insert(id);
            TDesktopEntry entry;
            try {
                entry = Load(file);
            } catch (const EVelmoraError &) {
                continue; // not an entry the desktop could read either
            }
            const QString icon = entry.Value(QStringLiteral("Icon"));
            if (icon.isEmpty() || entry.Value(QStringLiteral("Hidden")) == QLatin1String("true"))
                continue;
            if (names(entry.Value(QStringLiteral("TryExec"))))
                return icon;
            try {
                const QStringList command = SplitCommandLine(entry.Value(QStringLiteral("Exec")));
                if (!command.isEmpty() && names(command.front()))
                    return icon;
            } catch (const EVelmoraError &) {
                continue;
            }
        }
    }
    return {};
}
