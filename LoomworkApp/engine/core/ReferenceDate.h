#pragma once

#include <cmath>
#include <optional>

#include <QDateTime>
#include <QTimeZone>

// Stored dates count seconds since 2001-01-01 00:00:00 UTC, with millisecond precision.
namespace ReferenceDate {

inline const QDateTime& origin()
{
    static const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    return reference;
}

// Nothing for a value that is not finite or lies beyond about 30,000 years either way,
// where the date arithmetic would overflow.
inline std::optional<QDateTime> fromSeconds(double seconds)
{
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e12)
        return std::nullopt;
    return origin().addMSecs(qRound64(seconds * 1000.0));
}

inline double toSeconds(const QDateTime& date)
{
    return double(origin().msecsTo(date)) / 1000.0;
}

} // namespace ReferenceDate
