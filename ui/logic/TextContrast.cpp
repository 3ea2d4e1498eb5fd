#include "ui/logic/TextContrast.h"

#include <algorithm>
#include <cmath>

namespace {

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

const QColor DarkRed(176, 0, 32);
const QColor LightRed(255, 138, 138);

} // namespace

double TTextContrast::Luminance(const QColor &colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) +
           0.0722 * Linear(rgb.blueF());
}

double TTextContrast::Ratio(const QColor &a, const QColor &b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor TTextContrast::TextOn(const QColor &background) {
    // Pure black rather than the theme's ink: the lists' "TIME OUT" red is
    // dark enough that only black or white reach the readable ratio on it.
    const QColor black(Qt::black), white(Qt::white);
    return Ratio(black, background) >= Ratio(white, background) ? black : white;
}

QColor TTextContrast::WarningOn(const QColor &background) {
    return Ratio(DarkRed, background) >= Ratio(LightRed, background) ? DarkRed : LightRed;
}
