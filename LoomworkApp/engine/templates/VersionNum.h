#pragma once

#include <compare>

#include <QString>

// The one dotted-version comparison of the engine: ozml versions, display versions and
// Final Cut Pro versions alike. "10.4" equals "10.4.0", "10.10" is above "10.9", and a
// piece that is not a whole number counts 0.
namespace VersionNum {

std::strong_ordering compare(const QString& a, const QString& b);
bool isOlder(const QString& a, const QString& than);

} // namespace VersionNum
