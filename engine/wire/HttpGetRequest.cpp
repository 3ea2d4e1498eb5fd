#include "engine/wire/HttpGetRequest.h"

#include "platform/Error.h"

#include <QUrl>

THttpGetRequest THttpGetRequest::FromURL(const QString &url) {
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

std::string THttpGetRequest::Encode() const {
    // An IPv6 literal is written in brackets.
    std::string hostHeader = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    if (Port != 80)
        hostHeader += ":" + std::to_string(Port);
    return "GET " + Path + " HTTP/1.1\r\n" + "Host: " + hostHeader + "\r\n" + "Accept: " + Accept +
           "\r\n" + "User-Agent: " + UserAgent + "\r\n" + "Connection: close\r\n" + "\r\n";
}
