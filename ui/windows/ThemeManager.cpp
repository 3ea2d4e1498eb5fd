#include "ui/windows/ThemeManager.h"

#include "ui/logic/ThemeFile.h"

#include <QApplication>
#include <QFont>
#include <QStyle>
#include <QStyleFactory>

void TThemeManager::Apply(QApplication &app, const TTheme &theme) {
    if (!theme.WidgetStyle.isEmpty()) {
        if (QStyle *style = QStyleFactory::create(theme.WidgetStyle))
            QApplication::setStyle(style);
    }
    if (!theme.FontFamily.isEmpty()) {
        QFont font(theme.FontFamily);
        if (theme.FontPointSize > 0)
            font.setPointSize(theme.FontPointSize);
        QApplication::setFont(font);
    }
    app.setStyleSheet(theme.StyleSheet);
}

void TThemeManager::LoadAndApply(QApplication &app, const QString &path, const QString &name) {
    TThemeFile file;
    file.LoadFromFile(path);
    Apply(app, file.Theme(name));
}
