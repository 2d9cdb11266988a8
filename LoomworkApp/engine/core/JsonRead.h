#pragma once

#include <optional>

#include <QJsonValue>
#include <QString>

// Readers for values of stored and received JSON that more than one decoder needs.
namespace JsonRead {

// A JSON number that is whole and fits 64 bits; nothing for anything else.
inline std::optional<qint64> wholeNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() gives the default for a fraction or a value out of range.
    const qint64 number = value.toInteger(-1);
    if (number != value.toInteger(0))
        return std::nullopt;
    return number;
}

// A string that may be left out: absent or null leaves `out` alone, a string goes into it,
// anything else is refused (false).
inline bool optionalString(const QJsonValue& value, std::optional<QString>& out)
{
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

// A Boolean that may be left out, as optionalString: only a JSON true or false is taken.
inline bool optionalBool(const QJsonValue& value, std::optional<bool>& out)
{
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isBool())
        return false;
    out = value.toBool();
    return true;
}

} // namespace JsonRead
