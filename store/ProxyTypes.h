#pragma once
// Codes and small text helpers shared by every part that shows or stores proxies.

#include <QString>
#include <cstdint>

// Days since 1899-12-30 00:00 local time; the fraction is the time of day.
using TDateTime = double;

enum class TProxyType : uint8_t {
    ptUnknown = 0,
    ptSOCKS4 = 1,
    ptSOCKS45 = 2,
    ptSOCKS5 = 3,
    ptHTTP = 4,
};

enum class TProxyStatus : uint8_t {
    psUnknown = 0,     // "Not Checked"
    psUnavailable = 1, // "TIME OUT"
    psAvailable = 2,   // "OK"; the only status that counts as working
    psDisabled = 3,    // no text of its own
};

// What a record dialog's OK button does.
enum class TDataMode : uint8_t {
    dtmEdit = 0,
    dtmAdd = 1,
    dtmNone = 2,
};

// What TProxData::FHostName currently holds.
constexpr int32_t hntHostName = 13671;  // a host name: resolves forward to IPv4
constexpr int32_t hntIPAddress = 13672; // an address: resolves back to a name

// Display text of a type code looked up by its low seven bits; a code without
// an entry leaves `text` as it was.
void ProxyTypeToText(int code, QString &text);
// "Not Checked", "TIME OUT", "OK"; any other code "Unknown Status".
void ProxyStatusToText(int code, QString &text);
// Convenience forms returning the text (empty for an unknown type code).
QString ProxyTypeText(int code);
QString ProxyStatusText(int code);
// Milliseconds as seconds, rounded to two places, in the locale's shortest form.
QString SpeedToText(double milliseconds);
