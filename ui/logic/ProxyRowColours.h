#pragma once
// Which background a proxy row gets, decided from the text of its "Status"
// cell each time the row is drawn: "OK" and "TIME OUT" (compared whole and
// case-sensitively) have colours of their own in each view; any other text,
// such as a check's progress text, gets the window background.

#include <QColor>
#include <QString>

enum class TProxyListKind { plkMain, plkPicker };

class TProxyRowColours {
public:
    // An invalid colour stands for the window background.
    static QColor RowColour(const QString &statusCell, TProxyListKind kind);
};
