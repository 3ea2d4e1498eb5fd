#pragma once
// Puts a theme of the theme file into effect for the whole application: its
// widget style, its font and its style sheet.

#include <QString>

class QApplication;
struct TTheme;

class TThemeManager {
public:
    static void Apply(QApplication &app, const TTheme &theme);
    // Loads the file and applies the named theme; the file's and the
    // theme's errors as TThemeFile gives them.
    static void LoadAndApply(QApplication &app, const QString &path, const QString &name);
};
