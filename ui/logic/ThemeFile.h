#pragma once
// The theme file ("Style.vsf"): named themes, each a Qt style sheet with a
// few directives of our own.
//
//   # comment (only outside a theme)
//   [My Style]                     a line holding only [name] starts a theme
//   @widget-style Fusion           the Qt widget style under the sheet
//   @font DejaVu Sans, 8           the application font: family, point size
//   QWidget { color: #202020; }    everything else is style sheet text
//
// A theme runs until the next [name] line or the end of the file. Text
// before the first theme is ignored.

#include <QString>
#include <QStringList>
#include <vector>

struct TTheme {
    QString Name;
    QString WidgetStyle; // empty: the platform's
    QString FontFamily;  // empty: the platform's
    int FontPointSize = 0;
    QString StyleSheet;
};

class TThemeFile {
public:
    // "Cannot open file "<path>". <reason>" when it cannot be read.
    void LoadFromFile(const QString &path);
    void Parse(const QString &text);

    QStringList Names() const;
    // "Style '<name>' not found" when the file has no such theme.
    const TTheme &Theme(const QString &name) const;

private:
    std::vector<TTheme> FThemes;
};
