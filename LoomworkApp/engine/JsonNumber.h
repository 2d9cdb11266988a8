#pragma once

#include <optional>

#include <QJsonValue>

namespace JsonNumber {

// A JSON number that is whole and fits 64 bits; nothing for anything else.
inline std::optional<qint64> whole(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() gives the default for a fraction or a value out of range.
    const qint64 number = value.toInteger(-1);
    if (number != value.toInteger(0))
        return std::nullopt;
    return number;
}

} // namespace JsonNumber
