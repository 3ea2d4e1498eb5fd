#pragma once
// Local date-time as days since 1899-12-30 00:00, the fraction the time of day.

#include <QDateTime>

using TDateTime = double;

class TClock {
public:
    static TDateTime Now();
    static TDateTime FromQDateTime(const QDateTime &local);
    static QDateTime ToQDateTime(TDateTime value);
    // Milliseconds of a monotonic tick counter.
    static int64_t TickMs();
    // The same counter in nanoseconds (std::chrono::steady_clock).
    static int64_t TickNs();
};
