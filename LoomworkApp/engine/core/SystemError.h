#pragma once

#include <QString>
#include <QStringList>

// Chinese descriptions of the system errors a user is likely to meet while we touch
// their files; anything else falls back to the system's own text.
namespace SystemError {

QString describe(int errorCode);

// A change that was made while the disk reported a write error when it was synced: `done`
// says what was changed, then that its data may not have reached the disk.
QString writeErrorText(const QString& done, int errorCode);
// The plug-ins at `paths`, named for such a text: "「A」、「B」", the first few of a long list
// and how many in all.
QString pluginNames(const QStringList& paths);

} // namespace SystemError
