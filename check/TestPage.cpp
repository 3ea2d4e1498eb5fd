#include "check/TestPage.h"

#include "platform/Error.h"

#include <QByteArray>
#include <QUrl>
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

THttpGetRequest TTestPage::GetRequest(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().compare(u"http", Qt::CaseInsensitive) != 0 ||
        parsed.host().isEmpty() || !parsed.userInfo().isEmpty())
        throw EVelmoraError("Unsupported URL: " + url.toStdString());
    const int port = parsed.port(80);
    if (port <= 0 || port > 65535)
        throw EVelmoraError("Unsupported URL: " + url.toStdString());
    THttpGetRequest request;
    request.Host = parsed.host(QUrl::FullyEncoded).toStdString();
    request.Port = static_cast<uint16_t>(port);
    const QString path = parsed.path(QUrl::FullyEncoded);
    request.Path = path.isEmpty() ? "/" : path.toStdString();
    if (parsed.hasQuery())
        request.Path += "?" + parsed.query(QUrl::FullyEncoded).toStdString();
    return request;
}
