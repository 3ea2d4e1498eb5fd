#pragma once
// Text colours that stay readable on a given background, whatever the
// desktop's palette: the contrast ratio of the Web Content Accessibility
// Guidelines (relative luminance of sRGB colours), and the text and warning
// colours chosen by it for the lists' coloured rows and the dialogs' warnings.

#include <QColor>

class TTextContrast {
public:
    // The smallest ratio normal-sized text should have to its background.
    static constexpr double Readable = 4.5;

    // 0 for black to 1 for white; the alpha channel is ignored.
    static double Luminance(const QColor &colour);
    // (lighter + 0.05) / (darker + 0.05): 1 for equal colours, 21 for black on white.
    static double Ratio(const QColor &a, const QColor &b);
    // Black or white, whichever reads better on `background`.
    static QColor TextOn(const QColor &background);
    // A red for warnings and marked rows, dark on light backgrounds and
    // light on dark ones, readable on `background` either way.
    static QColor WarningOn(const QColor &background);
};
