#pragma once
// One value of a table cell as it is kept in memory and in the table files:
// null, a Boolean, an integer (every integer width, dates and times of day),
// a 64-bit float (floats and date-times in milliseconds) or raw bytes (8-bit
// text and blobs).

#include <QByteArray>
#include <cstdint>
#include <variant>

using TFieldValue = std::variant<std::monostate, bool, int64_t, double, QByteArray>;

inline bool IsNullValue(const TFieldValue &v) {
    return std::holds_alternative<std::monostate>(v);
}

// An integer value as 32 bits; 0 for null or any other kind.
inline int32_t Int32Value(const TFieldValue &v) {
    const auto *i = std::get_if<int64_t>(&v);
    return i ? static_cast<int32_t>(*i) : 0;
}
