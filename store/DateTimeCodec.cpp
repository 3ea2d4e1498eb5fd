#include "store/DateTimeCodec.h"

#include <cmath>
#include <cstdlib>

double TDateTimeCodec::ToMSecs(TDateTime value) {
    const int64_t total = std::llround(value * static_cast<double>(kMsPerDay));
    const int64_t days = total / kMsPerDay; // towards zero, as the time stamp conversion does
    const int64_t time = std::llabs(total) % kMsPerDay;
    return static_cast<double>((days + kDateDelta) * kMsPerDay + time);
}

TDateTime TDateTimeCodec::FromMSecs(double msecs) {
    const int64_t ms = std::llround(msecs);
    const int64_t date = ms / kMsPerDay;
    const int64_t time = ms % kMsPerDay;
    int64_t t = (date - kDateDelta) * kMsPerDay;
    t = t >= 0 ? t + time : t - time;
    return static_cast<double>(t) / static_cast<double>(kMsPerDay);
}

QDateTime TDateTimeCodec::MSecsToQDateTime(double msecs) {
    const int64_t ms = std::llround(msecs);
    int64_t day = ms / kMsPerDay;
    int64_t time = ms % kMsPerDay;
    if (time < 0) {
        time += kMsPerDay;
        --day;
    }
    const QDate date = QDate(1, 1, 1).addDays(day - 1);
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(time)));
}

double TDateTimeCodec::QDateTimeToMSecs(const QDateTime &value) {
    const int64_t day = QDate(1, 1, 1).daysTo(value.date()) + 1;
    return static_cast<double>(day * kMsPerDay + value.time().msecsSinceStartOfDay());
}
