#include "ui/logic/ThemeFile.h"

#include "platform/Error.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

void TThemeFile::LoadFromFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw EVelmoraError(QStringLiteral("Cannot open file \"%1\". %2")
                                .arg(QFileInfo(path).absoluteFilePath(), file.errorString()));
    Parse(QString::fromUtf8(file.readAll()));
}

void TThemeFile::Parse(const QString &text) {
    static const QRegularExpression header(QStringLiteral("^\\s*\\[([^\\[\\]]+)\\]\\s*$"));
    FThemes.clear();
    TTheme *current = nullptr;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        QString line = raw;
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const auto match = header.match(line);
        if (match.hasMatch()) {
            FThemes.push_back(TTheme{match.captured(1).trimmed(), {}, {}, 0, {}});
            current = &FThemes.back();
            continue;
        }
        if (!current)
            continue;
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("@widget-style "))) {
            current->WidgetStyle = trimmed.mid(14).trimmed();
        } else if (trimmed.startsWith(QLatin1String("@font "))) {
            const QString font = trimmed.mid(6);
            const int comma = font.lastIndexOf(QLatin1Char(','));
            current->FontFamily = (comma < 0 ? font : font.left(comma)).trimmed();
            current->FontPointSize = comma < 0 ? 0 : font.mid(comma + 1).trimmed().toInt();
        } else {
            current->StyleSheet += line;
            current->StyleSheet += QLatin1Char('\n');
        }
    }
}

QStringList TThemeFile::Names() const {
    QStringList names;
    for (const TTheme &theme : FThemes)
        names << theme.Name;
    return names;
}

const TTheme &TThemeFile::Theme(const QString &name) const {
    for (const TTheme &theme : FThemes)
        if (theme.Name == name)
            return theme;
    throw EVelmoraError(QStringLiteral("Style '%1' not found").arg(name));
}
