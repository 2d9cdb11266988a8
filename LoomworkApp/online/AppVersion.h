#pragma once

#include <QList>
#include <QString>

// The running application's version (from the build) and the comparison of dotted versions.
namespace AppVersion {

// The build's version as stored; "0.0.0" when the build gives none.
QString current();
// The build number trimmed; "" when none.
QString build();
// current(), followed by "（Build N）" when there is a build number.
QString display();
QString display(const QString& version, const QString& buildNumber);

// The numeric components: pieces between dots (empty ones dropped), blank-trimmed; each
// reads as its leading optionally signed decimal digits, 0 when there are none or they do
// not fit 64 bits.
QList<qint64> parts(const QString& version);
// Whether `a` is strictly newer than `b`; missing components count as 0.
bool isNewer(const QString& a, const QString& b);

// The maker's tools page, where new versions are found (the About pane's link, and the
// update sheet's when an alert carries none).
QString toolsPageUrl();

} // namespace AppVersion
