#pragma once

#include <QDateTime>
#include <QTimeZone>

// Stored dates count seconds since 2001-01-01 00:00:00 UTC, with millisecond precision.
namespace ReferenceDate {

inline const QDateTime& origin()
{
    static const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    return reference;
}

inline QDateTime fromSeconds(double seconds)
{
    return origin().addMSecs(qRound64(seconds * 1000.0));
}

inline double toSeconds(const QDateTime& date)
{
    return double(origin().msecsTo(date)) / 1000.0;
}

} // namespace ReferenceDate
