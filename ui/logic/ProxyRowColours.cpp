#include "ui/logic/ProxyRowColours.h"

QColor TProxyRowColours::RowColour(const QString &statusCell, TProxyListKind kind) {
    const bool main = kind == TProxyListKind::plkMain;
    if (statusCell == QLatin1String("OK"))
        return main ? QColor(250, 208, 41) : QColor(168, 255, 168);
    if (statusCell == QLatin1String("TIME OUT"))
        return main ? QColor(177, 99, 99) : QColor(255, 170, 170);
    return QColor();
}
