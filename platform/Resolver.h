#pragma once
// IPv4 name service: host name to dotted address and back. Stateless and safe
// to call from any thread at once; a look-up blocks only its caller, for as
// long as the system's name service takes.

#include <string>

class TResolver {
public:
    // The first IPv4 address of `host` in dotted form. An IPv4 or IPv6 address
    // literal (an IPv6 one possibly in brackets) is returned as it is;
    // "localhost" in any letter case gives "127.0.0.1". Throws ESocketError
    // when the name cannot be resolved.
    static std::string ResolveIPv4(const std::string &host);

    // The host name registered for a dotted IPv4 address. Any other text is
    // first resolved to an IPv4 address. Throws ESocketError when no name is
    // registered or the text cannot be resolved.
    static std::string ReverseLookup(const std::string &address);

    static bool IsIPv4Literal(const std::string &text);
    // Plain ("::1") or in brackets ("[::1]").
    static bool IsIPv6Literal(const std::string &text);
    // The IPv6 literal without brackets; the text unchanged otherwise. Inline,
    // so the wire codecs use it without linking this library.
    static std::string StripBrackets(const std::string &text) {
        if (text.size() > 2 && text.front() == '[' && text.back() == ']')
            return text.substr(1, text.size() - 2);
        return text;
    }
};
