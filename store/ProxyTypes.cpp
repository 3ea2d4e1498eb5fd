#include "store/ProxyTypes.h"

#include <QLocale>
#include <cmath>

void ProxyTypeToText(int code, QString &text) {
    switch (code & 0x7F) {
    case 0:
        text = QStringLiteral("Unknown");
        break;
    case 1:
        text = QStringLiteral("SOCKS 4");
        break;
    case 2:
        text = QStringLiteral("SOCKS 4/5");
        break;
    case 3:
        text = QStringLiteral("SOCKS 5");
        break;
    case 4:
        text = QStringLiteral("HTTP");
        break;
    default:
        break;
    }
}

void ProxyStatusToText(int code, QString &text) {
    switch (static_cast<uint8_t>(code)) {
    case 0:
        text = QStringLiteral("Not Checked");
        break;
    case 1:
        text = QStringLiteral("TIME OUT");
        break;
    case 2:
        text = QStringLiteral("OK");
        break;
    default:
        text = QStringLiteral("Unknown Status");
        break;
    }
}

QString ProxyTypeText(int code) {
    QString text;
    ProxyTypeToText(code, text);
    return text;
}

QString ProxyStatusText(int code) {
    QString text;
    ProxyStatusToText(code, text);
    return text;
}

QString SpeedToText(double milliseconds) {
    // ms / 10 then rounding gives hundredths of a second without the
    // binary error of dividing by 1000 first (1235 ms is 1.24, not 1.23).
    const double seconds = std::round(milliseconds / 10.0) / 100.0;
    return QLocale().toString(seconds, 'g', QLocale::FloatingPointShortest);
}
