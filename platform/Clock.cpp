#include "platform/Clock.h"

#include <QDate>
#include <QTime>
#include <chrono>
#include <cmath>

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr double kMsPerDay = 86400000.0;
} // namespace

TDateTime TClock::Now() {
    return FromQDateTime(QDateTime::currentDateTime());
}

TDateTime TClock::FromQDateTime(const QDateTime &local) {
    const QDateTime l = local.toLocalTime();
    const double days = static_cast<double>(kEpoch.daysTo(l.date()));
    return days + l.time().msecsSinceStartOfDay() / kMsPerDay;
}

QDateTime TClock::ToQDateTime(TDateTime value) {
    double days = std::floor(value);
    int64_t ms = std::llround((value - days) * kMsPerDay);
    if (ms >= static_cast<int64_t>(kMsPerDay)) {
        days += 1;
        ms -= static_cast<int64_t>(kMsPerDay);
    }
    const QDate date = kEpoch.addDays(static_cast<qint64>(days));
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

int64_t TClock::TickMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t TClock::TickNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
