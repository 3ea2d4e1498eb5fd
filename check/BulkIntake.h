#pragma once
// Bulk intake of pasted proxy lists: one proxy a line, "address" or
// "address:port", optionally after "socks4://", "socks5://" or "http://"
// (any case), which sets the proxy's type; other lines add proxies of unknown
// type. Every line is checked before anything is added, so a bad line adds
// nothing at all. A line naming the address and port of a proxy already in
// the list, or of an earlier line, is counted and not added again.

#include "store/ProxyTypes.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

class TdmProxyData;

struct TIntakeEntry {
    QString Address;
    int32_t Port = 0;
    TProxyType Type = TProxyType::ptUnknown; // from the line's scheme, if any
};

struct TIntakeResult {
    int Added = 0;
    int AlreadyListed = 0; // lines naming a proxy the list already had
    int Repeated = 0;      // lines naming the same proxy as an earlier line
    int Duplicates() const { return AlreadyListed + Repeated; }
    // "" when nothing was skipped, else e.g. "3 duplicate lines were not
    // added: 2 already in the list, 1 repeated in the list given."
    QString DuplicatesText() const;
};

class TBulkIntake {
public:
    // Splits the text into entries. Throws EVelmoraError with the message for
    // the first line whose port text does not convert or whose scheme is not
    // one of the three.
    static std::vector<TIntakeEntry> Parse(const QString &text);
    // Parses, then adds every entry that is not a duplicate (address compared
    // without regard to case, and port) with its type, and saves the tables
    // once (not at all when nothing was added).
    static TIntakeResult Apply(TdmProxyData &store, const QString &text);
    // The message for a scheme other than the three.
    static QString UnknownSchemeMessage(const QString &scheme);
    // Port text to a signed 32-bit integer: leading blanks, an optional sign,
    // then decimal digits or hexadecimal after "$", "x", "X", "0x" or "0X".
    static std::optional<int32_t> StrToInt(const QString &text);
    // The message for a port text that does not convert.
    static QString InvalidIntegerMessage(const QString &text);
};
