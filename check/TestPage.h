#pragma once
// The page that proxy checks fetch: the root of an outside IP-echo site over
// plain HTTP on port 80 that answers "/" without a redirect. The environment
// variable VELMORA_CHECK_URL, when set and not empty, replaces it (tests point
// it at a page of their own on loopback).

#include "engine/wire/HttpGetRequest.h"

#include <QString>

class TTestPage {
public:
    static constexpr const char *DefaultURL = "http://api.ipify.org/";
    static constexpr const char *EnvironmentVariable = "VELMORA_CHECK_URL";

    // The site root with a trailing slash (read anew on every call).
    static QString RootURL();
    // The same root without its trailing slash.
    static QString RootURLWithoutSlash();

    // The request for the page of an "http://host[:port][/path]" URL; the
    // path defaults to "/". Throws EVelmoraError for anything else.
    static THttpGetRequest GetRequest(const QString &url);
};
