#include "check/TestPage.h"

#include <QByteArray>
#include <QtGlobal>

QString TTestPage::RootURL() {
    QString url = qEnvironmentVariable(EnvironmentVariable).trimmed();
    if (url.isEmpty())
        url = QString::fromLatin1(DefaultURL);
    if (!url.endsWith(u'/'))
        url += u'/';
    return url;
}

QString TTestPage::RootURLWithoutSlash() {
    QString url = RootURL();
    while (url.endsWith(u'/'))
        url.chop(1);
    return url;
}
