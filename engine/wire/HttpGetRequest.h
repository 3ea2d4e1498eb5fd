#pragma once
// The GET request of a proxy check: an HTTP/1.1 request for a page of a
// plain-HTTP URL, with the headers every check sends. The URL is taken apart
// by TTestPage::GetRequest (check/TestPage.h).

#include <cstdint>
#include <string>

class THttpGetRequest {
public:
    static constexpr const char *Accept = "text/html, */*";
    static constexpr const char *UserAgent = "Mozilla/3.0 (compatible; Indy Library)";

    // The request bytes: request line, Host (with the port unless it is 80),
    // Accept, User-Agent and "Connection: close", then an empty line.
    std::string Encode() const;

    std::string Host; // a name or an address literal (IPv6 without brackets)
    uint16_t Port = 80;
    std::string Path = "/"; // with the query, if any; percent-encoded
};
