#pragma once
// What a hop is asked to reach, classified the way the hop protocols need it.

#include <array>
#include <cstdint>
#include <string>

class THopTarget {
public:
    enum class TKind { IPv4, IPv6, Name };

    // Classifies `host`: a dotted IPv4 address, an IPv6 literal (plain or in
    // brackets) or a host name. A host name must be 1 to 255 bytes of printable
    // 7-bit ASCII without spaces, since it goes on the wire as it is; anything
    // else throws EVelmoraError before a byte is sent.
    static THopTarget Parse(const std::string &host);

    TKind Kind = TKind::Name;
    std::string Text;                // a name as given; an IPv6 literal without brackets
    std::array<uint8_t, 16> Bytes{}; // the address, network order (4 bytes used for IPv4)

    static constexpr size_t MaxNameLength = 255;
};
