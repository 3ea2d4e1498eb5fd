#pragma once
// Date-time columns hold a 64-bit float of milliseconds:
// (whole days since 1899-12-30 + 693594) x 86400000 + milliseconds of the day,
// so that 1899-12-30 00:00 is 59926521600000. Records carry TDateTime (days
// since 1899-12-30, the fraction the time of day).

#include "store/ProxyTypes.h"

#include <QDateTime>

class TDateTimeCodec {
public:
    static constexpr int64_t kMsPerDay = 86400000;
    static constexpr int64_t kDateDelta = 693594; // days from 0001-01-01 (day 1) to 1899-12-30

    // Splits the value into whole days and the rounded milliseconds of the
    // day, then joins them as milliseconds.
    static double ToMSecs(TDateTime value);
    static TDateTime FromMSecs(double msecs);
    // Calendar form of a column value (no time zone), and back.
    static QDateTime MSecsToQDateTime(double msecs);
    static double QDateTimeToMSecs(const QDateTime &value);
};
