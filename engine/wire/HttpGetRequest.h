#pragma once
// The GET request of a proxy check: an HTTP/1.1 request for a page of a
// plain-HTTP URL, with the headers every check sends.

#include <QString>
#include <cstdint>
#include <string>

class THttpGetRequest {
public:
    static constexpr const char *Accept = "text/html, */*";
    static constexpr const char *UserAgent = "Mozilla/3.0 (compatible; Indy Library)";

    // Splits an "http://host[:port][/path]" URL; the path defaults to "/".
    // Throws EVelmoraError for anything else.
    static THttpGetRequest FromURL(const QString &url);

    // The request bytes: request line, Host (with the port unless it is 80),
    // Accept, User-Agent and "Connection: close", then an empty line.
    std::string Encode() const;

    std::string Host; // a name or an address literal (IPv6 without brackets)
    uint16_t Port = 80;
    std::string Path = "/";
};
