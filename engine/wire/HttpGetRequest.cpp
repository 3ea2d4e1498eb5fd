#include "engine/wire/HttpGetRequest.h"

std::string THttpGetRequest::Encode() const {
    // An IPv6 literal is written in brackets.
    std::string hostHeader = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    if (Port != 80)
        hostHeader += ":" + std::to_string(Port);
    return "GET " + Path + " HTTP/1.1\r\n" + "Host: " + hostHeader + "\r\n" + "Accept: " + Accept +
           "\r\n" + "User-Agent: " + UserAgent + "\r\n" + "Connection: close\r\n" + "\r\n";
}
